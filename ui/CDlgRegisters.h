#pragma once
// The register view: one table of the register store at a time, as a master reads it (each
// address with its value, and in the register tables the float that the register and the next
// one hold in each of the four byte orders), with the map entry that publishes each register.
// Read-only. Opened window-modal from the main window, like the other dialogs; while shown it
// refreshes itself once a second. It opens no wider than its screen, with the columns of each
// table fitted to it. GUI thread only.
#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/UiContext.h"

class QComboBox;
class QLineEdit;
class QTableView;
class QTimer;

namespace tesmor::ui {

// The four tables in the order of the view's drop-down.
enum class StoreTable { Coils, DiscreteInputs, InputRegisters, HoldingRegisters };

// One table of the store and the map entries that write into it, copied in one short step under
// the server's lock.
struct RegisterSnapshot {
    struct Publisher {
        std::u16string source;
        std::u16string deviceName;
        std::u16string component;
        std::u16string dataItem;
        bool operator==(const Publisher&) const = default;
    };
    std::vector<std::uint16_t> values;  // one per address; a bit as 0 or 1
    std::vector<int> publisher;         // per address: index into publishers, -1 for none
    std::vector<Publisher> publishers;
};

// Of several entries that write the same register, the last one in map order is named: it
// writes last when the map is published.
RegisterSnapshot takeSnapshot(ModbusServer& server, StoreTable table);

class CDlgRegisters : public QDialog {
    Q_OBJECT
public:
    // The context must outlive the window. Shows the holding registers first.
    explicit CDlgRegisters(const UiContext& context, QWidget* parent = nullptr);
    ~CDlgRegisters() override;

    // Copies the shown table from the store and updates the rows that changed; what the timer
    // calls once a second while the window is shown.
    void refresh();
    // Switches the list to another table (also what the drop-down does).
    void showTable(StoreTable table);
    StoreTable table() const { return table_; }
    // Scrolls to and selects the row of `address`; an address outside the table does nothing.
    void jumpTo(int address);
    // Enter in the address box ("id1174"): jumps to the address typed, decimal or "0x" and
    // hexadecimal; a text that is no address, or an address outside the table, gets a warning.
    void goTo();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    class Model;

    QString text(unsigned control) const;
    void fitScreen();

    const UiContext& context_;
    StoreTable table_ = StoreTable::HoldingRegisters;
    Model* model_ = nullptr;
    QComboBox* tables_ = nullptr;
    QLineEdit* address_ = nullptr;
    QTableView* list_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace tesmor::ui
