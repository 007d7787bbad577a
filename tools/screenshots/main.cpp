// tesmor-screenshots: renders the plug-in's windows and the stand-in host's window to PNG files,
// in Russian (built-in resources) and English (tesmorENU.so beside this program), with a small
// sample register map and a master polling the server on loopback. Run offscreen:
// tools/screenshots.sh.
#include <modbus.h>

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "BuiltInResources.h"
#include "HostCore.h"
#include "HostWindow.h"
#include "modbus/ConnectionSettings.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "platform/SharedLibrary.h"
#include "support/Loopback.h"
#include "support/MemoryProfile.h"
#include "ui/CAboutDlg.h"
#include "ui/CDlgMain.h"
#include "ui/CDlgSettings.h"

using namespace tesmor;

namespace {

std::string executableDir() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

const TesmorResourceTable* englishTable() {
    const std::string path = executableDir() + "/tesmorENU.so";
    SharedLibrary library(path);
    const TesmorResourceTable* table = resourceTableOf(library);
    if (table) library.keepLoaded();
    return table;
}

RegisterInfo entry(Source source, const std::u16string& device, const std::u16string& component, int address,
                   DataType type, DataItem item) {
    RegisterInfo e;
    e.source = source;
    e.deviceName = device;
    e.component = component;
    e.address = address;
    e.table = Table::HoldingRegisters;
    e.dataType = type;
    e.byteOrder = type == DataType::Float ? ByteOrder::BigEndian : ByteOrder::None;
    e.dataItem = item;
    return e;
}

class SampleDevices : public DeviceSource {
public:
    int count() override { return 1; }
    std::u16string name(int) override { return u"GC-1"; }
    std::int32_t lastError(int) override { return 0; }
    std::int32_t mode(int) override { return 2; }
};

// The stand-in host's own texts are English; a Russian host shows its window in Russian.
void russianHostTexts(host::HostWindow& window) {
    if (auto* devices = window.findChild<QTableWidget*>("devices"))
        devices->setHorizontalHeaderLabels({"Прибор", "Режим", "Код ошибки"});
    const std::pair<const char*, const char*> buttons[] = {
        {"Add device", "Добавить прибор"},
        {"Remove device", "Удалить прибор"},
        {"Analysis finished (DocumentUpdate)", "Анализ завершён (DocumentUpdate)"}};
    for (QPushButton* button : window.findChildren<QPushButton*>())
        for (const auto& [english, russian] : buttons)
            if (button->text() == QString::fromUtf8(english)) button->setText(QString::fromUtf8(russian));
}

// A master on loopback, connected until it goes out of scope.
using Master = std::unique_ptr<modbus_t, void (*)(modbus_t*)>;

// Starts the TCP server on a free loopback port and has a master poll it: eleven good reads and
// one outside the table, so the main window's traffic line counts a master, requests and an
// exception. The profile keeps its own port and address for the settings dialog. Empty when the
// server or the master failed.
Master pollServer(ModbusServer& server, test::MemoryProfile& profile) {
    Master master(nullptr, [](modbus_t* m) {
        modbus_close(m);
        modbus_free(m);
    });
    const auto settings = profile.sections[std::u16string(kSettingsSection)];
    const int port = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"localPort", port);
    profile.setString(kSettingsSection, u"bindAddress", u"127.0.0.1");
    server.restart();
    profile.sections[std::u16string(kSettingsSection)] = settings;
    if (!test::waitFor([&] { return server.tcpListening(); })) return master;
    master.reset(modbus_new_tcp("127.0.0.1", port));
    if (!master || modbus_connect(master.get()) != 0) return {nullptr, master.get_deleter()};
    modbus_set_slave(master.get(), 1);
    std::uint16_t values[8];
    for (int i = 0; i < 11; ++i) modbus_read_registers(master.get(), 0, 8, values);
    modbus_read_registers(master.get(), 600, 1, values);
    const bool counted = test::waitFor([&] {
        const CounterSnapshot c = server.counters(Transport::Tcp);
        return c.masters == 1 && c.requests == 12 && c.exceptions == 1;
    });
    return counted ? std::move(master) : Master(nullptr, master.get_deleter());
}

bool save(QWidget& widget, const QString& file) {
    widget.show();
    QApplication::processEvents();
    const bool ok = widget.grab().save(file);
    std::cout << (ok ? "wrote " : "cannot write ") << file.toStdString() << std::endl;
    widget.hide();
    return ok;
}

bool render(const Resources& resources, const QString& language, const QString& outDir) {
    test::MemoryProfile profile;
    ModbusServer server(profile, resources);
    saveRegisterMap(profile,
                    {
                        entry(Source::Device, u"GC-1", u"", 0, DataType::Int, DataItem::Mode),
                        entry(Source::Device, u"GC-1", u"", 1, DataType::Int, DataItem::LastError),
                        entry(Source::Chromatogram, u"", u"", 10, DataType::Int, DataItem::SampleTime),
                        entry(Source::Chromatogram, u"", u"", 15, DataType::Int, DataItem::SampleNumber),
                        entry(Source::Peak, u"", u"Methane", 20, DataType::Float, DataItem::Concentration),
                        entry(Source::Peak, u"", u"Methane", 22, DataType::Int, DataItem::Area),
                        entry(Source::Peak, u"", u"Ethane", 300, DataType::Float, DataItem::RetentionTime),
                    },
                    MapCaptions(resources));
    profile.setInt(u"Settings", u"isTCP", 1);
    // The port name stays the fresh profile's "COM1", which selects /dev/ttyS0.

    ui::UiContext context{server, profile, resources, std::string(), {}};
    bool ok = true;
    const Master master = pollServer(server, profile);
    if (!master) {
        std::cerr << "tesmor-screenshots: no master traffic for the main window's traffic line" << std::endl;
        ok = false;
    }
    {
        ui::CDlgMain window(context);
        {
            auto locked = server.lock();
            auto& map = locked.registerMap();
            map[2].values.sampleTime = 1767261600;  // 2026-01-01 10:00 UTC
            map[3].values.sampleNumber = 42;
            map[4].values.concentration = 0.5f;
            map[5].values.area = 1234.5f;
            map[6].values.retentionTime = 83.25f;
            // The list shows what was last published into the registers.
            locked.publishedMap() = map;
        }
        window.rebuildList();
        SampleDevices devices;
        DeviceMonitor monitor(server, devices);
        monitor.setObserver([refresh = window.deviceRefresher()](const DeviceInfo&) { refresh(); });
        monitor.pollOnce();
        monitor.setObserver({});
        QApplication::processEvents();
        ok &= save(window, outDir + "/main-window-" + language + ".png");
        // With "rejectNotice" 1 the last rejection stays in the traffic line instead of a box.
        window.setRejection({QString::fromStdU16String(resources.loadString(res::kMethodRejected)),
                             QDateTime(QDate(2026, 1, 1), QTime(10, 5, 12))});
        QApplication::processEvents();
        ok &= save(window, outDir + "/main-window-rejected-" + language + ".png");
        window.setRejection({});

        auto& settings = window.settingsDialog();
        settings.setSerialPorts(SerialPortCatalog::fixed({{"/dev/ttyS0", SerialPortState::Free},
                                                          {"/dev/ttyS1", SerialPortState::Busy},
                                                          {"/dev/ttyUSB0", SerialPortState::NoAccess}}));
        settings.initDialog();
        ok &= save(settings, outDir + "/settings-" + language + ".png");
        if (auto* rtu = settings.findChild<QCheckBox*>("id1042")) rtu->click();
        ok &= save(settings, outDir + "/settings-rtu-" + language + ".png");

        ui::CAboutDlg about(resources);
        ok &= save(about, outDir + "/about-" + language + ".png");
    }

    host::HostWindow hostWindow;
    hostWindow.addMenuItem(QString::fromStdU16String(resources.loadString(res::kPluginMenu)),
                           "tesmor/MenuCommand");
    if (language == "ru") russianHostTexts(hostWindow);
    ok &= save(hostWindow, outDir + "/host-window-" + language + ".png");
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(outDir);
    setenv("TZ", "UTC", 1);
    tzset();
    host::HostCore::instance().setDevices({{u"GC-1", 0, 2}, {u"GC-2", 3, 0}});
    bool ok = render(Resources(builtInResourceTable()), "ru", outDir);
    const TesmorResourceTable* english = englishTable();
    if (!english) {
        std::cerr << "tesmor-screenshots: tesmorENU.so not found beside the program" << std::endl;
        return 1;
    }
    ok &= render(Resources(english), "en", outDir);
    return ok ? 0 : 1;
}
