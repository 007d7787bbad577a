// The register view: values of the store after a refresh, the float readings of a register pair
// in the four byte orders, the map entry named beside its registers, the bit tables, jumping to
// an address from the keyboard, the texts of both languages, and the main window's button.

#include <QAbstractItemModel>
#include <QComboBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <clocale>

#include "UiTestSupport.h"
#include "modbus/RegisterMap.h"
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
constexpr int kValueHex = 3;
constexpr int kFirstFloat = 4;  // Big-endian, Little-endian, Big-endian byte swap, Little-endian byte swap
constexpr int kSource = 8;

RegisterInfo entry(std::u16string source, std::u16string device, std::u16string component, int address,
                   std::u16string_view registerType, std::u16string_view dataType, std::u16string dataItem) {
    RegisterInfo e;
    e.source = std::move(source);
    e.deviceName = std::move(device);
    e.component = std::move(component);
    e.address = address;
    e.registerType = std::u16string(registerType);
    e.dataType = std::u16string(dataType);
    e.byteOrder = dataType == texts::typeFloat ? std::u16string(texts::bigEndian) : std::u16string();
    e.dataItem = std::move(dataItem);
    return e;
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

QStringList headings(const QWidget& view) {
    const QAbstractItemModel* model = listOf(view)->model();
    QStringList texts;
    for (int c = 0; c < model->columnCount(); ++c) texts << model->headerData(c, Qt::Horizontal).toString();
    return texts;
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
    void enterInTheAddressBoxSelectsTheRow();
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
    QCOMPARE(rowTexts(view, 20, 0, 4), (QStringList{"20", "0x0014", "0", "0x0000"}));

    setHolding(f, 20, 0x1234);
    setHolding(f, 499, 65535);
    QCOMPARE(cell(view, 20, kValueDecimal), QString("0"));  // nothing moves between refreshes
    view.refresh();
    QCOMPARE(rowTexts(view, 20, 0, 4), (QStringList{"20", "0x0014", "4660", "0x1234"}));
    QCOMPARE(rowTexts(view, 499, 0, 4), (QStringList{"499", "0x01F3", "65535", "0xFFFF"}));

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
        QCOMPARE(headings(view)[kFirstFloat + order], "FLOAT\n" + orderName);
        QCOMPARE(cell(view, 300, kFirstFloat + order), shown);
        for (int other = 0; other < 4; ++other)
            if (other != order) QVERIFY(cell(view, 300, kFirstFloat + other) != shown);
    }
}

void CDlgRegistersTest::publishingEntryIsNamed() {
    UiFixture f;
    const auto hreg = texts::holdingRegisters;
    saveRegisterMap(
        f.profile,
        {entry(u"Устройство", u"ГХ-1", u"", 0, hreg, texts::typeInt, u"Режим устройства"),
         entry(u"Хроматограмма", u"", u"", 10, hreg, texts::typeInt, u"Время отбора пробы"),
         entry(u"Пик хроматограммы", u"", u"Метан", 20, hreg, texts::typeFloat, u"Площадь пика"),
         entry(u"Пик хроматограммы", u"", u"Этан", 20, texts::inputRegisters, texts::typeInt,
               u"Площадь пика"),
         // Needs register 500: it writes nothing, so it publishes nothing.
         entry(u"Пик хроматограммы", u"", u"Пропан", 499, hreg, texts::typeFloat, u"Площадь пика")});
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
    saveRegisterMap(f.profile, {entry(u"Пик хроматограммы", u"", u"Метан", 31, texts::coilStatus,
                                      texts::typeBool, u"Концентрация пика")});
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
    QCOMPARE(headings(view), (QStringList{"Адрес\n(Decimal)", "Адрес\n(Hex)", "Значение", "Данные из Велмар",
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

void CDlgRegistersTest::enterInTheAddressBoxSelectsTheRow() {
    UiFixture f;
    CDlgRegisters view(f.context);
    view.show();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    auto* list = listOf(view);
    auto* address = control<QSpinBox>(view, 1174);
    QCOMPARE(address->maximum(), 499);
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

void CDlgRegistersTest::texts_data() {
    QTest::addColumn<const TesmorResourceTable*>("table");
    QTest::addColumn<QStringList>(
        "expected");  // title, table label, address label, close, main window's button
    QTest::addColumn<QStringList>("values");  // the address and value headings of the register tables
    QTest::newRow("Russian") << builtInResourceTable()
                             << QStringList{"Регистры", "Таблица:", "Перейти к адресу:", "Закрыть",
                                            "Регистры"}
                             << QStringList{"Адрес\n(Decimal)", "Адрес\n(Hex)", "Значение\n(Decimal)",
                                            "Значение\n(Hex)"};
    QTest::newRow("English") << englishTable()
                             << QStringList{"Registers", "Table:", "Go to address:", "Close", "Registers"}
                             << QStringList{"Address\n(Decimal)", "Address\n(Hex)", "Value\n(Decimal)",
                                            "Value\n(Hex)"};
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
    QCOMPARE(shown.size(), qsizetype(12));
    QCOMPARE(shown.mid(0, 4), values);
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
