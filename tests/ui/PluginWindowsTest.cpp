// The plug-in's windows as a host with a QApplication meets them: the menu command, the
// settings-saved flag at the next document update, and Unload with the window open or hidden.
#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMetaObject>
#include <QTest>
#include <QWidget>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HostCore.h"
#include "JsonProfile.h"
#include "support/PluginLibrary.h"
#include "support/TempDir.h"

using tesmor::host::HostCall;
using tesmor::host::HostCore;
using tesmor::host::JsonProfile;
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

QTEST_MAIN(PluginWindowsTest)
#include "PluginWindowsTest.moc"
