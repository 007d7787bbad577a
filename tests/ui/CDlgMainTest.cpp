// The main window: its list of the register map with the current values, hiding instead of
// closing, the reconnect button, device values arriving from the monitor's thread, the tab order
// and the about box's button; and the message boxes' buttons in each language.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <thread>

#include "MapTestSupport.h"
#include "UiTestSupport.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/Handles.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "support/Loopback.h"
#include "support/TempDir.h"
#include "ui/CDlgMain.h"
#include "ui/CDlgSettings.h"
#include "ui/MessageBoxSink.h"

using namespace tesmor;
using tesmor::test::control;
using tesmor::test::englishTable;
using tesmor::test::UiFixture;

namespace {

RegisterInfo entry(std::u16string dataType, std::u16string dataItem, int address = 0) {
    return test::russianEntry({u"Пик хроматограммы", u"ГХ-1", u"Метан", address, u"Holding Registers (4x)",
                               std::move(dataType), u"Big-endian", std::move(dataItem)});
}

QString cell(const QAbstractItemView* list, int row, int column) {
    return list->model()->index(row, column).data().toString();
}

class OneDevice : public DeviceSource {
public:
    int count() override { return 1; }
    std::u16string name(int) override { return u"ГХ-1"; }
    std::int32_t lastError(int) override { return 17; }
    std::int32_t mode(int) override { return 5; }
};

}  // namespace

class CDlgMainTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void emptyMapShowsSevenColumns();
    void listShowsEntries();
    void valueColumn_data();
    void valueColumn();
    void closingOnlyHides();
    void reconnectRestartsOnlyAfterSavedSettings();
    void deviceValuesArriveOnTheWindowThread();
    void trafficLineCountsWhatAMasterDid();
    void tlsThatDoesNotListenSaysWhy_data();
    void tlsThatDoesNotListenSaysWhy();
    void listShowsWhatTheLastPublicationWrote();
    void growingTextsNeverWidenTheWindow();
    void refresherOutlivesTheWindow();
    void aboutEntryFollowsString104();
    void listComesFirstInTheTabOrder();
    void messageBoxButtons_data();
    void messageBoxButtons();
};

void CDlgMainTest::initTestCase() {
    // Numbers must show "." under a decimal-comma locale; local time with a fixed zone rule.
    QVERIFY2(std::setlocale(LC_ALL, "ru_RU.UTF-8"), "ru_RU.UTF-8 is not generated (tools/install-deps.sh)");
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", 0.5);
    QCOMPARE(QString(text), QString("0,5"));
    setenv("TZ", "MSK-3", 1);
    tzset();
}

void CDlgMainTest::emptyMapShowsSevenColumns() {
    UiFixture f;
    ui::CDlgMain window(f.context);
    auto* list = control<QAbstractItemView>(window, 1022);
    QVERIFY(list);
    QCOMPARE(list->model()->rowCount(), 0);
    QCOMPARE(list->model()->columnCount(), 7);
    const QStringList headings{"Данные из Велмар", "Название устройства", "Компонент",
                               "Адрес (Decimal)",  "Адрес (Hex)",         "Данные",
                               "Значение"};
    for (int c = 0; c < 7; ++c)
        QCOMPARE(list->model()->headerData(c, Qt::Horizontal).toString(), headings[c]);
    QCOMPARE(window.windowTitle(), QString("Велмар: Modbus"));
    QCOMPARE(control<QPushButton>(window, 1049)->text(), QString("Обновить подключение"));
    QVERIFY(!window.windowIcon().isNull());
}

void CDlgMainTest::listShowsEntries() {
    UiFixture f;
    saveRegisterMap(f.profile, {entry(u"FLOAT", u"Площадь пика", 300), entry(u"INT", u"Номер пробы", 0x1AB)},
                    test::russianCaptions());
    ui::CDlgMain window(f.context);
    auto* list = control<QAbstractItemView>(window, 1022);
    QCOMPARE(list->model()->rowCount(), 2);
    const QStringList row1{"Пик хроматограммы", "ГХ-1", "Метан", "427", "0x01AB", "Номер пробы", "65535"};
    for (int c = 0; c < 7; ++c) QCOMPARE(cell(list, 1, c), row1[c]);
    QCOMPARE(cell(list, 0, 3), QString("300"));
    QCOMPARE(cell(list, 0, 6), QString("0.0000000"));
}

void CDlgMainTest::valueColumn_data() {
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QString>("dataItem");
    QTest::addColumn<double>("value");  // the peak value, sample time or number in series
    QTest::addColumn<QString>("shown");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("float half") << "FLOAT"
                                << "Концентрация пика" << 0.5 << "0.5000000";
    QTest::newRow("float rounded to 7 places") << "FLOAT"
                                               << "Площадь пика" << 1234.56789 << "1234.5678711";
    QTest::newRow("float negative") << "FLOAT"
                                    << "Время выхода пика" << -0.25 << "-0.2500000";
    QTest::newRow("bool zero") << "BOOL"
                               << "Площадь пика" << 0.0 << "0";
    QTest::newRow("bool nonzero") << "BOOL"
                                  << "Концентрация пика" << 0.01 << "1";
    QTest::newRow("int half away from zero") << "INT"
                                             << "Площадь пика" << 2.5 << "3";
    QTest::newRow("int negative half") << "INT"
                                       << "Концентрация пика" << -2.5 << "-3";
    QTest::newRow("int not a number") << "INT"
                                      << "Концентрация пика" << nan << "";
    QTest::newRow("sample time before any assay") << "INT"
                                                  << "Время отбора пробы" << -1.0 << "";
    QTest::newRow("sample time local") << "INT"
                                       << "Время отбора пробы" << 86400.0 * 365 << "1971-01-01 03:00";
    QTest::newRow("number in series") << "INT"
                                      << "Номер в серии" << 7.0 << "7";
    QTest::newRow("device mode waits for the monitor") << "INT"
                                                       << "Режим устройства" << 3.0 << "";
    QTest::newRow("float sample time is no combination") << "FLOAT"
                                                         << "Время отбора пробы" << 100.0 << "";
    QTest::newRow("unknown item") << "INT"
                                  << "Давление" << 1.0 << "";
}

void CDlgMainTest::valueColumn() {
    QFETCH(QString, dataType);
    QFETCH(QString, dataItem);
    QFETCH(double, value);
    QFETCH(QString, shown);
    UiFixture f;
    saveRegisterMap(f.profile, {entry(dataType.toStdU16String(), dataItem.toStdU16String())},
                    test::russianCaptions());
    ui::CDlgMain window(f.context);
    {
        auto locked = f.server.lock();
        RegisterInfo& e = locked.registerMap().front();
        CurrentValues& v = e.values;
        v.concentration = v.area = v.retentionTime = static_cast<float>(value);
        v.sampleTime = static_cast<std::int64_t>(std::isnan(value) ? 0 : value);
        v.seriesNumber = static_cast<std::int32_t>(std::isnan(value) ? 0 : value);
        v.mode = 3;
    }
    window.rebuildList();
    QCOMPARE(cell(control<QAbstractItemView>(window, 1022), 0, 6), shown);
}

void CDlgMainTest::closingOnlyHides() {
    UiFixture f;
    saveRegisterMap(f.profile, {entry(u"INT", u"Номер пробы")}, test::russianCaptions());
    QPointer<ui::CDlgMain> window = new ui::CDlgMain(f.context);
    auto* list = control<QAbstractItemView>(*window, 1022);
    for (int key : {int(Qt::Key_Escape), int(Qt::Key_Return), int(Qt::Key_Enter), 0}) {
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window));
        list->setFocus();
        if (key) {
            QTest::keyClick(list, Qt::Key(key));
        } else {
            window->close();
        }
        QVERIFY2(window && !window->isVisible(), qPrintable(QString("key %1").arg(key)));
        QCOMPARE(list->model()->rowCount(), 1);
    }
    delete window.data();
}

void CDlgMainTest::reconnectRestartsOnlyAfterSavedSettings() {
    // An RTU port that cannot open still starts its transport, which ends startPending.
    TempDir dir;
    UiFixture f;
    f.profile.setInt(u"Settings", u"isRTU", 1);
    f.profile.setString(u"Settings", u"portName", toUtf16(dir.file("absent").string()));
    ui::CDlgMain window(f.context);
    auto* reconnect = control<QPushButton>(window, 1049);
    reconnect->click();
    QVERIFY(f.server.startPending());

    auto& settings = window.settingsDialog();
    settings.setSerialPorts(SerialPortCatalog(dir.path(), dir.path()));
    settings.initDialog();
    control<QPushButton>(settings, 1)->click();
    QVERIFY(window.settingsSaved());
    reconnect->click();
    QVERIFY(!f.server.startPending());
    QVERIFY(window.settingsSaved());  // the button leaves the flag to the next document update
    window.clearSettingsSaved();
    QVERIFY(!window.settingsSaved());
}

void CDlgMainTest::deviceValuesArriveOnTheWindowThread() {
    UiFixture f;
    auto modeEntry = entry(u"INT", u"Режим устройства");
    modeEntry.source = Source::Device;
    auto errorEntry = entry(u"INT", u"Код последней ошибки", 1);
    errorEntry.source = Source::Device;
    saveRegisterMap(f.profile, {modeEntry, entry(u"FLOAT", u"Площадь пика", 2), errorEntry},
                    test::russianCaptions());
    ui::CDlgMain window(f.context);
    auto* list = control<QAbstractItemView>(window, 1022);
    OneDevice source;
    DeviceMonitor monitor(f.server, source);
    monitor.setObserver([refresh = window.deviceRefresher()](const DeviceInfo&) { refresh(); });

    std::thread poller([&] { monitor.pollOnce(); });
    poller.join();
    // Nothing has touched the list yet: the update waits for the window's thread.
    QCOMPARE(cell(list, 0, 6), QString());
    QTRY_COMPARE(cell(list, 0, 6), QString("5"));
    QCOMPARE(cell(list, 2, 6), QString("17"));
    QCOMPARE(cell(list, 1, 6), QString("0.0000000"));
    monitor.setObserver({});
}

void CDlgMainTest::trafficLineCountsWhatAMasterDid() {
    UiFixture f;
    const int port = tesmor::test::freeTcpPort();
    f.profile.setInt(u"Settings", u"isTCP", 1);
    f.profile.setInt(u"Settings", u"localPort", port);
    f.profile.setInt(u"Settings", u"TCPId", 1);
    // TLS without its files does not listen: it says so instead of counting.
    f.profile.setInt(u"Settings", u"isTLS", 1);
    f.server.restart();
    QTRY_VERIFY(f.server.tcpListening());
    ui::CDlgMain window(f.context);
    const QString idleTls = "TLS: не запущен — TLS certificate: no file given";
    QTRY_COMPARE(window.trafficText(), "TCP: 0 мастеров, 0 запросов, 0 исключений, нет ответов; " + idleTls);

    std::unique_ptr<modbus_t, void (*)(modbus_t*)> master(modbus_new_tcp("127.0.0.1", port), [](modbus_t* m) {
        modbus_close(m);
        modbus_free(m);
    });
    QVERIFY(master && modbus_connect(master.get()) == 0);
    modbus_set_slave(master.get(), 1);
    std::uint16_t r[2];
    for (int i = 0; i < 3; ++i) QCOMPARE(modbus_read_registers(master.get(), 0, 2, r), 2);
    QCOMPARE(modbus_read_registers(master.get(), 600, 1, r), -1);
    // Another unit id: not answered, dropped.
    modbus_set_slave(master.get(), 2);
    modbus_set_response_timeout(master.get(), 0, 100000);
    QCOMPARE(modbus_read_registers(master.get(), 0, 1, r), -1);
    window.refreshDeviceValues();
    QTRY_VERIFY2(QRegularExpression("^TCP: 1 мастер, 4 запроса, 1 исключение, 1 отброшенный кадр, последний "
                                    "\\d\\d:\\d\\d:\\d\\d; " +
                                    idleTls + "$")
                     .match(window.trafficText())
                     .hasMatch(),
                 qPrintable(window.trafficText()));
    f.server.stop();
}

void CDlgMainTest::tlsThatDoesNotListenSaysWhy_data() {
    QTest::addColumn<QString>("files");  // "none", "made"
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QString>("shown");  // a pattern of the whole line
    QTest::newRow("no files") << "none" << false << "TLS: не запущен — TLS certificate: no file given";
    QTest::newRow("a folder for the key")
        << "folder" << false << "TLS: не запущен — TLS key \".+\" holds no unencrypted PEM private key";
    QTest::newRow("port taken") << "made" << true
                                << "TLS: не запущен — cannot listen on 0\\.0\\.0\\.0 port \\d+: .+";
    QTest::newRow("listening") << "made" << false << "TLS: 0 мастеров, 0 запросов, 0 исключений, нет ответов";
}

void CDlgMainTest::tlsThatDoesNotListenSaysWhy() {
    QFETCH(QString, files);
    QFETCH(bool, portTaken);
    QFETCH(QString, shown);
    TempDir dir;
    UiFixture f;
    if (files != "none") {
        const std::string command =
            std::string(TESMOR_MAKE_CERTS) + " " + dir.path().string() + " >/dev/null";
        QCOMPARE(std::system(command.c_str()), 0);
        f.profile.setString(u"Settings", u"tlsCertificate", dir.file16("server.pem"));
        f.profile.setString(u"Settings", u"tlsKey",
                            files == "folder" ? dir.path().u16string() : dir.file16("server.key"));
        f.profile.setString(u"Settings", u"tlsCA", dir.file16("ca.pem"));
    }
    const int port = tesmor::test::freeTcpPort();
    UniqueFd holder;
    if (portTaken) {
        holder = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        QVERIFY(::bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        QVERIFY(::listen(holder.get(), 1) == 0);
    }
    f.profile.setInt(u"Settings", u"isTLS", 1);
    f.profile.setInt(u"Settings", u"tlsPort", port);
    f.server.restart();
    ui::CDlgMain window(f.context);
    const QRegularExpression pattern("^" + shown + "$");
    QTRY_VERIFY2(pattern.match((window.refreshDeviceValues(), window.trafficText())).hasMatch(),
                 qPrintable(window.trafficText()));
    const bool red = control<QLabel>(window, 1150)->text().contains("color:");
    QCOMPARE(red, shown.startsWith("TLS: не запущен"));
    f.server.stop();
}

void CDlgMainTest::listShowsWhatTheLastPublicationWrote() {
    UiFixture f;
    saveRegisterMap(f.profile, {entry(u"FLOAT", u"Концентрация пика", 0), entry(u"INT", u"Номер пробы", 2)},
                    test::russianCaptions());
    f.server.reloadConfiguration();
    {
        const auto locked = f.server.lock();
        RegisterMap published = locked.registerMap();
        published[0].values.concentration = 12.5f;
        published[1].values.sampleNumber = 321;
        for (const auto& e : published) locked.writeRegister(e);
        locked.publishedMap() = published;
    }
    // A later analysis rejected: the map is reloaded with its initial values, the store keeps the
    // publication, and so does the list. An entry added since has had nothing published.
    saveRegisterMap(f.profile,
                    {entry(u"INT", u"Номер в серии", 5), entry(u"INT", u"Номер пробы", 2),
                     entry(u"FLOAT", u"Концентрация пика", 0)},
                    test::russianCaptions());
    f.server.reloadConfiguration();
    ui::CDlgMain window(f.context);
    auto* list = control<QAbstractItemView>(window, 1022);
    QCOMPARE(cell(list, 0, 6), QString("-1"));
    QCOMPARE(cell(list, 1, 6), QString("321"));
    QCOMPARE(cell(list, 2, 6), QString("12.5000000"));
    QCOMPARE(f.server.lock().registers().tab_registers[2], std::uint16_t(321));
}

void CDlgMainTest::growingTextsNeverWidenTheWindow() {
    UiFixture f;
    saveRegisterMap(f.profile, {entry(u"INT", u"Время отбора пробы", 0), entry(u"FLOAT", u"Площадь пика", 5)},
                    test::russianCaptions());
    ui::CDlgMain window(f.context);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize opened = window.size();
    auto* list = control<QAbstractItemView>(window, 1022);
    {
        const auto locked = f.server.lock();
        locked.registerMap()[0].values.sampleTime = 1767261600;
        locked.registerMap()[1].values.area = 0.5f;
    }
    window.rebuildList();
    window.setRejection({QString(300, u'x'), QDateTime::currentDateTime()});
    QApplication::processEvents();
    QCOMPARE(window.size(), opened);
    QCOMPARE(cell(list, 0, 6), QString("2026-01-01 13:00"));
    auto* table = qobject_cast<QTableView*>(list);
    QVERIFY2(
        table->horizontalHeader()->length() <= table->viewport()->width(),
        qPrintable(
            QString("%1 > %2").arg(table->horizontalHeader()->length()).arg(table->viewport()->width())));
}

void CDlgMainTest::refresherOutlivesTheWindow() {
    UiFixture f;
    auto window = std::make_unique<ui::CDlgMain>(f.context);
    auto refresh = window->deviceRefresher();
    refresh();
    window.reset();
    std::thread([&] { refresh(); }).join();
    QCoreApplication::processEvents();
}

void CDlgMainTest::aboutEntryFollowsString104() {
    UiFixture f;
    ui::CDlgMain window(f.context);
    auto* about = control<QPushButton>(window, 16);
    QVERIFY(about);
    QCOMPARE(about->text(), QString("Сведения о плагине..."));  // a labelled button, not an icon

    // A table without the about box's menu string has no entry.
    static constexpr TesmorString strings[] = {{res::kColumnValue, u"Значение"}};
    static constexpr TesmorResourceTable table{
        sizeof(TesmorResourceTable), strings, 1, nullptr, 0, nullptr, 0, nullptr, 0};
    UiFixture bare(&table);
    ui::CDlgMain plain(bare.context);
    QVERIFY(!control(plain, 16));
}

void CDlgMainTest::listComesFirstInTheTabOrder() {
    UiFixture f;
    saveRegisterMap(f.profile, {entry(u"INT", u"Номер пробы")}, test::russianCaptions());
    ui::CDlgMain window(f.context);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(QApplication::focusWidget(), control(window, 1022));
    const int order[] = {1006, 1010, 1029, 1049, 1170, 16, 1022};
    for (int id : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), control(window, id));
    }
}

void CDlgMainTest::messageBoxButtons_data() {
    QTest::addColumn<const TesmorResourceTable*>("table");
    QTest::addColumn<bool>("question");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("Russian question") << builtInResourceTable() << true << QStringList{"Да", "Нет"};
    QTest::newRow("Russian warning") << builtInResourceTable() << false << QStringList{"ОК"};
    QTest::newRow("English question") << englishTable() << true << QStringList{"Yes", "No"};
    QTest::newRow("English warning") << englishTable() << false << QStringList{"OK"};
}

void CDlgMainTest::messageBoxButtons() {
    QFETCH(const TesmorResourceTable*, table);
    QFETCH(bool, question);
    QFETCH(QStringList, buttons);
    QVERIFY(table);
    const Resources resources(table);
    const ui::MessageBoxSink sink(resources);
    const auto box = sink.makeBox(u"?", question ? MessageIcon::Question : MessageIcon::Warning,
                                  question ? MessageButtons::YesNo : MessageButtons::Ok);
    const auto standard =
        question ? std::vector{QMessageBox::Yes, QMessageBox::No} : std::vector{QMessageBox::Ok};
    QCOMPARE(box->buttons().size(), qsizetype(buttons.size()));
    for (std::size_t i = 0; i < standard.size(); ++i)
        QCOMPARE(box->button(standard[i])->text(), buttons[qsizetype(i)]);
    QCOMPARE(box->windowTitle(), ui::toQString(resources.dialogText(res::kMainWindow, res::kCaption)));
}

QTEST_MAIN(CDlgMainTest)
#include "CDlgMainTest.moc"
