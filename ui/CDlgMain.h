#pragma once
// The plug-in's main window (kMainWindow): the register map with each entry's current value,
// and the buttons to the map, connection and filter dialogs. Modeless; closing it (close box,
// Enter, Esc) only hides it. It owns its child dialogs. GUI thread only, except
// refreshDeviceValues and deviceRefresher.
#include <QDateTime>
#include <QDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "modbus/RegisterEncoder.h"
#include "ui/UiContext.h"

class QKeyEvent;
class QLabel;
class QPushButton;

namespace tesmor::ui {

// An analysis the filters rejected, as the traffic line shows it; no message: none to show.
struct Rejection {
    QString message;
    QDateTime at;
};

class CDlgFilters;
class CDlgMapSettings;
class CDlgRegisters;
class CDlgSettings;
class CGridCtrl;

class CDlgMain : public QDialog {
    Q_OBJECT
public:
    // The context must outlive the window. Loads the register map from the profile and fills
    // the list.
    explicit CDlgMain(const UiContext& context, QWidget* parent = nullptr);
    ~CDlgMain() override;

    // One row per map entry, in map order, read under the server's lock. An analysis value shows
    // what the last publication wrote for an entry of the same configuration (the current map is
    // reloaded from the profile at every analysis, published or not).
    void rebuildList();
    // Any thread: has the device cells (mode, last error) brought up to date on the window's
    // thread soon after; calls that arrive before that update are folded into it.
    void refreshDeviceValues();
    // A callable with the effect of refreshDeviceValues for other threads that may outlive the
    // window: once the window is gone it does nothing.
    std::function<void()> deviceRefresher() const;

    CDlgSettings& settingsDialog() const { return *settings_; }
    // The register view; the Registers button opens it window-modal.
    CDlgRegisters& registersDialog() const { return *registers_; }
    // The settings dialog's settings-saved flag.
    bool settingsSaved() const;
    void clearSettingsSaved();

    // The traffic line under the list (label "id1150"), as plain text: one part per enabled
    // transport, e.g. "TCP: 2 мастера, 12 345 запросов, 0 исключений, последний 15:04:05", with
    // dropped frames when there are any; a TLS server that does not listen says why, in red; then
    // the last rejected analysis, if any. Brought up to date with the device values.
    QString trafficText() const;
    void setRejection(const Rejection& rejection);

    // The about box, modal; the labelled button "id16" runs it.
    void showAbout();
    // The reconnect button: restarts the server while saved settings wait; otherwise nothing.
    void reconnect();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Hands device refreshes from other threads to the window while it exists.
    struct RefreshGate {
        std::mutex mutex;
        CDlgMain* window = nullptr;
        std::atomic<bool> queued{false};
        void post();
    };

    void applyDeviceValues();
    void refreshTraffic();
    void showMapDialog();
    void showFiltersDialog();
    void showSettingsDialog();
    void showRegistersDialog();
    QString text(unsigned control) const;

    const UiContext& context_;
    CGridCtrl* list_ = nullptr;
    QLabel* traffic_ = nullptr;
    QString trafficPlain_;
    Rejection rejection_;
    CDlgSettings* settings_ = nullptr;
    CDlgMapSettings* map_ = nullptr;
    CDlgFilters* filters_ = nullptr;
    CDlgRegisters* registers_ = nullptr;
    std::shared_ptr<RefreshGate> gate_;
};

// The value column's text for one entry.
QString valueText(const RegisterInfo& entry);

}  // namespace tesmor::ui
