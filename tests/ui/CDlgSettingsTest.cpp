// The connection settings dialog: its defaults, enabling rules, focus-loss range checks, the
// keys written on OK, the serial-port list with its busy and no-access marks, the stored "COMn"
// and the read-only address boxes.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <algorithm>
#include <fstream>
#include <memory>
#include <tuple>

#include "UiTestSupport.h"
#include "platform/ResourceIds.h"
#include "platform/ResourceTable.h"
#include "support/RecordingMessageSink.h"
#include "support/TempDir.h"
#include "ui/CDlgSettings.h"
#include "ui/TextFit.h"

using namespace tesmor;
using tesmor::test::control;
using tesmor::test::englishTable;
using tesmor::test::RecordingMessageSink;
using tesmor::test::UiFixture;

namespace {

QStringList items(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

void touch(const std::filesystem::path& path) { std::ofstream(path).put('\n'); }

// The TLS group's boxes and browse buttons, which its check box enables.
constexpr int kTlsBoxes[] = {1162, 1164, 1166, 1167, 1169, 1180, 1182, 1183};

// Files the TLS boxes can name: "сервер.pem", "server.key", "ca.pem", "plant-ca.pem" and one
// whose path is as long as the profile keeps (126 characters), made once.
const TempDir& tlsFiles() {
    static const TempDir dir;
    static const bool made = [] {
        for (const char* name : {"сервер.pem", "server.key", "ca.pem", "plant-ca.pem"}) touch(dir.file(name));
        touch(dir.path() / std::string(126 - dir.path().string().size() - 1, 'a'));
        return true;
    }();
    (void)made;
    return dir;
}

QString tlsFile(const char* name) { return QString::fromStdString(tlsFiles().file(name).string()); }

// A profile with TLS switched on and every file given.
void storeTls(test::MemoryProfile& profile) {
    profile.setInt(u"Settings", u"isTLS", 1);
    profile.setInt(u"Settings", u"tlsPort", 8802);
    profile.setString(u"Settings", u"tlsCertificate", tlsFile("сервер.pem").toStdU16String());
    profile.setString(u"Settings", u"tlsKey", tlsFile("server.key").toStdU16String());
    profile.setString(u"Settings", u"tlsCA", tlsFile("ca.pem").toStdU16String());
    profile.setString(u"Settings", u"tlsWriteRoles", u"operator");
    profile.writes.clear();
}

// A shown, active dialog over an empty folder of serial ports.
struct OpenDialog {
    explicit OpenDialog(UiFixture& f) : dialog(f.context) {
        dialog.setSerialPorts(SerialPortCatalog(ports.path(), ports.path()));
        dialog.initDialog();
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
    }
    QWidget* widget(int id) const { return control(dialog, id); }
    QCheckBox* check(int id) const { return control<QCheckBox>(dialog, id); }
    QLineEdit* edit(int id) const { return control<QLineEdit>(dialog, id); }
    QComboBox* combo(int id) const { return control<QComboBox>(dialog, id); }
    QPushButton* button(int id) const { return control<QPushButton>(dialog, id); }

    TempDir ports;
    ui::CDlgSettings dialog;
};

}  // namespace

class CDlgSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void freshProfile();
    void checkBoxesEnableTheirGroups();
    void numberBoxOnFocusLoss_data();
    void numberBoxOnFocusLoss();
    void enterNeverSavesAnOutOfRangeValue();
    void okRewritesEveryKeyInOrder();
    void cancelWritesNothing();
    void mastersAtOnceIsShownAndSaved();
    void serialPorts();
    void portHeldOpenByAnotherProcessIsBusy();
    void portThisUserMayNotOpen();
    void uucpLockFileOfALiveProcessIsBusy();
    void storedComNameSelectsItsDevice_data();
    void storedComNameSelectsItsDevice();
    void marksAndNotes();
    void addressBoxesShowTheirLongestTexts();
    void accessGroupDefaultsAndChoices();
    void accessGroupWritesItsKeys();
    void malformedAllowedMastersAreRefused_data();
    void malformedAllowedMastersAreRefused();
    void storedAccessValuesOutsideTheChoicesAreKept();
    void tlsGroupShowsAndWritesItsKeys();
    void tlsFieldsAreCheckedOnOk_data();
    void tlsFieldsAreCheckedOnOk();
    void storedTlsPortTheBoxCannotShowIsKept();
    void tlsGroupInEnglish();
    void numbersTheSpinBoxesCannotTake_data();
    void numbersTheSpinBoxesCannotTake();
    void opensWithTheFocusOnItsFirstField();
    void rejectNoticeIsShownAndSaved();
};

void CDlgSettingsTest::freshProfile() {
    UiFixture f;
    OpenDialog d(f);
    QCOMPARE(d.dialog.windowTitle(), QString("Настройки"));
    QVERIFY(!d.check(1041)->isChecked());
    QVERIFY(!d.check(1042)->isChecked());
    QVERIFY(!d.check(1161)->isChecked());
    for (int id : {1021, 1022, 1025, 1026, 1120, 1023, 1016, 1017, 1018, 1019, 1020})
        QVERIFY2(!d.widget(id)->isEnabled(), qPrintable(QString::number(id)));
    for (int id : kTlsBoxes) QVERIFY2(!d.widget(id)->isEnabled(), qPrintable(QString::number(id)));
    QCOMPARE(control<QSpinBox>(d.dialog, 1120)->value(), 1);
    QCOMPARE(control<QSpinBox>(d.dialog, 1162)->value(), 802);
    QCOMPARE(d.edit(1021)->text(), QString("502"));
    QCOMPARE(d.edit(1022)->text(), QString("1"));
    QCOMPARE(d.edit(1023)->text(), QString("1"));
    QCOMPARE(d.combo(1017)->currentText(), QString("9600"));
    QCOMPARE(d.combo(1018)->currentText(), QString("8"));
    QCOMPARE(d.combo(1019)->currentText(), QString("None"));
    QCOMPARE(d.combo(1020)->currentText(), QString("1"));
    QCOMPARE(d.combo(1017)->count(), 15);
    QCOMPARE(d.combo(1016)->currentIndex(), -1);  // no ports, COM1 not among them
    QVERIFY(d.edit(1025)->isReadOnly() && d.edit(1026)->isReadOnly());
    QCOMPARE(d.edit(1026)->text(), QString());  // no master answered yet
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    QCOMPARE(d.edit(1025)->text(), QString::fromUtf8(name));  // the machine's name all the same
    QVERIFY(!d.check(1186)->isChecked());
    QCOMPARE(d.button(1)->text(), QString("ОК"));
    QVERIFY(!d.dialog.settingsSaved());
}

void CDlgSettingsTest::checkBoxesEnableTheirGroups() {
    UiFixture f;
    OpenDialog d(f);
    QTest::mouseClick(d.widget(1041), Qt::LeftButton);
    for (int id : {1021, 1022, 1025, 1026, 1120}) QVERIFY(d.widget(id)->isEnabled());
    for (int id : {1023, 1016, 1017, 1018, 1019, 1020}) QVERIFY(!d.widget(id)->isEnabled());
    QTest::mouseClick(d.widget(1042), Qt::LeftButton);
    QTest::mouseClick(d.widget(1041), Qt::LeftButton);
    for (int id : {1021, 1022, 1025, 1026, 1120}) QVERIFY(!d.widget(id)->isEnabled());
    for (int id : {1023, 1016, 1017, 1018, 1019, 1020}) QVERIFY(d.widget(id)->isEnabled());
    for (int id : kTlsBoxes) QVERIFY(!d.widget(id)->isEnabled());
    QTest::mouseClick(d.widget(1161), Qt::LeftButton);
    for (int id : kTlsBoxes) QVERIFY2(d.widget(id)->isEnabled(), qPrintable(QString::number(id)));
    for (int id : {1021, 1022, 1025, 1026, 1120}) QVERIFY(!d.widget(id)->isEnabled());
    QTest::mouseClick(d.widget(1161), Qt::LeftButton);
    for (int id : kTlsBoxes) QVERIFY(!d.widget(id)->isEnabled());
    for (int id : {1023, 1016, 1017, 1018, 1019, 1020}) QVERIFY(d.widget(id)->isEnabled());
}

void CDlgSettingsTest::numberBoxOnFocusLoss_data() {
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("message");  // string id, 0 for none
    QTest::addColumn<QString>("left");
    QTest::addColumn<int>("value");
    QTest::newRow("port 9999") << 1021 << "9999" << 0 << "9999" << 9999;
    QTest::newRow("port 0") << 1021 << "0" << 0 << "0" << 0;
    QTest::newRow("port 10000") << 1021 << "10000" << int(res::kPortRange) << "502" << 502;
    QTest::newRow("port -1") << 1021 << "-1" << int(res::kPortRange) << "502" << 502;
    QTest::newRow("port beyond 32 bits") << 1021 << "99999999999" << int(res::kPortRange) << "502" << 502;
    QTest::newRow("port abc") << 1021 << "abc" << 0 << "abc" << 0;
    QTest::newRow("port leading digits") << 1021 << "  +80x" << 0 << "  +80x" << 80;
    QTest::newRow("tcp id 0") << 1022 << "0" << int(res::kUnitIdRange) << "1" << 1;
    QTest::newRow("tcp id 256") << 1022 << "256" << int(res::kUnitIdRange) << "1" << 1;
    QTest::newRow("tcp id 255") << 1022 << "255" << 0 << "255" << 255;
    QTest::newRow("rtu id 0") << 1023 << "0" << int(res::kUnitIdRange) << "1" << 1;
    QTest::newRow("rtu id 256") << 1023 << "256" << int(res::kUnitIdRange) << "1" << 1;
    QTest::newRow("rtu id 17") << 1023 << "17" << 0 << "17" << 17;
}

void CDlgSettingsTest::numberBoxOnFocusLoss() {
    QFETCH(int, box);
    QFETCH(QString, typed);
    QFETCH(int, message);
    QFETCH(QString, left);
    QFETCH(int, value);
    UiFixture f;
    OpenDialog d(f);
    RecordingMessageSink sink;
    QTest::mouseClick(d.widget(1041), Qt::LeftButton);
    QTest::mouseClick(d.widget(1042), Qt::LeftButton);
    auto* edit = d.edit(box);
    edit->setFocus();
    edit->clear();
    QTest::keyClicks(edit, typed);
    d.widget(1)->setFocus();  // leaving the box

    if (message) {
        QCOMPARE(sink.texts(), std::vector<std::u16string>{f.resources.loadString(message)});
        QCOMPARE(sink.messages.front().icon, MessageIcon::Warning);
        QCOMPARE(QApplication::focusWidget(), edit);
    } else {
        QVERIFY(sink.messages.empty());
    }
    QCOMPARE(edit->text(), left);
    const auto& s = d.dialog.settings();
    QCOMPARE(box == 1021 ? s.tcpPort : box == 1022 ? s.tcpUnitId : s.rtuUnitId, value);
}

void CDlgSettingsTest::enterNeverSavesAnOutOfRangeValue() {
    UiFixture f;
    OpenDialog d(f);
    RecordingMessageSink sink;
    QTest::mouseClick(d.widget(1041), Qt::LeftButton);
    auto* port = d.edit(1021);
    port->setFocus();
    port->clear();
    QTest::keyClicks(port, "65000");
    QTest::keyClick(port, Qt::Key_Return);
    QCOMPARE(sink.texts(), std::vector<std::u16string>{u"Значение должно быть от 0 до 9999!"});
    QVERIFY(d.dialog.isVisible());
    QVERIFY(f.profile.writes.empty());
    QCOMPARE(port->text(), QString("502"));
    QTest::keyClick(port, Qt::Key_Return);  // now in range
    QVERIFY(!d.dialog.isVisible());
    QCOMPARE(f.profile.getInt(u"Settings", u"localPort", 0), 502);
}

void CDlgSettingsTest::okRewritesEveryKeyInOrder() {
    for (bool both : {false, true}) {
        UiFixture f;
        OpenDialog d(f);
        if (both) {
            QTest::mouseClick(d.widget(1041), Qt::LeftButton);
            QTest::mouseClick(d.widget(1042), Qt::LeftButton);
        }
        QTest::mouseClick(d.widget(1), Qt::LeftButton);
        auto written = test::kSettingsWriteOrder;
        written.push_back(u"Settings/rejectNotice");
        QCOMPARE(f.profile.writes, written);
        QCOMPARE(f.profile.getInt(u"Settings", u"rejectNotice", -1), 0);
        QCOMPARE(f.profile.getInt(u"Settings", u"maxMasters", -1), 1);
        QCOMPARE(f.profile.getInt(u"Settings", u"isTCP", -1), both ? 1 : 0);
        QCOMPARE(f.profile.getInt(u"Settings", u"isRTU", -1), both ? 1 : 0);
        QCOMPARE(f.profile.getString(u"Settings", u"portName", u""), std::u16string(u"COM1"));
        QCOMPARE(f.profile.getInt(u"Settings", u"baud", -1), 9600);
        QVERIFY(d.dialog.settingsSaved());
        QVERIFY(!d.dialog.isVisible());
    }
}

void CDlgSettingsTest::cancelWritesNothing() {
    UiFixture f;
    OpenDialog d(f);
    QTest::mouseClick(d.widget(1041), Qt::LeftButton);
    QTest::mouseClick(d.widget(1161), Qt::LeftButton);
    QTest::keyClicks(d.edit(1164), "/etc/tesmor/server.pem");
    QTest::mouseClick(d.widget(2), Qt::LeftButton);
    QVERIFY(f.profile.writes.empty());
    QVERIFY(!d.dialog.settingsSaved());
    d.dialog.initDialog();  // the next opening shows the profile again
    QVERIFY(!d.check(1041)->isChecked());
    QVERIFY(!d.check(1161)->isChecked());
    QCOMPARE(d.edit(1164)->text(), QString());
}

void CDlgSettingsTest::mastersAtOnceIsShownAndSaved() {
    UiFixture f;
    f.profile.setInt(u"Settings", u"isTCP", 1);
    f.profile.setInt(u"Settings", u"maxMasters", 40);  // read as the largest allowed
    OpenDialog d(f);
    auto* box = control<QSpinBox>(d.dialog, 1120);
    QVERIFY(box->isEnabled());
    QCOMPARE(box->value(), 16);
    QCOMPARE(box->minimum(), 1);
    QCOMPARE(box->maximum(), 16);
    QCOMPARE(control<QLabel>(d.dialog, 1121)->text(), QString("Одновременно мастеров:"));
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "4");
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QCOMPARE(f.profile.getInt(u"Settings", u"maxMasters", -1), 4);
    // Right after the ten keys.
    const auto& w = f.profile.writes;
    const auto at = std::find(w.begin(), w.end(), u"Settings/maxMasters");
    QVERIFY(at != w.end() && at != w.begin());
    QCOMPARE(*(at - 1), std::u16string(u"Settings/isTCP"));
}

void CDlgSettingsTest::serialPorts() {
    UiFixture f;
    TempDir dev;
    TempDir ttyClass;
    for (const char* name :
         {"ttyS10", "ttyS2", "ttyS1", "ttyUSB0", "ttyACM1", "ttyS3", "tty5", "console", "ttyUSB"})
        touch(dev.file(name));
    // ttyS3 is a line the kernel knows without a UART behind it.
    std::filesystem::create_directories(ttyClass.file("ttyS3"));
    std::ofstream(ttyClass.file("ttyS3") / "type") << "0\n";
    std::filesystem::create_directories(ttyClass.file("ttyS2"));
    std::ofstream(ttyClass.file("ttyS2") / "type") << "4\n";
    const std::string held = dev.file("ttyS1").string();
    const int holder = ::open(held.c_str(), O_RDWR);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    f.profile.setString(u"Settings", u"portName", toUtf16(dev.file("ttyS2").string()));
    f.profile.setInt(u"Settings", u"isRTU", 1);
    f.profile.writes.clear();

    ui::CDlgSettings dialog(f.context);
    dialog.setSerialPorts(SerialPortCatalog(dev.path(), ttyClass.path()));
    dialog.initDialog();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* ports = control<QComboBox>(dialog, 1016);
    const QString base = QString::fromStdString(dev.path().string()) + "/";
    QCOMPARE(items(ports), (QStringList{base + "ttyACM1", base + "ttyS1 *", base + "ttyS2", base + "ttyS10",
                                        base + "ttyUSB0"}));
    QCOMPARE(ports->currentIndex(), 2);

    ports->setFocus();
    QTest::keyClick(ports, Qt::Key_Up);  // the busy one
    QCOMPARE(ports->currentIndex(), 1);
    QTest::mouseClick(control<QPushButton>(dialog, 1), Qt::LeftButton);
    QCOMPARE(f.profile.getString(u"Settings", u"portName", u""), toUtf16(held));
    ::close(holder);

    // Released, the port is no longer marked.
    dialog.initDialog();
    QCOMPARE(ports->itemText(1), base + "ttyS1");
    QCOMPARE(ports->currentIndex(), 1);
}

void CDlgSettingsTest::portHeldOpenByAnotherProcessIsBusy() {
    // Open without a lock, as a terminal program may hold a port; only /proc tells.
    TempDir dev;
    touch(dev.file("ttyS0"));
    touch(dev.file("ttyS1"));
    const std::string held = dev.file("ttyS0").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, held.c_str(), O_RDWR, 0);
    char sleep[] = "sleep";
    char seconds[] = "30";
    char* argv[] = {sleep, seconds, nullptr};
    pid_t child = -1;
    QCOMPARE(posix_spawnp(&child, "sleep", &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The child has the port once its descriptor 0 points at it.
    const auto stdinLink = "/proc/" + std::to_string(child) + "/fd/0";
    QTRY_VERIFY(std::filesystem::exists(stdinLink) && std::filesystem::read_symlink(stdinLink) == held);

    const auto ports = SerialPortCatalog(dev.path(), dev.path()).probe();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(ports.size(), std::size_t(2));
    QCOMPARE(ports[0].path, held);
    QVERIFY(ports[0].state == SerialPortState::Busy);
    QVERIFY(ports[1].state == SerialPortState::Free);
    // Gone with the other program.
    QVERIFY(SerialPortCatalog(dev.path(), dev.path()).probe()[0].state == SerialPortState::Free);
}

void CDlgSettingsTest::portThisUserMayNotOpen() {
    // A device of root's, mode 0600, as a dialout port is to a user outside the group.
    TempDir dev;
    touch(dev.file("ttyS0"));
    std::filesystem::permissions(dev.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(dev.file("ttyS0"), std::filesystem::perms(0600));
    const std::string path = dev.file("ttyS0").string();
    if (::geteuid() != 0) {
        std::filesystem::permissions(dev.file("ttyS0"), std::filesystem::perms::none);
        QVERIFY(serialPortStates({path}).front() == SerialPortState::NoAccess);
        return;
    }
    // Root opens anything: probe as the unprivileged user "nobody" in a child.
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(dropped ? int(serialPortStates({path}).front()) : 99);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), int(SerialPortState::NoAccess));
    QVERIFY(serialPortStates({path}).front() == SerialPortState::Free);  // root may
}

void CDlgSettingsTest::uucpLockFileOfALiveProcessIsBusy() {
    TempDir dev;
    TempDir locks;
    for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4"}) touch(dev.file(name));
    // A process that has ended: its lock file is stale.
    const pid_t gone = ::fork();
    QVERIFY(gone >= 0);
    if (gone == 0) ::_exit(0);
    QCOMPARE(::waitpid(gone, nullptr, 0), gone);
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", int(::getpid()));
    std::ofstream(locks.file("LCK..ttyS0")) << text;
    std::snprintf(text, sizeof text, "%10d\n", int(gone));
    std::ofstream(locks.file("LCK..ttyS1")) << text;
    const int self = int(::getpid());  // the old binary form
    std::ofstream(locks.file("LCK..ttyS2"), std::ios::binary)
        .write(reinterpret_cast<const char*>(&self), sizeof self);
    // Binary, above any pid the system can give, its first byte '1' as text: not process 1.
    const int beyondPidMax = 0x00400031;
    std::ofstream(locks.file("LCK..ttyS4"), std::ios::binary)
        .write(reinterpret_cast<const char*>(&beyondPidMax), sizeof beyondPidMax);
    std::vector<SerialPortState> states;
    for (const auto& port : SerialPortCatalog(dev.path(), dev.path(), locks.path()).probe())
        states.push_back(port.state);
    QVERIFY(states == (std::vector{SerialPortState::Busy, SerialPortState::Free, SerialPortState::Busy,
                                   SerialPortState::Free, SerialPortState::Free}));
}

void CDlgSettingsTest::storedComNameSelectsItsDevice_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("selected");
    QTest::newRow("COM1, a fresh profile") << "" << 0;
    QTest::newRow("COM2") << "COM2" << 1;
    QTest::newRow("a path") << "/dev/ttyUSB0" << 2;
    QTest::newRow("COM3, no such device") << "COM3" << -1;
    QTest::newRow("COM0") << "COM0" << -1;
}

void CDlgSettingsTest::storedComNameSelectsItsDevice() {
    QFETCH(QString, stored);
    QFETCH(int, selected);
    UiFixture f;
    if (!stored.isEmpty()) f.profile.setString(u"Settings", u"portName", stored.toStdU16String());
    ui::CDlgSettings dialog(f.context);
    dialog.setSerialPorts(SerialPortCatalog::fixed({{"/dev/ttyS0", SerialPortState::Free},
                                                    {"/dev/ttyS1", SerialPortState::Free},
                                                    {"/dev/ttyUSB0", SerialPortState::Free}}));
    dialog.initDialog();
    auto* ports = control<QComboBox>(dialog, 1016);
    QCOMPARE(ports->currentIndex(), selected);
    // Untouched, the name is kept as stored.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTest::mouseClick(control<QPushButton>(dialog, 1), Qt::LeftButton);
    QCOMPARE(f.profile.getString(u"Settings", u"portName", u""),
             stored.isEmpty() ? u"COM1" : stored.toStdU16String());
}

void CDlgSettingsTest::marksAndNotes() {
    UiFixture f;
    f.profile.setInt(u"Settings", u"isRTU", 1);
    ui::CDlgSettings dialog(f.context);
    dialog.setSerialPorts(SerialPortCatalog::fixed({{"/dev/ttyS0", SerialPortState::NoAccess},
                                                    {"/dev/ttyS1", SerialPortState::Busy},
                                                    {"/dev/ttyUSB0", SerialPortState::Free}}));
    dialog.initDialog();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* ports = control<QComboBox>(dialog, 1016);
    QCOMPARE(items(ports), (QStringList{"/dev/ttyS0 (нет доступа)", "/dev/ttyS1 *", "/dev/ttyUSB0"}));
    QCOMPARE(control<QLabel>(dialog, 1213)->text(),
             QString("Символ * рядом с COM-портом означает, что порт занят."));
    QVERIFY(control<QLabel>(dialog, 1214)->text().contains("dialout"));
    // Either mark stays out of the stored name.
    QCOMPARE(ports->currentIndex(), 0);  // COM1
    ports->setFocus();
    QTest::keyClick(ports, Qt::Key_Down);
    QCOMPARE(dialog.settings().portName, std::u16string(u"/dev/ttyS1"));
    QTest::keyClick(ports, Qt::Key_Up);
    QTest::mouseClick(control<QPushButton>(dialog, 1), Qt::LeftButton);
    QCOMPARE(f.profile.getString(u"Settings", u"portName", u""), std::u16string(u"/dev/ttyS0"));
}

void CDlgSettingsTest::addressBoxesShowTheirLongestTexts() {
    UiFixture f;
    f.profile.setInt(u"Settings", u"isTCP", 1);
    OpenDialog d(f);
    for (const auto& [id, text] : {std::pair{1025, QString("chromatograph-07.lab.plant.loc")},
                                   std::pair{1026, QString("255.255.255.255")}}) {
        QLineEdit* box = d.edit(id);
        box->setText(text);
        QVERIFY2(ui::lineEditTextRoom(*box) >= box->fontMetrics().horizontalAdvance(text), qPrintable(text));
        // Shown, not typed in: Tab passes them by.
        QVERIFY(!(box->focusPolicy() & Qt::TabFocus));
    }
    d.edit(1021)->setFocus();
    QTest::keyClick(d.edit(1021), Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != d.edit(1025) && QApplication::focusWidget() != d.edit(1026));
}

void CDlgSettingsTest::accessGroupDefaultsAndChoices() {
    UiFixture f;
    OpenDialog d(f);
    QCOMPARE(control<QLabel>(d.dialog, 1132)->text(), QString("Адрес сервера:"));
    auto* bind = d.combo(1131);
    QCOMPARE(bind->currentText(), QString("Все интерфейсы"));
    QVERIFY(bind->findText("127.0.0.1 (lo)") > 0);  // named after its interface
    QCOMPARE(bind->itemData(bind->findText("127.0.0.1 (lo)")).toString(), QString("127.0.0.1"));
    QCOMPARE(d.edit(1133)->text(), QString());
    auto* writes = d.combo(1135);
    QCOMPARE(items(writes), (QStringList{"Любые регистры", "Только регистры вне карты", "Запись запрещена"}));
    QCOMPARE(writes->currentIndex(), 0);
}

void CDlgSettingsTest::accessGroupWritesItsKeys() {
    UiFixture f;
    f.profile.setString(u"Settings", u"allowedMasters", u"10.0.0.1");
    OpenDialog d(f);
    QCOMPARE(d.edit(1133)->text(), QString("10.0.0.1"));
    auto* bind = d.combo(1131);
    bind->setFocus();
    QTest::keyClick(bind, Qt::Key_Down);  // the first address of the machine
    const QString chosen = bind->currentData().toString();
    // Each address names its interface.
    QVERIFY2(bind->currentText().startsWith(chosen + " (") && bind->currentText().endsWith(")"),
             qPrintable(bind->currentText()));
    auto* writes = d.combo(1135);
    writes->setFocus();
    QTest::keyClick(writes, Qt::Key_Down);
    auto* masters = d.edit(1133);
    masters->setFocus();
    masters->clear();
    QTest::keyClicks(masters, " 10.1.2.3, 192.168.10.0/24 ");
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QVERIFY(!d.dialog.isVisible());
    QCOMPARE(QString::fromStdU16String(f.profile.getString(u"Settings", u"bindAddress", u"?")), chosen);
    QCOMPARE(f.profile.getString(u"Settings", u"allowedMasters", u"?"),
             std::u16string(u"10.1.2.3, 192.168.10.0/24"));
    QCOMPARE(f.profile.getInt(u"Settings", u"writeAccess", -1), 1);
}

void CDlgSettingsTest::malformedAllowedMastersAreRefused_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    QTest::newRow("octet") << "10.0.0.1, 10.0.0.256"
                           << "В списке разрешённых мастеров «10.0.0.256» не является IPv4-адресом или сетью "
                              "(например, 192.168.10.0/24).";
    QTest::newRow("prefix") << "192.168.1.0/33"
                            << "В списке разрешённых мастеров «192.168.1.0/33» не является "
                               "IPv4-адресом или сетью (например, 192.168.10.0/24).";
    QTest::newRow("percent") << "%1"
                             << "В списке разрешённых мастеров «%1» не является IPv4-адресом или сетью "
                                "(например, 192.168.10.0/24).";
    QTest::newRow("extra comma") << "10.0.0.1,,10.0.0.2"
                                 << "В списке разрешённых мастеров есть пустой элемент (лишняя запятая).";
    // The profile gives back 127 characters: a longer list would come back cut.
    QString longList;
    for (int i = 10; longList.size() <= 126; ++i) longList += QString("10.0.0.%1, ").arg(i);
    QTest::newRow("longer than the profile keeps")
        << longList
        << "Список разрешённых мастеров длиннее 126 символов. Объедините адреса в сети (например, "
           "192.168.10.0/24).";
}

void CDlgSettingsTest::malformedAllowedMastersAreRefused() {
    QFETCH(QString, typed);
    QFETCH(QString, message);
    UiFixture f;
    OpenDialog d(f);
    RecordingMessageSink sink;
    auto* masters = d.edit(1133);
    masters->setFocus();
    QTest::keyClicks(masters, typed);
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QCOMPARE(sink.texts(), std::vector<std::u16string>{message.toStdU16String()});
    QCOMPARE(sink.messages.front().icon, MessageIcon::Warning);
    QVERIFY(d.dialog.isVisible());
    QVERIFY(f.profile.writes.empty());
    QCOMPARE(QApplication::focusWidget(), masters);
    QCOMPARE(masters->text(), typed);
}

void CDlgSettingsTest::storedAccessValuesOutsideTheChoicesAreKept() {
    UiFixture f;
    // 192.0.2.0/24 is on no machine.
    f.profile.setString(u"Settings", u"bindAddress", u"192.0.2.7");
    f.profile.setInt(u"Settings", u"writeAccess", 7);
    OpenDialog d(f);
    QCOMPARE(d.combo(1131)->currentText(), QString("192.0.2.7"));
    QCOMPARE(d.combo(1135)->currentIndex(), -1);
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QCOMPARE(f.profile.getString(u"Settings", u"bindAddress", u"?"), std::u16string(u"192.0.2.7"));
    QCOMPARE(f.profile.getInt(u"Settings", u"writeAccess", -1), 7);
}

void CDlgSettingsTest::tlsGroupShowsAndWritesItsKeys() {
    UiFixture f;
    storeTls(f.profile);
    OpenDialog d(f);
    QCOMPARE(control<QGroupBox>(d.dialog, 1160)->title(), QString("TLS"));
    QVERIFY(d.check(1161)->isChecked());
    for (int id : kTlsBoxes) QVERIFY(d.widget(id)->isEnabled());
    auto* port = control<QSpinBox>(d.dialog, 1162);
    QCOMPARE(port->value(), 8802);
    QCOMPARE(port->minimum(), 1);
    QCOMPARE(port->maximum(), 65535);
    QCOMPARE(d.edit(1164)->text(), tlsFile("сервер.pem"));
    QCOMPARE(d.edit(1167)->text(), tlsFile("server.key"));
    QCOMPARE(d.edit(1180)->text(), tlsFile("ca.pem"));
    QCOMPARE(d.edit(1183)->text(), QString("operator"));

    // Tab walks the group from top to bottom, browse buttons beside their boxes.
    d.check(1161)->setFocus();
    for (int id : {1162, 1164, 1166, 1167, 1169, 1180, 1182, 1183}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), d.widget(id));
    }

    // Each browse button asks for its own box's file; a cancelled choice leaves the box.
    QStringList asked;
    QString answer = tlsFile("plant-ca.pem");
    d.dialog.setFileChooser([&](const QString& title, const QString& current) {
        asked << title + "|" + current;
        return answer;
    });
    d.button(1182)->click();
    answer.clear();
    d.button(1166)->click();
    QCOMPARE(asked, (QStringList{"Доверенные центры (CA)|" + tlsFile("ca.pem"),
                                 "Сертификат сервера|" + tlsFile("сервер.pem")}));
    QCOMPARE(d.edit(1180)->text(), tlsFile("plant-ca.pem"));
    QCOMPARE(d.edit(1164)->text(), tlsFile("сервер.pem"));

    port->setFocus();
    port->selectAll();
    QTest::keyClicks(port, "8803");
    d.edit(1183)->clear();
    QTest::keyClicks(d.edit(1183), " operator, engineer ");
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QVERIFY(!d.dialog.isVisible());
    const ConnectionSettings::Tls expected{1,
                                           8803,
                                           tlsFile("сервер.pem").toStdU16String(),
                                           tlsFile("server.key").toStdU16String(),
                                           tlsFile("plant-ca.pem").toStdU16String(),
                                           u"operator, engineer"};
    QCOMPARE(loadConnectionSettings(f.profile).tls, expected);

    // Switched off, the paths stay for the next time it is switched on.
    OpenDialog again(f);
    QTest::mouseClick(again.widget(1161), Qt::LeftButton);
    QTest::mouseClick(again.widget(1), Qt::LeftButton);
    QCOMPARE(f.profile.getInt(u"Settings", u"isTLS", -1), 0);
    QCOMPARE(f.profile.getString(u"Settings", u"tlsCA", u""), tlsFile("plant-ca.pem").toStdU16String());
}

void CDlgSettingsTest::tlsFieldsAreCheckedOnOk_data() {
    QTest::addColumn<bool>("tls");
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");  // empty: accepted
    const QString longText = "/" + QString(126, u'a');
    const QString folder = QString::fromStdString(tlsFiles().path().string());
    const QString longest = folder + "/" + QString(126 - folder.size() - 1, u'a');
    const QString absent = folder + "/absent.pem";
    QTest::newRow("no certificate") << true << 1164 << ""
                                    << "Для подключения по TLS заполните поле «Сертификат сервера».";
    QTest::newRow("blank key") << true << 1167 << "   "
                               << "Для подключения по TLS заполните поле «Ключ сервера».";
    QTest::newRow("no authorities") << true << 1180 << ""
                                    << "Для подключения по TLS заполните поле «Доверенные центры (CA)».";
    // The profile gives back 127 characters: a longer text would come back cut.
    QTest::newRow("key path longer than the profile keeps")
        << true << 1167 << longText
        << "Поле «Ключ сервера» длиннее 126 символов: профиль не хранит более длинный текст.";
    QTest::newRow("roles longer than the profile keeps")
        << true << 1183 << longText
        << "Поле «Роли с правом записи» длиннее 126 символов: профиль не хранит более длинный текст.";
    QTest::newRow("longest path") << true << 1180 << longest << "";
    // What the server would find at its start.
    QTest::newRow("no such certificate")
        << true << 1164 << absent << "Поле «Сертификат сервера»: файл " + absent + " не существует.";
    QTest::newRow("key is a folder") << true << 1167 << folder
                                     << "Поле «Ключ сервера»: " + folder + " — папка, а не файл.";
    // Root reads any file.
    if (geteuid() != 0) {
        const QString locked = folder + "/locked.pem";
        touch(locked.toStdString());
        ::chmod(locked.toLocal8Bit().constData(), 0);
        QTest::newRow("authorities unreadable")
            << true << 1180 << locked
            << "Поле «Доверенные центры (CA)»: файл " + locked + " нельзя прочитать.";
    }
    QTest::newRow("no roles: read only") << true << 1183 << ""
                                         << "";
    QTest::newRow("switched off, no certificate") << false << 1164 << ""
                                                  << "";
}

void CDlgSettingsTest::tlsFieldsAreCheckedOnOk() {
    QFETCH(bool, tls);
    QFETCH(int, box);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    UiFixture f;
    storeTls(f.profile);
    OpenDialog d(f);
    RecordingMessageSink sink;
    if (!tls) QTest::mouseClick(d.widget(1161), Qt::LeftButton);
    d.edit(box)->setText(typed);
    d.widget(1)->setFocus();
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    if (message.isEmpty()) {
        QVERIFY(sink.messages.empty());
        QVERIFY(!d.dialog.isVisible());
        const auto key = box == 1164   ? u"tlsCertificate"
                         : box == 1167 ? u"tlsKey"
                         : box == 1180 ? u"tlsCA"
                                       : u"tlsWriteRoles";
        QCOMPARE(QString::fromStdU16String(f.profile.getString(u"Settings", key, u"?")), typed);
        return;
    }
    QCOMPARE(sink.texts(), std::vector<std::u16string>{message.toStdU16String()});
    QCOMPARE(sink.messages.front().icon, MessageIcon::Warning);
    QVERIFY(d.dialog.isVisible());
    QVERIFY(f.profile.writes.empty());
    QVERIFY(!d.dialog.settingsSaved());
    QCOMPARE(QApplication::focusWidget(), d.widget(box));
    QCOMPARE(d.edit(box)->text(), typed);
}

void CDlgSettingsTest::storedTlsPortTheBoxCannotShowIsKept() {
    for (const auto& [stored, typed, written] :
         {std::tuple{70000, QString(), 70000}, std::tuple{0, QString(), 0},
          std::tuple{0, QString("8802"), 8802}}) {
        UiFixture f;
        f.profile.setInt(u"Settings", u"tlsPort", stored);
        OpenDialog d(f);
        auto* port = control<QSpinBox>(d.dialog, 1162);
        if (!typed.isEmpty()) {
            QTest::mouseClick(d.widget(1161), Qt::LeftButton);
            port->setFocus();
            port->selectAll();
            QTest::keyClicks(port, typed);
            QTest::mouseClick(d.widget(1161), Qt::LeftButton);
        }
        QTest::mouseClick(d.widget(1), Qt::LeftButton);
        QCOMPARE(f.profile.getInt(u"Settings", u"tlsPort", -1), written);
    }
}

void CDlgSettingsTest::numbersTheSpinBoxesCannotTake_data() {
    QTest::addColumn<int>("box");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");  // empty: accepted
    QTest::addColumn<int>("left");
    QTest::newRow("TLS port 70000") << 1162 << "70000"
                                    << "Значение должно быть от 1 до 65535!" << 802;
    QTest::newRow("TLS port 0") << 1162 << "0"
                                << "Значение должно быть от 1 до 65535!" << 802;
    QTest::newRow("TLS port 65535") << 1162 << "65535"
                                    << "" << 65535;
    QTest::newRow("masters 17") << 1120 << "17"
                                << "Значение должно быть от 1 до 16!" << 1;
    QTest::newRow("masters 16") << 1120 << "16"
                                << "" << 16;
    QTest::newRow("TLS port equal to TCP's") << 1162 << "502"
                                             << "Порт TLS не может совпадать с портом TCP (502)." << 502;
}

void CDlgSettingsTest::numbersTheSpinBoxesCannotTake() {
    QFETCH(int, box);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    QFETCH(int, left);
    UiFixture f;
    storeTls(f.profile);
    f.profile.setInt(u"Settings", u"isTCP", 1);
    f.profile.setInt(u"Settings", u"tlsPort", 802);
    f.profile.writes.clear();
    OpenDialog d(f);
    RecordingMessageSink sink;
    auto* spin = control<QSpinBox>(d.dialog, box);
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, typed);
    QCOMPARE(spin->text(), typed);  // every digit kept
    QTest::keyClick(spin, Qt::Key_Return);
    if (message.isEmpty()) {
        QVERIFY(sink.messages.empty());
        QVERIFY(!d.dialog.isVisible());
        QCOMPARE(f.profile.getInt(u"Settings", box == 1162 ? u"tlsPort" : u"maxMasters", -1), left);
        return;
    }
    QCOMPARE(sink.texts(), std::vector<std::u16string>{message.toStdU16String()});
    QVERIFY(d.dialog.isVisible());
    QVERIFY(f.profile.writes.empty());
    QCOMPARE(QApplication::focusWidget(), spin);
    QCOMPARE(spin->value(), left);
}

void CDlgSettingsTest::opensWithTheFocusOnItsFirstField() {
    UiFixture f;
    OpenDialog d(f);
    QCOMPARE(QApplication::focusWidget(), d.widget(1041));
    d.button(1)->setFocus();
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QVERIFY(!d.dialog.isVisible());
    d.dialog.initDialog();
    d.dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&d.dialog));
    QCOMPARE(QApplication::focusWidget(), d.widget(1041));
}

void CDlgSettingsTest::rejectNoticeIsShownAndSaved() {
    for (const int stored : {0, 1}) {
        UiFixture f;
        f.profile.setInt(u"Settings", u"rejectNotice", stored);
        OpenDialog d(f);
        QCOMPARE(d.check(1186)->isChecked(), stored == 1);
        QTest::mouseClick(d.widget(1186), Qt::LeftButton);
        QTest::mouseClick(d.widget(1), Qt::LeftButton);
        QCOMPARE(f.profile.getInt(u"Settings", u"rejectNotice", -1), stored == 1 ? 0 : 1);
    }
}

void CDlgSettingsTest::tlsGroupInEnglish() {
    const TesmorResourceTable* english = englishTable();
    QVERIFY(english);
    UiFixture f(english);
    OpenDialog d(f);
    QCOMPARE(d.check(1161)->text(), QString("Connect over Modbus/TCP Security (TLS)"));
    const std::pair<int, QString> labels[] = {{1163, "Port:"},
                                              {1165, "Server certificate:"},
                                              {1168, "Server key:"},
                                              {1181, "Trusted authorities (CA):"},
                                              {1184, "Roles that may write:"}};
    for (const auto& [id, label] : labels) QCOMPARE(control<QLabel>(d.dialog, id)->text(), label);
    QCOMPARE(d.button(1166)->text(), QString("..."));
    RecordingMessageSink sink;
    QTest::mouseClick(d.widget(1161), Qt::LeftButton);
    QTest::mouseClick(d.widget(1), Qt::LeftButton);
    QCOMPARE(sink.texts(), std::vector<std::u16string>{u"For TLS, fill in \u201cServer certificate\u201d."});
    QCOMPARE(QApplication::focusWidget(), d.widget(1164));
}

QTEST_MAIN(CDlgSettingsTest)
#include "CDlgSettingsTest.moc"
