// The plug-in's windows as a host with a QApplication meets them: the menu command, the
// settings-saved flag at the next document update, Unload with the window open or hidden, and
// analyses the filters reject.
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HostCore.h"
#include "JsonProfile.h"
#include "LabDatabase.h"
#include "platform/UniqueFd.h"
#include "support/Loopback.h"
#include "support/PluginLibrary.h"
#include "support/TempDir.h"

using tesmor::host::HostCall;
using tesmor::host::HostCore;
using tesmor::host::JsonProfile;
using tesmor::host::LabAssay;
using tesmor::host::LabDatabase;
using tesmor::test::PluginLibrary;

namespace {

std::vector<QWidget*> pluginWidgets(const char* name) {
    std::vector<QWidget*> found;
    for (QWidget* w : QApplication::allWidgets())
        if (w->objectName() == QLatin1String(name)) found.push_back(w);
    return found;
}

// Whether the server re-read its connection settings (a restart) since the last take.
struct SettingsReads {
    std::vector<std::string> keys;
    bool take() {
        const bool read = std::any_of(keys.begin(), keys.end(), [](const std::string& d) {
            return d.find("Settings/localPort") != std::string::npos;
        });
        keys.clear();
        return read;
    }
};

// Answers every message box the plug-in opens while the host's event thread waits in it, and
// keeps its text: the plug-in's own sink, out of a test's reach, shows a real one.
struct BoxWatch {
    QStringList texts;
    QTimer timer;
    BoxWatch() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(10);
    }
};

}  // namespace

class PluginWindowsTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void menuCommandShowsOneWindow();
    void unloadDestroysTheWindow_data();
    void unloadDestroysTheWindow();
    void savedSettingsRestartAtTheNextDocumentUpdate();
    void rejectedAnalyses_data();
    void rejectedAnalyses();

private:
    void start() {
        plugin = std::make_unique<PluginLibrary>(TESMOR_PLUGIN_PATH, dir->path());
        plugin->load(HostCore::instance().api());
        HostCore::instance().raise("System/ModulesLoaded", 0);
    }
    bool menu() {
        return HostCore::instance().runCommand("tesmor/MenuCommand",
                                               reinterpret_cast<intptr_t>(hostWindow.get()));
    }

    std::unique_ptr<TempDir> dir;
    std::unique_ptr<QWidget> hostWindow;
    std::unique_ptr<PluginLibrary> plugin;
    SettingsReads reads;
};

void PluginWindowsTest::init() {
    HostCore::instance().reset();
    HostCore::instance().setProfile(JsonProfile());
    HostCore::instance().setCallObserver([this](const HostCall& call) {
        if (call.name == "Profile/GetInt") reads.keys.push_back(call.detail);
    });
    dir = std::make_unique<TempDir>();
    hostWindow = std::make_unique<QWidget>();
    hostWindow->setObjectName("host");
    hostWindow->show();
}

void PluginWindowsTest::cleanup() {
    if (plugin) plugin->unload();
    plugin.reset();
    hostWindow.reset();
    HostCore::instance().setCallObserver({});
    HostCore::instance().reset();
}

void PluginWindowsTest::menuCommandShowsOneWindow() {
    start();
    QVERIFY(pluginWidgets("CDlgMain").empty());
    QVERIFY(menu());
    auto windows = pluginWidgets("CDlgMain");
    QCOMPARE(windows.size(), 1u);
    QWidget* window = windows.front();
    QVERIFY(window->isVisible());
    QCOMPARE(window->parentWidget(), hostWindow.get());
    QCOMPARE(window->windowTitle(), QString("Велмар: Modbus"));
    window->close();
    QVERIFY(!window->isVisible());
    QVERIFY(menu());
    QCOMPARE(pluginWidgets("CDlgMain"), std::vector<QWidget*>{window});
    QVERIFY(window->isVisible());
}

void PluginWindowsTest::unloadDestroysTheWindow_data() {
    QTest::addColumn<bool>("hidden");
    QTest::newRow("open") << false;
    QTest::newRow("hidden") << true;
}

void PluginWindowsTest::unloadDestroysTheWindow() {
    QFETCH(bool, hidden);
    start();
    menu();
    QCOMPARE(pluginWidgets("CDlgMain").size(), 1u);
    QCOMPARE(pluginWidgets("CDlgSettings").size(), 1u);
    if (hidden) pluginWidgets("CDlgMain").front()->hide();
    QCOMPARE(plugin->unload(), 0);
    QVERIFY(pluginWidgets("CDlgMain").empty());
    QVERIFY(pluginWidgets("CDlgSettings").empty());
    plugin.reset();  // the library goes; the host's window and the application stay usable
    QCoreApplication::processEvents();
    QVERIFY(hostWindow->isVisible());
    QVERIFY(hostWindow->findChildren<QWidget*>().empty());
}

void PluginWindowsTest::savedSettingsRestartAtTheNextDocumentUpdate() {
    auto& core = HostCore::instance();
    start();
    menu();
    core.raise("System/DocumentUpdate", 1);
    QVERIFY2(reads.take(), "no transport started yet: the update restarts");
    core.raise("System/DocumentUpdate", 2);
    QVERIFY2(reads.take(), "still none enabled: every update restarts");

    // The settings dialog as its opening leaves it (the plug-in's own copy of the class).
    QWidget* settings = pluginWidgets("CDlgSettings").front();
    QVERIFY(QMetaObject::invokeMethod(settings, "initDialog"));
    auto* tcp = settings->findChild<QAbstractButton*>("id1041");
    auto* port = settings->findChild<QLineEdit*>("id1021");
    auto* ok = settings->findChild<QAbstractButton*>("id1");
    QVERIFY(tcp && port && ok);
    tcp->click();
    port->setText("0");  // a port the kernel picks
    ok->click();
    core.raise("System/DocumentUpdate", 3);
    QVERIFY2(reads.take(), "saved settings restart the server");
    core.raise("System/DocumentUpdate", 4);
    QVERIFY2(!reads.take(), "the restart cleared the flag, and a transport runs");
}

void PluginWindowsTest::rejectedAnalyses_data() {
    QTest::addColumn<int>("notice");
    QTest::newRow("a box each, as ever") << 0;
    QTest::newRow("the traffic line, never waiting") << 1;
}

void PluginWindowsTest::rejectedAnalyses() {
    QFETCH(int, notice);
    auto& core = HostCore::instance();
    LabDatabase lab(dir->file("lab.db").string());
    const auto analysis = [&](const std::string& method, double concentration) {
        LabAssay row;
        row.uuid = "uuid-" + std::to_string(concentration);
        row.date = 1700000000;
        row.method = method;
        return lab.addAssay(row, {{"Метан", 1, 1.0, 5.0, concentration}});
    };
    const int port = tesmor::test::freeTcpPort();
    QVERIFY(port > 0);
    JsonProfile profile;
    const std::string folder = "plugins\\tesmor\\";
    profile.setInt(folder + "Settings/isTCP", 1);
    profile.setInt(folder + "Settings/localPort", port);
    profile.setInt(folder + "Settings/rejectNotice", notice);
    profile.setString(folder + "Filters/method_0", "Газ");
    const std::string map = folder + "MapSettings/";
    profile.setString(map + "regVelmarData_0", "Пик хроматограммы");
    profile.setString(map + "regDeviceName_0", "");
    profile.setString(map + "regComponent_0", "Метан");
    profile.setInt(map + "regAddress_0", 0);
    profile.setString(map + "regType_0", "Holding Registers (4x)");
    profile.setString(map + "regDataType_0", "INT");
    profile.setString(map + "regFloatOrder_0", "");
    profile.setString(map + "regData_0", "Концентрация пика");
    core.setProfile(profile);
    core.setDatabaseUri(dir->file16("lab.db"));
    start();
    menu();
    QWidget* window = pluginWidgets("CDlgMain").front();
    auto* list = window->findChild<QAbstractItemView*>("id1022");
    auto* traffic = window->findChild<QLabel*>("id1150");
    QVERIFY(list && traffic);

    std::unique_ptr<modbus_t, void (*)(modbus_t*)> master(modbus_new_tcp("127.0.0.1", port), [](modbus_t* m) {
        modbus_close(m);
        modbus_free(m);
    });
    QVERIFY(master);
    modbus_set_slave(master.get(), 1);
    const auto registerValue = [&] {
        std::uint16_t r = 0;
        return modbus_read_registers(master.get(), 0, 1, &r) == 1 ? int(r) : -1;
    };

    BoxWatch boxes;
    core.raise("System/DocumentUpdate", analysis("Газ", 7));
    QCOMPARE(modbus_connect(master.get()), 0);
    QCOMPARE(registerValue(), 7);
    const QString rejected = "Метод хроматограммы не соответствует заданным фильтрам!";
    for (int i = 0; i < 3; ++i) core.raise("System/DocumentUpdate", analysis("Нефть", 50 + i));
    QCOMPARE(boxes.texts, notice == 1 ? QStringList() : (QStringList{rejected, rejected, rejected}));
    // The registers keep the last publication, and so does the list.
    QCOMPARE(registerValue(), 7);
    QCOMPARE(list->model()->index(0, 6).data().toString(), QString("7"));
    const QRegularExpression shown("Анализ отклонён в \\d\\d:\\d\\d:\\d\\d: " + rejected + "$");
    QCOMPARE(shown.match(traffic->text()).hasMatch(), notice == 1);

    core.raise("System/DocumentUpdate", analysis("Газ", 9));
    QCOMPARE(registerValue(), 9);
    QCOMPARE(list->model()->index(0, 6).data().toString(), QString("9"));
    QVERIFY2(!traffic->text().contains("отклонён"), qPrintable(traffic->text()));
    QCOMPARE(boxes.texts.size(), notice == 1 ? 0 : 3);
}

QTEST_MAIN(PluginWindowsTest)
#include "PluginWindowsTest.moc"
