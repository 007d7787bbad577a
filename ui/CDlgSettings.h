#pragma once
// The connection settings dialog (template 118): switches the Modbus TCP server and the RTU
// slave on or off and sets their parameters. It keeps its own copy of the ten settings, read
// from the profile section at construction and at every opening, written back on OK. OK does
// not restart the server; it sets the settings-saved flag, which the main window's reconnect
// button and the next document update act on. GUI thread only.
#include <QDialog>
#include <QString>

#include "modbus/ConnectionSettings.h"
#include "platform/SerialPorts.h"
#include "ui/UiContext.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

namespace tesmor::ui {

class CDlgSettings : public QDialog {
    Q_OBJECT
public:
    // Static texts of the template, filed in the resources under these control ids.
    enum StaticText : unsigned {
        kTcpGroup = 1201,
        kRtuGroup,
        kTcpIdLabel,
        kPortLabel,
        kLocalIpLabel,
        kRemoteIpLabel,
        kRtuIdLabel,
        kComPortLabel,
        kBaudLabel,
        kDataBitsLabel,
        kParityLabel,
        kStopBitsLabel,
        kBusyNote,
        kNoAccessNote,
    };
    // The mark after a port this user may not open.
    static constexpr unsigned kNoAccessMarkString = 1313;
    // The label of the "masters at once" box (1120, its label 1121).
    static constexpr unsigned kMaxMastersString = 1400;
    // The access group: who may connect and what masters may write.
    enum AccessControl : unsigned {
        kAccessGroup = 1130,
        kBindAddress,
        kBindAddressLabel,
        kAllowedMasters,
        kAllowedMastersLabel,
        kWriteAccess,
        kWriteAccessLabel,
        kAllowedMastersNote,
    };
    enum AccessString : unsigned {
        kAllInterfacesString = 1410,
        kWriteAnyString,          // writeAccess 0
        kWriteUnpublishedString,  // 1
        kWriteNoneString,         // 2
        kBadMasterString,         // %1: the item that is neither an address nor a block
        kEmptyMasterString,       // an empty item (an extra comma)
        kLongMastersString,       // %1: the most characters the profile keeps
    };

    // The context must outlive the dialog. Loads the settings (section "Settings") at once.
    explicit CDlgSettings(const UiContext& context, QWidget* parent = nullptr);

    // The opening steps: reload the settings, enable the groups, show the server's addresses,
    // list the serial ports (testing each) and fill every box. exec() runs them first.
    Q_INVOKABLE void initDialog();
    int exec() override;

    // Where the serial ports are looked for; /dev by default. A stored "COMn" selects the port
    // it opens, /dev/ttyS{n-1}.
    void setSerialPorts(SerialPortCatalog catalog) { ports_ = std::move(catalog); }

    // Set by every OK; cleared by whoever restarts the server with the saved settings.
    bool settingsSaved() const noexcept { return settingsSaved_; }
    void clearSettingsSaved() noexcept { settingsSaved_ = false; }

    // The dialog's copy of the settings, as the handlers have left it.
    const ConnectionSettings& settings() const noexcept { return settings_; }

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void loadSettings();
    void fillSerialPorts();
    void fillChoices();
    void fillAccess();
    // Reads the allowed masters box; a list that cannot be read is refused with a message
    // naming the bad item and the focus back in the box. False when refused.
    bool checkAllowedMasters();
    void enableTcpGroup(bool on);
    void enableRtuGroup(bool on);
    // The focus-loss check of one number box: reads it into its setting; out of range shows the
    // message, puts the default back and returns the focus. False when it was out of range.
    bool checkNumberBox(QLineEdit* box);
    QString text(unsigned control) const;

    const UiContext& context_;
    ConnectionSettings settings_;
    bool settingsSaved_ = false;
    SerialPortCatalog ports_;
    bool checking_ = false;

    QCheckBox* tcp_ = nullptr;
    QCheckBox* rtu_ = nullptr;
    QLineEdit* tcpId_ = nullptr;
    QLineEdit* tcpPort_ = nullptr;
    QLineEdit* localIp_ = nullptr;
    QLineEdit* remoteIp_ = nullptr;
    QSpinBox* maxMasters_ = nullptr;
    QLineEdit* rtuId_ = nullptr;
    QComboBox* portName_ = nullptr;
    QComboBox* baud_ = nullptr;
    QComboBox* dataBits_ = nullptr;
    QComboBox* parity_ = nullptr;
    QComboBox* stopBits_ = nullptr;
    QComboBox* bindAddress_ = nullptr;
    QLineEdit* allowedMasters_ = nullptr;
    QComboBox* writeAccess_ = nullptr;
};

// The number at the start of a text: leading blanks and a sign allowed, reading stops at the
// first non-digit, nothing readable gives 0, values beyond 32 bits stick at the limit.
int leadingInteger(const QString& text) noexcept;

}  // namespace tesmor::ui
