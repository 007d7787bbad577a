#include "CDlgSettings.h"

#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <optional>
#include <utility>

#include "modbus/AccessRules.h"
#include "platform/MessageSink.h"
#include "platform/ResourceIds.h"
#include "platform/Text.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/TextFit.h"

namespace tesmor::ui {

using namespace res;
using namespace res::settings;

namespace {

constexpr int kDefaultPort = 502;
constexpr int kDefaultUnitId = 1;
constexpr int kMaxPort = 65535;
// The profile gives texts back cut at 127 characters, as for the allowed masters; a cut path
// names another file.
constexpr std::size_t kMaxProfileText = kMaxAllowedMastersLength;
constexpr std::u16string_view kBusyMark = u" *";

constexpr int kBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                              19200, 38400, 56000, 57600, 115200, 128000, 256000};

void selectData(QComboBox* box, int value) { box->setCurrentIndex(box->findData(value)); }

// Keeps every digit typed, in range or not, so that the dialog can say what is wrong with the
// number instead of the box silently refusing its last digit.
class RangeSpinBox : public QSpinBox {
public:
    explicit RangeSpinBox(QWidget* parent) : QSpinBox(parent) {
        // The value stays the last one accepted while a number is being typed.
        setKeyboardTracking(false);
    }

    // The typed text as a number, when it is one.
    std::optional<long long> typed() const {
        bool ok = false;
        const long long n = text().trimmed().toLongLong(&ok);
        return ok ? std::optional(n) : std::nullopt;
    }

protected:
    QValidator::State validate(QString& input, int& pos) const override {
        const QString t = input.trimmed();
        if (t.isEmpty() || t == u'-' || t == u'+') return QValidator::Intermediate;
        bool ok = false;
        t.toLongLong(&ok);
        if (!ok) return QValidator::Invalid;
        const QValidator::State state = QSpinBox::validate(input, pos);
        return state == QValidator::Invalid ? QValidator::Intermediate : state;
    }
};

// The machine's name, as the server shows it once a master has been answered.
QString machineName() {
    char name[256];
    if (::gethostname(name, sizeof name) != 0) return {};
    name[sizeof name - 1] = '\0';
    return QString::fromUtf8(name);
}

}  // namespace

int leadingInteger(const QString& text) noexcept {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' || text[i] == u'\r' ||
                               text[i] == u'\v' || text[i] == u'\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > INT_MAX + 1LL) value = INT_MAX + 1LL;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

CDlgSettings::CDlgSettings(const UiContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("CDlgSettings"));
    setWindowTitle(text(kCaption));
    setWindowIcon(moduleIcon());

    tcp_ = withId(new QCheckBox(text(kTcp), this), kTcp);
    rtu_ = withId(new QCheckBox(text(kRtu), this), kRtu);

    auto* tcpGroup = withId(new QGroupBox(text(kTcpGroup), this), kTcpGroup);
    auto* tcpForm = new QFormLayout(tcpGroup);
    tcpId_ = withId(new QLineEdit(tcpGroup), kTcpId);
    tcpPort_ = withId(new QLineEdit(tcpGroup), kTcpPort);
    localIp_ = withId(new QLineEdit(tcpGroup), kLocalIp);
    remoteIp_ = withId(new QLineEdit(tcpGroup), kRemoteIp);
    for (QLineEdit* box : {localIp_, remoteIp_}) {
        box->setReadOnly(true);
        // Shown, not typed in: the mouse may still select the text to copy it.
        box->setFocusPolicy(Qt::ClickFocus);
    }
    auto addRow = [](QFormLayout* form, QWidget* group, const QString& label, unsigned labelId,
                     QWidget* field) {
        auto* l = withId(new QLabel(label, group), labelId);
        l->setBuddy(field);
        form->addRow(l, field);
    };
    addRow(tcpForm, tcpGroup, text(kTcpIdLabel), kTcpIdLabel, tcpId_);
    addRow(tcpForm, tcpGroup, text(kPortLabel), kPortLabel, tcpPort_);
    addRow(tcpForm, tcpGroup, text(kLocalIpLabel), kLocalIpLabel, localIp_);
    addRow(tcpForm, tcpGroup, text(kRemoteIpLabel), kRemoteIpLabel, remoteIp_);
    maxMasters_ = withId(new RangeSpinBox(tcpGroup), kMaxMasters);
    maxMasters_->setRange(1, kMaxMastersLimit);
    addRow(tcpForm, tcpGroup, toQString(context_.resources.loadString(kMaxMastersText)), kMaxMastersLabel,
           maxMasters_);

    auto* rtuGroup = withId(new QGroupBox(text(kRtuGroup), this), kRtuGroup);
    auto* rtuLayout = new QVBoxLayout(rtuGroup);
    auto* rtuForm = new QFormLayout;
    rtuLayout->addLayout(rtuForm);
    rtuId_ = withId(new QLineEdit(rtuGroup), kRtuId);
    portName_ = withId(new QComboBox(rtuGroup), kComPort);
    baud_ = withId(new QComboBox(rtuGroup), kBaud);
    dataBits_ = withId(new QComboBox(rtuGroup), kDataBits);
    parity_ = withId(new QComboBox(rtuGroup), kParity);
    stopBits_ = withId(new QComboBox(rtuGroup), kStopBits);
    portName_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    portName_->setMinimumContentsLength(16);
    addRow(rtuForm, rtuGroup, text(kRtuIdLabel), kRtuIdLabel, rtuId_);
    addRow(rtuForm, rtuGroup, text(kComPortLabel), kComPortLabel, portName_);
    addRow(rtuForm, rtuGroup, text(kBaudLabel), kBaudLabel, baud_);
    addRow(rtuForm, rtuGroup, text(kDataBitsLabel), kDataBitsLabel, dataBits_);
    addRow(rtuForm, rtuGroup, text(kParityLabel), kParityLabel, parity_);
    addRow(rtuForm, rtuGroup, text(kStopBitsLabel), kStopBitsLabel, stopBits_);
    for (unsigned id : {kBusyNote, kNoAccessNote}) {
        auto* note = withId(new QLabel(text(id), rtuGroup), id);
        note->setWordWrap(true);
        rtuLayout->addWidget(note);
    }
    rtuLayout->addStretch();

    auto* accessGroup = withId(new QGroupBox(text(kAccessGroup), this), kAccessGroup);
    auto* accessLayout = new QVBoxLayout(accessGroup);
    auto* accessForm = new QFormLayout;
    accessLayout->addLayout(accessForm);
    bindAddress_ = withId(new QComboBox(accessGroup), kBindAddress);
    allowedMasters_ = withId(new QLineEdit(accessGroup), kAllowedMasters);
    writeAccess_ = withId(new QComboBox(accessGroup), kWriteAccess);
    addRow(accessForm, accessGroup, text(kBindAddressLabel), kBindAddressLabel, bindAddress_);
    addRow(accessForm, accessGroup, text(kAllowedMastersLabel), kAllowedMastersLabel, allowedMasters_);
    addRow(accessForm, accessGroup, text(kWriteAccessLabel), kWriteAccessLabel, writeAccess_);
    auto* mastersNote = withId(new QLabel(text(kAllowedMastersNote), accessGroup), kAllowedMastersNote);
    mastersNote->setWordWrap(true);
    accessLayout->addWidget(mastersNote);
    accessLayout->addStretch();

    auto* tlsGroup = withId(new QGroupBox(text(kTlsGroup), this), kTlsGroup);
    auto* tlsLayout = new QVBoxLayout(tlsGroup);
    tls_ = withId(new QCheckBox(text(kTls), tlsGroup), kTls);
    tlsLayout->addWidget(tls_, 0, Qt::AlignLeft);
    auto* tlsForm = new QFormLayout;
    tlsLayout->addLayout(tlsForm);
    tlsPort_ = withId(new RangeSpinBox(tlsGroup), kTlsPort);
    tlsPort_->setRange(1, kMaxPort);
    addRow(tlsForm, tlsGroup, text(kTlsPortLabel), kTlsPortLabel, tlsPort_);
    const struct {
        QLineEdit*& box;
        unsigned id, labelId, browseId;
    } files[] = {{tlsCertificate_, kTlsCertificate, kTlsCertificateLabel, kTlsCertificateBrowse},
                 {tlsKey_, kTlsKey, kTlsKeyLabel, kTlsKeyBrowse},
                 {tlsCa_, kTlsCa, kTlsCaLabel, kTlsCaBrowse}};
    int browseIndex = 0;
    for (const auto& file : files) {
        file.box = withId(new QLineEdit(tlsGroup), file.id);
        // Room for a usual path; a longer one scrolls.
        fitLineEdit(*file.box, {QStringLiteral("/etc/tesmor/tls/server-chain.pem")});
        auto* browseButton = withId(new QPushButton(text(file.browseId), tlsGroup), file.browseId);
        browseButton->setAutoDefault(false);
        // As narrow as its dots allow, so the path gets the room.
        browseButton->setMaximumWidth(browseButton->fontMetrics().horizontalAdvance(browseButton->text()) +
                                      24);
        tlsBrowse_[browseIndex++] = browseButton;
        connect(browseButton, &QPushButton::clicked, this,
                [this, box = file.box, labelId = file.labelId] { browse(box, labelId); });
        auto* row = new QHBoxLayout;
        row->addWidget(file.box, 1);
        row->addWidget(browseButton);
        auto* l = withId(new QLabel(text(file.labelId), tlsGroup), file.labelId);
        l->setBuddy(file.box);
        tlsForm->addRow(l, row);
    }
    tlsWriteRoles_ = withId(new QLineEdit(tlsGroup), kTlsWriteRoles);
    addRow(tlsForm, tlsGroup, text(kTlsWriteRolesLabel), kTlsWriteRolesLabel, tlsWriteRoles_);
    auto* rolesNote = withId(new QLabel(text(kTlsWriteRolesNote), tlsGroup), kTlsWriteRolesNote);
    rolesNote->setWordWrap(true);
    tlsLayout->addWidget(rolesNote);
    tlsLayout->addStretch();

    rejectNotice_ = withId(new QCheckBox(text(kRejectNotice), this), kRejectNotice);

    auto* ok = withId(new QPushButton(text(kOk), this), kOk);
    auto* cancel = withId(new QPushButton(text(kCancel), this), kCancel);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CDlgSettings::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgSettings::reject);

    auto* grid = new QGridLayout;
    // Left-aligned, not stretched: a check box reacts only over its box and text.
    grid->addWidget(tcp_, 0, 0, Qt::AlignLeft);
    grid->addWidget(rtu_, 0, 1, Qt::AlignLeft);
    grid->addWidget(tcpGroup, 1, 0);
    grid->addWidget(rtuGroup, 1, 1);
    grid->addWidget(accessGroup, 2, 0);
    grid->addWidget(tlsGroup, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(rejectNotice_, 0, Qt::AlignLeft);
    layout->addLayout(buttons);

    connect(tcp_, &QCheckBox::clicked, this, &CDlgSettings::enableTcpGroup);
    connect(rtu_, &QCheckBox::clicked, this, &CDlgSettings::enableRtuGroup);
    connect(tls_, &QCheckBox::clicked, this, &CDlgSettings::enableTlsGroup);
    for (QWidget* box : std::initializer_list<QWidget*>{tcpPort_, tcpId_, rtuId_, maxMasters_, tlsPort_})
        box->installEventFilter(this);
    // Masters come and go while the dialog is open.
    addressTimer_ = new QTimer(this);
    addressTimer_->setInterval(1000);
    connect(addressTimer_, &QTimer::timeout, this, &CDlgSettings::showAddresses);

    connect(portName_, &QComboBox::activated, this,
            [this](int index) { settings_.portName = toU16(portName_->itemData(index).toString()); });
    connect(baud_, &QComboBox::activated, this,
            [this](int index) { settings_.baudRate = baud_->itemData(index).toInt(); });
    connect(dataBits_, &QComboBox::activated, this,
            [this](int index) { settings_.dataBits = leadingInteger(dataBits_->itemText(index)); });
    connect(parity_, &QComboBox::activated, this,
            [this](int index) { settings_.parity = toU16(parity_->itemText(index)); });
    connect(stopBits_, &QComboBox::activated, this,
            [this](int index) { settings_.stopBits = leadingInteger(stopBits_->itemText(index)); });
    connect(bindAddress_, &QComboBox::activated, this,
            [this](int index) { settings_.bindAddress = toU16(bindAddress_->itemData(index).toString()); });
    connect(writeAccess_, &QComboBox::activated, this,
            [this](int index) { settings_.writeAccess = writeAccess_->itemData(index).toInt(); });

    loadSettings();
}

QString CDlgSettings::text(unsigned control) const {
    return toQString(context_.resources.dialogText(kSettingsDialog, control));
}

void CDlgSettings::loadSettings() { settings_ = loadConnectionSettings(context_.profile); }

int CDlgSettings::exec() {
    initDialog();
    return QDialog::exec();
}

void CDlgSettings::initDialog() {
    setWindowIcon(moduleIcon());
    loadSettings();
    enableTcpGroup(settings_.tcpEnabled != 0);
    enableRtuGroup(settings_.rtuEnabled != 0);
    enableTlsGroup(settings_.tls.enabled == 1);
    showAddresses();
    // Room for any address and a host name of 30 characters, or the longer name shown.
    for (QLineEdit* box : {localIp_, remoteIp_})
        fitLineEdit(*box, {QStringLiteral("255.255.255.255 (+15)"),
                           QStringLiteral("chromatograph-07.lab.plant.loc"), box->text()});
    fillSerialPorts();
    fillChoices();
    fillAccess();
    fillTls();
    tcp_->setChecked(settings_.tcpEnabled != 0);
    rtu_->setChecked(settings_.rtuEnabled != 0);
    tcpPort_->setText(QString::number(settings_.tcpPort));
    tcpId_->setText(QString::number(settings_.tcpUnitId));
    rtuId_->setText(QString::number(settings_.rtuUnitId));
    maxMasters_->setValue(settings_.maxMasters);
    rejectNotice_->setChecked(context_.profile.getInt(kSettingsSection, kRejectNoticeKey, 0) == 1);
    // The port names may have changed length since the last opening.
    adjustSize();
    // The first field the user can change, not the button the last opening ended with.
    for (QWidget* w = nextInFocusChain(); w != this; w = w->nextInFocusChain())
        if (w->isEnabled() && (w->focusPolicy() & Qt::TabFocus) && !qobject_cast<QPushButton*>(w) &&
            !w->isHidden()) {
            w->setFocus(Qt::OtherFocusReason);
            break;
        }
}

void CDlgSettings::showAddresses() {
    // The server names the machine only once a master has been answered; the name is the same.
    const QString name = toQString(context_.server.localHostName());
    localIp_->setText(name.isEmpty() ? machineName() : name);
    remoteIp_->setText(toQString(context_.server.peerAddress()));
}

void CDlgSettings::showEvent(QShowEvent* event) {
    addressTimer_->start();
    QDialog::showEvent(event);
}

void CDlgSettings::hideEvent(QHideEvent* event) {
    addressTimer_->stop();
    QDialog::hideEvent(event);
}

void CDlgSettings::fillSerialPorts() {
    portName_->clear();
    const QString noAccessMark = toQString(context_.resources.loadString(kNoAccessMark));
    // "COM1", as a fresh profile holds, is the port it opens: /dev/ttyS0.
    const std::string opened = serialDevicePath(settings_.portName);
    int selected = -1;
    for (const auto& port : ports_.probe()) {
        const QString name = toQString(toUtf16(port.path));
        const QString mark = port.state == SerialPortState::Busy       ? toQString(kBusyMark)
                             : port.state == SerialPortState::NoAccess ? noAccessMark
                                                                       : QString();
        portName_->addItem(name + mark, name);
        if (port.path == opened) selected = portName_->count() - 1;
    }
    portName_->setCurrentIndex(selected);
    // Room for the longest name beside the arrow; the style's own estimate cuts its last letter.
    int widest = 0;
    for (int i = 0; i < portName_->count(); ++i)
        widest = std::max(widest, portName_->fontMetrics().horizontalAdvance(portName_->itemText(i)));
    portName_->setMinimumWidth(widest + 48);
}

void CDlgSettings::fillChoices() {
    baud_->clear();
    for (int rate : kBaudRates) baud_->addItem(QString::number(rate), rate);
    selectData(baud_, settings_.baudRate);
    dataBits_->clear();
    for (int bits : {7, 8}) dataBits_->addItem(QString::number(bits), bits);
    selectData(dataBits_, settings_.dataBits);
    parity_->clear();
    parity_->addItems({QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even")});
    parity_->setCurrentIndex(
        parity_->findText(toQString(settings_.parity), Qt::MatchExactly | Qt::MatchCaseSensitive));
    stopBits_->clear();
    for (int bits : {1, 2}) stopBits_->addItem(QString::number(bits), bits);
    selectData(stopBits_, settings_.stopBits);
}

void CDlgSettings::fillAccess() {
    bindAddress_->clear();
    bindAddress_->addItem(toQString(context_.resources.loadString(kAllInterfaces)), QString());
    for (const LocalAddress& a : localIpv4Addresses()) {
        const QString dotted = QString::fromStdString(formatIpv4(a.address));
        bindAddress_->addItem(QStringLiteral("%1 (%2)").arg(dotted, QString::fromStdString(a.interface)),
                              dotted);
    }
    // A stored address the machine does not have now (an unplugged adapter) stays as it is.
    const QString stored = toQString(settings_.bindAddress);
    if (bindAddress_->findData(stored) < 0) bindAddress_->addItem(stored, stored);
    bindAddress_->setCurrentIndex(bindAddress_->findData(stored));

    allowedMasters_->setText(toQString(settings_.allowedMasters));

    writeAccess_->clear();
    for (unsigned id : {kWriteAny, kWriteUnpublished, kWriteNone})
        writeAccess_->addItem(toQString(context_.resources.loadString(id)), int(id - kWriteAny));
    // A stored value outside the three (which writes nothing) is shown without a choice and kept.
    selectData(writeAccess_, settings_.writeAccess);
}

void CDlgSettings::fillTls() {
    tls_->setChecked(settings_.tls.enabled == 1);
    tlsPort_->setValue(settings_.tls.port);
    tlsCertificate_->setText(toQString(settings_.tls.certificate));
    tlsKey_->setText(toQString(settings_.tls.key));
    tlsCa_->setText(toQString(settings_.tls.ca));
    tlsWriteRoles_->setText(toQString(settings_.tls.writeRoles));
}

QString CDlgSettings::fieldName(unsigned labelId) const {
    QString name = text(labelId).trimmed();
    if (name.endsWith(u':')) name.chop(1);
    return name;
}

void CDlgSettings::browse(QLineEdit* box, unsigned labelId) {
    const QString title = fieldName(labelId);
    const QString current = box->text().trimmed();
    const QString chosen =
        fileChooser_ ? fileChooser_(title, current)
                     : QFileDialog::getOpenFileName(this, title, current,
                                                    toQString(context_.resources.loadString(kPemFiles)) +
                                                        QStringLiteral(";;") +
                                                        toQString(context_.resources.loadString(kAllFiles)));
    if (!chosen.isEmpty()) box->setText(chosen);
    box->setFocus(Qt::OtherFocusReason);
}

bool CDlgSettings::checkTls() {
    if (!tls_->isChecked()) return true;
    const struct {
        QLineEdit* box;
        unsigned labelId;
        bool required;
    } fields[] = {{tlsCertificate_, kTlsCertificateLabel, true},
                  {tlsKey_, kTlsKeyLabel, true},
                  {tlsCa_, kTlsCaLabel, true},
                  {tlsWriteRoles_, kTlsWriteRolesLabel, false}};
    const auto refuse = [this](QWidget* box, const QString& message) {
        showMessage(toU16(message), MessageIcon::Warning);
        box->setFocus(Qt::OtherFocusReason);
        return false;
    };
    for (const auto& field : fields) {
        const QString typed = field.box->text().trimmed();
        const QString name = fieldName(field.labelId);
        const auto says = [&](unsigned id) { return toQString(context_.resources.loadString(id)).arg(name); };
        if (field.required && typed.isEmpty()) return refuse(field.box, says(kTlsMissingFile));
        if (static_cast<std::size_t>(typed.size()) > kMaxProfileText)
            return refuse(field.box, says(kTlsLongText).arg(kMaxProfileText));
        if (!field.required) continue;
        // What the server would find at its start, said now instead of a TLS server that never runs.
        const QFileInfo file(typed);
        if (!file.exists()) return refuse(field.box, says(kTlsNoFile).arg(typed));
        if (file.isDir()) return refuse(field.box, says(kTlsFolder).arg(typed));
        if (QFile f(typed); !f.open(QIODevice::ReadOnly))
            return refuse(field.box, says(kTlsUnreadable).arg(typed));
    }
    const int tcpPort = leadingInteger(tcpPort_->text());
    if (tcp_->isChecked() && tlsPort_->value() == tcpPort)
        return refuse(tlsPort_, toQString(context_.resources.loadString(kTlsSamePort)).arg(tcpPort));
    return true;
}

bool CDlgSettings::checkSpinBox(QSpinBox* box) {
    const auto typed = static_cast<RangeSpinBox*>(box)->typed();
    if (typed && *typed >= box->minimum() && *typed <= box->maximum()) {
        box->interpretText();
        return true;
    }
    checking_ = true;
    showMessage(
        toU16(toQString(context_.resources.loadString(kValueRange)).arg(box->minimum()).arg(box->maximum())),
        MessageIcon::Warning);
    checking_ = false;
    box->setValue(box->value());
    box->setFocus(Qt::OtherFocusReason);
    return false;
}

bool CDlgSettings::checkAllowedMasters() {
    const QString typed = allowedMasters_->text().trimmed();
    const auto parsed = MasterList::parse(toU16(typed));
    if (static_cast<std::size_t>(typed.size()) > kMaxAllowedMastersLength) {
        showMessage(
            toU16(toQString(context_.resources.loadString(kLongMasters)).arg(kMaxAllowedMastersLength)),
            MessageIcon::Warning);
        allowedMasters_->setFocus(Qt::OtherFocusReason);
        return false;
    }
    if (!parsed.list) {
        const bool empty = parsed.badItem.empty();
        QString message = toQString(context_.resources.loadString(empty ? kEmptyMaster : kBadMaster));
        if (!empty) message = message.arg(toQString(parsed.badItem));
        showMessage(toU16(message), MessageIcon::Warning);
        allowedMasters_->setFocus(Qt::OtherFocusReason);
        return false;
    }
    settings_.allowedMasters = toU16(typed);
    return true;
}

void CDlgSettings::enableTcpGroup(bool on) {
    for (QWidget* box : std::initializer_list<QWidget*>{tcpPort_, tcpId_, localIp_, remoteIp_, maxMasters_})
        box->setEnabled(on);
}

void CDlgSettings::enableRtuGroup(bool on) {
    for (QWidget* box :
         std::initializer_list<QWidget*>{rtuId_, portName_, baud_, dataBits_, parity_, stopBits_})
        box->setEnabled(on);
}

void CDlgSettings::enableTlsGroup(bool on) {
    for (QWidget* box :
         std::initializer_list<QWidget*>{tlsPort_, tlsCertificate_, tlsKey_, tlsCa_, tlsWriteRoles_,
                                         tlsBrowse_[0], tlsBrowse_[1], tlsBrowse_[2]})
        box->setEnabled(on);
}

bool CDlgSettings::checkNumberBox(QLineEdit* box) {
    const int value = leadingInteger(box->text());
    int* setting = box == tcpPort_ ? &settings_.tcpPort
                   : box == tcpId_ ? &settings_.tcpUnitId
                                   : &settings_.rtuUnitId;
    *setting = value;
    const bool port = box == tcpPort_;
    const int low = port ? 0 : 1;
    const int high = port ? 9999 : 255;
    if (value >= low && value <= high) return true;
    // The message box takes the focus from the box; that loss is not a new edit.
    checking_ = true;
    showMessage(context_.resources.loadString(port ? kPortRange : kUnitIdRange), MessageIcon::Warning);
    checking_ = false;
    *setting = port ? kDefaultPort : kDefaultUnitId;
    box->setText(QString::number(*setting));
    box->setFocus(Qt::OtherFocusReason);
    return false;
}

bool CDlgSettings::eventFilter(QObject* watched, QEvent* event) {
    // Enter would let the spin box put its last value back unasked before OK sees the number.
    if (auto* spin = qobject_cast<QSpinBox*>(watched); spin && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !checkSpinBox(spin)) return true;
    }
    if (event->type() == QEvent::FocusOut && !checking_) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Switching to another window or opening a popup is not leaving the box.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (auto* spin = qobject_cast<QSpinBox*>(watched))
                checkSpinBox(spin);
            else
                checkNumberBox(static_cast<QLineEdit*>(watched));
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CDlgSettings::accept() {
    // Enter in a number box reaches OK without the box losing the focus: check it here, so an
    // out-of-range value is never saved.
    for (QLineEdit* box : {tcpPort_, tcpId_, rtuId_})
        if (box->isEnabled() && !checkNumberBox(box)) return;
    for (QSpinBox* box : {maxMasters_, tlsPort_})
        if (box->isEnabled() && !checkSpinBox(box)) return;
    if (!checkAllowedMasters() || !checkTls()) return;
    settings_.tcpEnabled = tcp_->isChecked() ? 1 : 0;
    settings_.rtuEnabled = rtu_->isChecked() ? 1 : 0;
    settings_.tcpPort = leadingInteger(tcpPort_->text());
    settings_.tcpUnitId = leadingInteger(tcpId_->text());
    settings_.rtuUnitId = leadingInteger(rtuId_->text());
    settings_.maxMasters = maxMasters_->value();
    settings_.tls.enabled = tls_->isChecked() ? 1 : 0;
    // A stored port the box cannot show is kept unless the user sets another.
    if (tlsPort_->value() != std::clamp(settings_.tls.port, 1, kMaxPort))
        settings_.tls.port = tlsPort_->value();
    settings_.tls.certificate = toU16(tlsCertificate_->text().trimmed());
    settings_.tls.key = toU16(tlsKey_->text().trimmed());
    settings_.tls.ca = toU16(tlsCa_->text().trimmed());
    settings_.tls.writeRoles = toU16(tlsWriteRoles_->text().trimmed());
    saveConnectionSettings(context_.profile, settings_);
    context_.profile.setInt(kSettingsSection, kRejectNoticeKey, rejectNotice_->isChecked() ? 1 : 0);
    settingsSaved_ = true;
    QDialog::accept();
}

}  // namespace tesmor::ui
