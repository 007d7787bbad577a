#pragma once
// The stand-in host's window: the host menu with the plug-ins' items, the simulated devices,
// and a button that reports a finished analysis. Runs on the GUI thread.
#include <QMainWindow>

class QSpinBox;
class QTableWidget;

namespace tesmor::host {

class HostWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit HostWindow(QWidget* parent = nullptr);

    // Adds the menus of a path "A/B/Item"; choosing the item runs `command`.
    void addMenuItem(const QString& path, const QString& command);
    void refreshDevices();

private:
    void raiseDocumentUpdate();
    void deviceEdited(int row, int column);

    QTableWidget* devices_ = nullptr;
    QSpinBox* assayId_ = nullptr;
    bool filling_ = false;
};

}  // namespace tesmor::host
