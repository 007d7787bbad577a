// The register view: values of the store after a refresh, unsigned and signed, the float
// readings of a register pair in the four byte orders, the map entry named beside its registers,
// the bit tables, jumping to an address from the keyboard, the width on its screen, the texts of
// both languages, and the main window's button.

#include <QAbstractItemModel>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <clocale>

#include "MapTestSupport.h"
#include "UiTestSupport.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "support/RecordingMessageSink.h"
#include "ui/CDlgMain.h"
#include "ui/CDlgRegisters.h"

using namespace tesmor;
using tesmor::test::control;
using tesmor::test::englishTable;
using tesmor::test::UiFixture;
using tesmor::ui::CDlgRegisters;
using tesmor::ui::StoreTable;

namespace {

// Columns of the register tables.
constexpr int kValueDecimal = 2;
constexpr int kValueSigned = 3;
constexpr int kValueHex = 4;
constexpr int kFirstFloat = 5;  // Big-endian, Little-endian, Big-endian byte swap, Little-endian byte swap
constexpr int kSource = 9;

RegisterInfo entry(std::u16string source, std::u16string device, std::u16string component, int address,
                   std::u16string_view registerType, std::u16string_view dataType, std::u16string dataItem) {
    const std::u16string order = dataType == u"FLOAT" ? u"Big-endian" : u"";
    return test::russianEntry({std::move(source), std::move(device), std::move(component), address,
                               std::u16string(registerType), std::u16string(dataType), order,
                               std::move(dataItem)});
}

QTableView* listOf(const QWidget& view) { return control<QTableView>(view, 1175); }

QString cell(const QWidget& view, int row, int column) {
    return listOf(view)->model()->index(row, column).data().toString();
}

QStringList rowTexts(const QWidget& view, int row, int from, int count) {
    QStringList texts;
    for (int c = from; c < from + count; ++c) texts << cell(view, row, c);
    return texts;
}

// The headings as the resources hold them: a heading may take several lines on screen.
QStringList headings(const QWidget& view) {
    const QAbstractItemModel* model = listOf(view)->model();
    QStringList texts;
    for (int c = 0; c < model->columnCount(); ++c)
        texts << model->headerData(c, Qt::Horizontal).toString().replace('\n', ' ');
    return texts;
}

QList<int> sectionWidths(const QWidget& view) {
    const QHeaderView* header = listOf(view)->horizontalHeader();
    QList<int> widths;
    for (int c = 0; c < header->count(); ++c) widths << header->sectionSize(c);
    return widths;
}

void setHolding(UiFixture& f, int address, std::uint16_t value) {
    f.server.lock().registers().tab_registers[address] = value;
}

}  // namespace

class CDlgRegistersTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void storeValuesAppearAtTheNextRefresh();
    void timerRefreshesOnlyWhileShown();
    void floatOfAPairInEachByteOrder_data();
    void floatOfAPairInEachByteOrder();
    void publishingEntryIsNamed();
    void bitTablesShowBits();
    void signedBesideUnsigned();
    void enterInTheAddressBoxSelectsTheRow();
    void goTo_data();
    void goTo();
    void columnsFitEachTable();
    void fitsItsScreen();
    void texts_data();
    void texts();
    void mainWindowOpensTheViewWindowModal();
};

void CDlgRegistersTest::initTestCase() {
    // Floats must show "." under a decimal-comma locale.
    QVERIFY2(std::setlocale(LC_ALL, "ru_RU.UTF-8"), "ru_RU.UTF-8 is not generated (tools/install-deps.sh)");
}

void CDlgRegistersTest::storeValuesAppearAtTheNextRefresh() {
    UiFixture f;
    CDlgRegisters view(f.context);
    QCOMPARE(view.table(), StoreTable::HoldingRegisters);
    QCOMPARE(listOf(view)->model()->rowCount(), 500);
    QCOMPARE(rowTexts(view, 20, 0, 5), (QStringList{"20", "0x0014", "0", "0", "0x0000"}));

    setHolding(f, 20, 0x1234);
    setHolding(f, 499, 65535);
    QCOMPARE(cell(view, 20, kValueDecimal), QString("0"));  // nothing moves between refreshes
    view.refresh();
    QCOMPARE(rowTexts(view, 20, 0, 5), (QStringList{"20", "0x0014", "4660", "4660", "0x1234"}));
    QCOMPARE(rowTexts(view, 499, 0, 5), (QStringList{"499", "0x01F3", "65535", "-1", "0xFFFF"}));

    // A row's floats read the next register too: a change there alone updates the row.
    setHolding(f, 20, 0x3F80);
    view.refresh();
    QCOMPARE(cell(view, 20, kFirstFloat), QString("1"));
    setHolding(f, 21, 0x0001);
    view.refresh();
    QCOMPARE(cell(view, 20, kFirstFloat), QString("1.0000001"));
    QCOMPARE(cell(view, 20, kValueDecimal), QString("16256"));
    // The last register has no pair.
    for (int c = kFirstFloat; c < kFirstFloat + 4; ++c) QCOMPARE(cell(view, 499, c), QString());
}

void CDlgRegistersTest::timerRefreshesOnlyWhileShown() {
    UiFixture f;
    CDlgRegisters view(f.context);
    auto* timer = view.findChild<QTimer*>("refreshTimer");
    QVERIFY(timer);
    QVERIFY(!timer->isActive());
    setHolding(f, 7, 42);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(cell(view, 7, kValueDecimal), QString("42"));  // up to date when it opens
    QVERIFY(timer->isActive());
    setHolding(f, 7, 43);
    QTRY_COMPARE(cell(view, 7, kValueDecimal), QString("43"));
    view.hide();
    QVERIFY(!timer->isActive());
}

void CDlgRegistersTest::floatOfAPairInEachByteOrder_data() {
    QTest::addColumn<int>("order");  // column after the first float column
    QTest::addColumn<QString>("orderName");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<QString>("shown");
    // 94.2177 is 42 BC 6F 76; -0.5 is BF 00 00 00.
    QTest::newRow("Big-endian") << 0 << "Big-endian" << 0x42BC << 0x6F76 << "94.2177";
    QTest::newRow("Little-endian") << 1 << "Little-endian" << 0x766F << 0xBC42 << "94.2177";
    QTest::newRow("Big-endian byte swap") << 2 << "Big-endian byte swap" << 0xBC42 << 0x766F << "94.2177";
    QTest::newRow("Little-endian byte swap")
        << 3 << "Little-endian byte swap" << 0x6F76 << 0x42BC << "94.2177";
    QTest::newRow("Little-endian negative") << 1 << "Little-endian" << 0x0000 << 0x00BF << "-0.5";
    QTest::newRow("Little-endian byte swap negative")
        << 3 << "Little-endian byte swap" << 0x0000 << 0xBF00 << "-0.5";
}

void CDlgRegistersTest::floatOfAPairInEachByteOrder() {
    QFETCH(int, order);
    QFETCH(QString, orderName);
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(QString, shown);
    UiFixture f;
    CDlgRegisters view(f.context);
    for (StoreTable table : {StoreTable::HoldingRegisters, StoreTable::InputRegisters}) {
        view.showTable(table);
        {
            auto locked = f.server.lock();
            std::uint16_t* registers = table == StoreTable::HoldingRegisters
                                           ? locked.registers().tab_registers
                                           : locked.registers().tab_input_registers;
            registers[300] = std::uint16_t(first);
            registers[301] = std::uint16_t(second);
        }
        view.refresh();
        QCOMPARE(headings(view)[kFirstFloat + order], "FLOAT, порядок " + orderName);
        QCOMPARE(cell(view, 300, kFirstFloat + order), shown);
        for (int other = 0; other < 4; ++other)
            if (other != order) QVERIFY(cell(view, 300, kFirstFloat + other) != shown);
    }
}

void CDlgRegistersTest::publishingEntryIsNamed() {
    UiFixture f;
    const std::u16string_view hreg = u"Holding Registers (4x)";
    saveRegisterMap(
        f.profile,
        {entry(u"Устройство", u"ГХ-1", u"", 0, hreg, u"INT", u"Режим устройства"),
         entry(u"Хроматограмма", u"", u"", 10, hreg, u"INT", u"Время отбора пробы"),
         entry(u"Пик хроматограммы", u"", u"Метан", 20, hreg, u"FLOAT", u"Площадь пика"),
         entry(u"Пик хроматограммы", u"", u"Этан", 20, u"Input Registers (3x)", u"INT", u"Площадь пика"),
         // Needs register 500: it writes nothing, so it publishes nothing.
         entry(u"Пик хроматограммы", u"", u"Пропан", 499, hreg, u"FLOAT", u"Площадь пика")},
        test::russianCaptions());
    f.server.reloadConfiguration();  // the map and the captions it is encoded with
    CDlgRegisters view(f.context);
    const QStringList none{"", "", "", ""};
    QCOMPARE(rowTexts(view, 0, kSource, 4), (QStringList{"Устройство", "ГХ-1", "", "Режим устройства"}));
    const QStringList time{"Хроматограмма", "", "", "Время отбора пробы"};
    for (int r = 10; r < 15; ++r) QCOMPARE(rowTexts(view, r, kSource, 4), time);
    QCOMPARE(rowTexts(view, 15, kSource, 4), none);
    const QStringList methane{"Пик хроматограммы", "", "Метан", "Площадь пика"};
    QCOMPARE(rowTexts(view, 20, kSource, 4), methane);
    QCOMPARE(rowTexts(view, 21, kSource, 4), methane);
    QCOMPARE(rowTexts(view, 22, kSource, 4), none);
    QCOMPARE(rowTexts(view, 499, kSource, 4), none);

    view.showTable(StoreTable::InputRegisters);
    QCOMPARE(cell(view, 20, kSource + 2), QString("Этан"));
    QCOMPARE(cell(view, 21, kSource + 2), QString());

    // A map edited while the view is open shows at the next refresh.
    view.showTable(StoreTable::HoldingRegisters);
    {
        auto locked = f.server.lock();
        locked.registerMap()[2].component = u"Азот";
        locked.registerMap()[2].address = 30;
    }
    view.refresh();
    QCOMPARE(rowTexts(view, 20, kSource, 4), none);
    QCOMPARE(cell(view, 31, kSource + 2), QString("Азот"));
}

void CDlgRegistersTest::bitTablesShowBits() {
    UiFixture f;
    saveRegisterMap(
        f.profile,
        {entry(u"Пик хроматограммы", u"", u"Метан", 31, u"Coil Status (0x)", u"BOOL", u"Концентрация пика")},
        test::russianCaptions());
    f.server.reloadConfiguration();  // the map and the captions it is encoded with
    {
        auto locked = f.server.lock();
        locked.registers().tab_bits[31] = 1;
        locked.registers().tab_input_bits[5] = 1;
    }
    CDlgRegisters view(f.context);
    auto* tables = control<QComboBox>(view, 1172);
    QCOMPARE(tables->count(), 4);
    QCOMPARE(tables->itemText(0), QString("Coil Status (0x)"));
    tables->setCurrentIndex(0);
    QCOMPARE(view.table(), StoreTable::Coils);
    QCOMPARE(headings(view), (QStringList{"Адрес (дес.)", "Адрес (шестн.)", "Значение", "Данные из Велмар",
                                          "Название устройства", "Компонент", "Данные"}));
    QCOMPARE(rowTexts(view, 31, 0, 7),
             (QStringList{"31", "0x001F", "1", "Пик хроматограммы", "", "Метан", "Концентрация пика"}));
    QCOMPARE(cell(view, 30, 2), QString("0"));

    tables->setCurrentIndex(1);
    QCOMPARE(view.table(), StoreTable::DiscreteInputs);
    QCOMPARE(rowTexts(view, 5, 0, 4), (QStringList{"5", "0x0005", "1", ""}));
    f.server.lock().registers().tab_input_bits[5] = 0;
    view.refresh();
    QCOMPARE(cell(view, 5, 2), QString("0"));
}

void CDlgRegistersTest::signedBesideUnsigned() {
    UiFixture f;
    setHolding(f, 1, 0xFFFF);
    setHolding(f, 2, 0x8000);
    setHolding(f, 3, 0x7FFF);
    CDlgRegisters view(f.context);
    QCOMPARE(rowTexts(view, 1, kValueDecimal, 3), (QStringList{"65535", "-1", "0xFFFF"}));
    QCOMPARE(rowTexts(view, 2, kValueDecimal, 3), (QStringList{"32768", "-32768", "0x8000"}));
    QCOMPARE(rowTexts(view, 3, kValueDecimal, 3), (QStringList{"32767", "32767", "0x7FFF"}));
}

void CDlgRegistersTest::enterInTheAddressBoxSelectsTheRow() {
    UiFixture f;
    CDlgRegisters view(f.context);
    view.show();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    auto* list = listOf(view);
    auto* address = control<QLineEdit>(view, 1174);
    for (int target : {437, 3}) {
        address->setFocus();
        address->selectAll();
        QTest::keyClicks(address, QString::number(target));
        QTest::keyClick(address, Qt::Key_Return);
        QVERIFY(view.isVisible());  // Enter there jumps instead of closing the window
        const QModelIndexList selected = list->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), qsizetype(1));
        QCOMPARE(selected.front().row(), target);
        QVERIFY(list->viewport()->rect().contains(list->visualRect(list->model()->index(target, 0))));
    }
    // Elsewhere Enter presses the close button.
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Return);
    QVERIFY(!view.isVisible());
}

void CDlgRegistersTest::goTo_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("row");          // selected afterwards; -1: the one selected before stays
    QTest::addColumn<QString>("message");  // empty for none
    const QString unreadable =
        QStringLiteral("«%1» не адрес. Введите число, десятичное (20) или шестнадцатеричное с 0x (0x14).");
    const QString outside = QStringLiteral("Адреса %1 в этой таблице нет: её адреса от 0 до 499.");
    QTest::newRow("hexadecimal") << "0x14" << 20 << "";
    QTest::newRow("capital X, last address") << "0X1f3" << 499 << "";
    QTest::newRow("decimal with blanks") << " 20 " << 20 << "";
    QTest::newRow("first") << "0" << 0 << "";
    QTest::newRow("one past the last") << "500" << -1 << outside.arg("500");
    QTest::newRow("hexadecimal past the last") << "0x1F4" << -1 << outside.arg("0x1F4");
    QTest::newRow("more digits than the box once kept") << "4990" << -1 << outside.arg("4990");
    QTest::newRow("negative") << "-1" << -1 << outside.arg("-1");
    QTest::newRow("letters") << "abc" << -1 << unreadable.arg("abc");
    QTest::newRow("digits then letters") << "12abc" << -1 << unreadable.arg("12abc");
    QTest::newRow("prefix alone") << "0x" << -1 << unreadable.arg("0x");
    QTest::newRow("signed hexadecimal") << "0x-5" << -1 << unreadable.arg("0x-5");
    QTest::newRow("beyond 64 bits") << "99999999999999999999" << -1 << unreadable.arg("99999999999999999999");
    QTest::newRow("empty") << "" << -1 << "";
}

void CDlgRegistersTest::goTo() {
    QFETCH(QString, typed);
    QFETCH(int, row);
    QFETCH(QString, message);
    UiFixture f;
    test::RecordingMessageSink sink;
    CDlgRegisters view(f.context);
    view.show();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    view.jumpTo(7);
    auto* address = control<QLineEdit>(view, 1174);
    address->setFocus();
    QTest::keyClicks(address, typed);
    QTest::keyClick(address, Qt::Key_Return);
    QVERIFY(view.isVisible());
    const QModelIndexList selected = listOf(view)->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), qsizetype(1));
    QCOMPARE(selected.front().row(), row < 0 ? 7 : row);
    QCOMPARE(sink.messages.size(), std::size_t(message.isEmpty() ? 0 : 1));
    if (!message.isEmpty()) {
        QCOMPARE(ui::toQString(sink.messages[0].text), message);
        QVERIFY(sink.messages[0].icon == MessageIcon::Warning);
    }
}

void CDlgRegistersTest::columnsFitEachTable() {
    // Switching tables re-fits the columns: a section that held a wide column in one table is
    // narrow again in another.
    UiFixture f;
    saveRegisterMap(f.profile,
                    {entry(u"Пик хроматограммы", u"", u"Диоксид углерода", 31, u"Coil Status (0x)", u"BOOL",
                           u"Концентрация пика")},
                    test::russianCaptions());
    f.server.reloadConfiguration();
    CDlgRegisters view(f.context);
    const QList<int> holding = sectionWidths(view);
    view.showTable(StoreTable::Coils);
    const QList<int> coils = sectionWidths(view);
    QVERIFY(coils[3] > holding[3]);  // the source beside the signed value
    view.showTable(StoreTable::HoldingRegisters);
    QCOMPARE(sectionWidths(view), holding);
}

void CDlgRegistersTest::fitsItsScreen() {
    UiFixture f;
    CDlgRegisters view(f.context);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QRect room = view.screen()->availableGeometry();
    QVERIFY2(view.frameGeometry().width() <= room.width(),
             qPrintable(QStringLiteral("%1 > %2").arg(view.frameGeometry().width()).arg(room.width())));
    QVERIFY(view.frameGeometry().height() <= room.height());
}

void CDlgRegistersTest::texts_data() {
    QTest::addColumn<const TesmorResourceTable*>("table");
    QTest::addColumn<QStringList>(
        "expected");  // title, table label, address label, close, main window's button
    QTest::addColumn<QStringList>("values");  // the address and value headings of the register tables
    QTest::newRow("Russian") << builtInResourceTable()
                             << QStringList{"Регистры", "Таблица:", "Перейти к адресу:", "Закрыть",
                                            "Регистры"}
                             << QStringList{"Адрес (дес.)",      "Адрес (шестн.)",
                                            "Значение (дес.)",   "Со знаком (дес.)",
                                            "Значение (шестн.)", "FLOAT, порядок Big-endian"};
    QTest::newRow("English") << englishTable()
                             << QStringList{"Registers", "Table:", "Go to address:", "Close", "Registers"}
                             << QStringList{"Address (dec.)", "Address (hex)", "Value (dec.)",
                                            "Signed (dec.)",  "Value (hex)",   "FLOAT, Big-endian"};
}

void CDlgRegistersTest::texts() {
    QFETCH(const TesmorResourceTable*, table);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, values);
    QVERIFY(table);
    UiFixture f(table);
    ui::CDlgMain window(f.context);
    const CDlgRegisters& view = window.registersDialog();
    QCOMPARE(view.windowTitle(), expected[0]);
    QCOMPARE(control<QLabel>(view, 1171)->text(), expected[1]);
    QCOMPARE(control<QLabel>(view, 1173)->text(), expected[2]);
    QCOMPARE(control<QPushButton>(view, 2)->text(), expected[3]);
    QCOMPARE(control<QPushButton>(window, 1170)->text(), expected[4]);
    const QStringList shown = headings(view);
    QCOMPARE(shown.size(), qsizetype(13));
    QCOMPARE(shown.mid(0, 6), values);
    for (const QString& heading : shown) QVERIFY2(!heading.isEmpty(), qPrintable(shown.join('|')));
}

void CDlgRegistersTest::mainWindowOpensTheViewWindowModal() {
    UiFixture f;
    ui::CDlgMain window(f.context);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    CDlgRegisters& view = window.registersDialog();
    QVERIFY(!view.isVisible());
    control<QPushButton>(window, 1170)->click();
    QVERIFY(view.isVisible());
    QCOMPARE(view.windowModality(), Qt::WindowModal);
    QVERIFY(view.findChild<QTimer*>("refreshTimer")->isActive());
    control<QPushButton>(view, 2)->click();
    QVERIFY(!view.isVisible());
}

QTEST_MAIN(CDlgRegistersTest)
#include "CDlgRegistersTest.moc"
