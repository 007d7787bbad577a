#pragma once
// The connection settings dialog (kSettingsDialog): switches the Modbus TCP server, the RTU slave
// and the TLS server on or off and sets their parameters. It keeps its own copy of the settings, read
// from the profile section at construction and at every opening, written back on OK. OK does
// not restart the server; it sets the settings-saved flag, which the main window's reconnect
// button and the next document update act on. GUI thread only.
#include <QDialog>
#include <QString>
#include <functional>

#include "modbus/ConnectionSettings.h"
#include "platform/SerialPorts.h"
#include "ui/UiContext.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace tesmor::ui {

class CDlgSettings : public QDialog {
    Q_OBJECT
public:
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

    // The file a browse button picks, given the field's name and its current path; an empty text
    // when the user cancels. By default a file dialog.
    using FileChooser = std::function<QString(const QString& title, const QString& current)>;
    void setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

    // The dialog's copy of the settings, as the handlers have left it.
    const ConnectionSettings& settings() const noexcept { return settings_; }

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void loadSettings();
    void fillSerialPorts();
    void fillChoices();
    void fillAccess();
    // Reads the allowed masters box; a list that cannot be read is refused with a message
    // naming the bad item and the focus back in the box. False when refused.
    bool checkAllowedMasters();
    void fillTls();
    // With TLS ticked: a file box left empty, naming a file that does not exist, a folder or a file
    // that cannot be read, or a text longer than the profile keeps, is refused with a message
    // naming the field and the focus back in the box; so is, with TCP ticked too, a TLS port equal
    // to the TCP port. False when refused.
    bool checkTls();
    // A spin box holding a typed number outside its range: the message, the last value back and
    // the focus in the box. False when it was out of range.
    bool checkSpinBox(QSpinBox* box);
    // The machine's name and the masters, as the server has them now.
    void showAddresses();
    void browse(QLineEdit* box, unsigned labelId);
    // A label's text without its colon, as messages name the field.
    QString fieldName(unsigned labelId) const;
    void enableTcpGroup(bool on);
    void enableRtuGroup(bool on);
    void enableTlsGroup(bool on);
    // The focus-loss check of one number box: reads it into its setting; out of range shows the
    // message, puts the default back and returns the focus. False when it was out of range.
    bool checkNumberBox(QLineEdit* box);
    QString text(unsigned control) const;

    const UiContext& context_;
    ConnectionSettings settings_;
    bool settingsSaved_ = false;
    SerialPortCatalog ports_;
    bool checking_ = false;
    FileChooser fileChooser_;

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
    QCheckBox* tls_ = nullptr;
    QSpinBox* tlsPort_ = nullptr;
    QLineEdit* tlsCertificate_ = nullptr;
    QLineEdit* tlsKey_ = nullptr;
    QLineEdit* tlsCa_ = nullptr;
    QLineEdit* tlsWriteRoles_ = nullptr;
    QPushButton* tlsBrowse_[3] = {};
    QCheckBox* rejectNotice_ = nullptr;
    QTimer* addressTimer_ = nullptr;
};

// The number at the start of a text: leading blanks and a sign allowed, reading stops at the
// first non-digit, nothing readable gives 0, values beyond 32 bits stick at the limit.
int leadingInteger(const QString& text) noexcept;

}  // namespace tesmor::ui
