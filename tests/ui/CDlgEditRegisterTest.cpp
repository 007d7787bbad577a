// The register editor driven through its controls on a shown dialog: the coupled choices, the
// address box and the order of the OK checks. Messages are recorded, never shown.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "DialogTestSupport.h"
#include "platform/ResourceIds.h"
#include "ui/CDlgEditRegister.h"

using tesmor::RegisterInfo;
using tesmor::test::choose;
using tesmor::test::control;
using tesmor::test::DialogEnvironment;

using namespace tesmor::ui;
namespace res = tesmor::res;

namespace {

// An editor on a shown, active dialog, with its controls.
struct Editor {
    DialogEnvironment env;
    std::unique_ptr<CDlgEditRegister> dialog;
    QComboBox *source, *device, *registerType, *dataType, *byteOrder, *dataItem;
    QLineEdit *component, *address, *hex;

    // The entry as the profile holds it, read with the dialog's captions.
    explicit Editor(bool editMode = false, const tesmor::EntryTexts& entry = {}) {
        env.setDevices({u"Кристалл-1", u"Кристалл-2"});
        dialog = std::make_unique<CDlgEditRegister>(env.context);
        dialog->setEditMode(editMode);
        dialog->setRegisterInfo(tesmor::ui::mapCaptions(env.context).parse(entry));
        tesmor::test::showActive(*dialog);
        source = control<QComboBox>(*dialog, 1041);
        device = control<QComboBox>(*dialog, 1042);
        component = control<QLineEdit>(*dialog, 1036);
        address = control<QLineEdit>(*dialog, 1034);
        hex = control<QLineEdit>(*dialog, 1040);
        registerType = control<QComboBox>(*dialog, 1035);
        dataType = control<QComboBox>(*dialog, 1037);
        byteOrder = control<QComboBox>(*dialog, 1039);
        dataItem = control<QComboBox>(*dialog, 1038);
    }
    // The register edited, as the profile would hold it.
    tesmor::EntryTexts reg() const {
        return tesmor::ui::mapCaptions(env.context).texts(dialog->registerInfo());
    }
    QString text(unsigned id) const { return env.text(id); }
    // Types into a box and moves the focus on with Tab, as the user does.
    void type(QLineEdit* box, const QString& text) {
        box->setFocus();
        box->selectAll();
        if (text.isEmpty())
            QTest::keyClick(box, Qt::Key_Delete);
        else
            box->insert(text);  // QTest types ASCII only
        QTest::keyClick(box, Qt::Key_Tab);
    }
    void pressOk() { QTest::mouseClick(control<QPushButton>(*dialog, 1), Qt::LeftButton); }
    std::u16string lastMessage() const {
        return env.sink.messages.empty() ? std::u16string() : env.sink.messages.back().text;
    }
};

}  // namespace

class CDlgEditRegisterTest : public QObject {
    Q_OBJECT
private slots:
    void opensEmptyInAddMode();
    void address_data();
    void address();
    void sourceDecidesItemsDeviceAndComponent();
    void registerTypeAndDataTypeCoupling();
    void sampleTimeForcesIntOn16BitRegister_data();
    void sampleTimeForcesIntOn16BitRegister();
    void okChecksInOrder_data();
    void okChecksInOrder();
    void okTakesTheFocusedBoxes();
    void editModeShowsTheRegister();
    void editedDeviceGoneAsksForDevice();
    void cancelClearsResult();
    void rangeNote_data();
    void rangeNote();
    void editKeepsAComponentTheBoxNeverShowed();
};

void CDlgEditRegisterTest::opensEmptyInAddMode() {
    tesmor::EntryTexts held;
    held.address = 77;
    Editor e(false, held);
    QCOMPARE(e.dialog->objectName(), QStringLiteral("CDlgEditRegister"));
    QCOMPARE(e.dialog->windowTitle(), QStringLiteral("Редактирование регистра"));
    for (QComboBox* box : {e.source, e.device, e.registerType, e.dataType, e.byteOrder, e.dataItem})
        QCOMPARE(box->currentIndex(), -1);
    QVERIFY(e.address->text().isEmpty() && e.hex->text().isEmpty());
    QVERIFY(!e.device->isEnabled() && !e.component->isEnabled() && !e.byteOrder->isEnabled() &&
            !e.dataItem->isEnabled());
    QVERIFY(e.source->isEnabled() && e.registerType->isEnabled() && e.dataType->isEnabled());
    QCOMPARE(e.device->count(), 2);
    QCOMPARE(e.device->itemText(1), QStringLiteral("Кристалл-2"));
    QCOMPARE(e.dataType->itemText(1), QStringLiteral("FLOAT"));
    QCOMPARE(e.reg().address, 77);  // the register keeps what it held until a handler writes
}

void CDlgEditRegisterTest::address_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("address");  // -1: refused with 124, the earlier 7 stays
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("hex");
    QTest::newRow("hex lower") << "0x1F" << 31 << "31"
                               << "0x001F";
    QTest::newRow("hex upper prefix") << "0X10" << 16 << "16"
                                      << "0x0010";
    QTest::newRow("largest") << "65535" << 65535 << "65535"
                             << "0xFFFF";
    QTest::newRow("largest hex") << "0xFFFF" << 65535 << "65535"
                                 << "0xFFFF";
    QTest::newRow("prefix alone is decimal") << "0x" << 0 << "0x"
                                             << "0x0000";
    QTest::newRow("trailing letters") << "12abc" << 12 << "12abc"
                                      << "0x000C";
    QTest::newRow("leading blanks") << "  42" << 42 << "  42"
                                    << "0x002A";
    QTest::newRow("emptied") << "" << 0 << ""
                             << "0x0000";
    QTest::newRow("one too many") << "65536" << -1 << "65536"
                                  << "0x0007";
    QTest::newRow("one too many hex") << "0x10000" << -1 << "0x10000"
                                      << "0x0007";
    QTest::newRow("negative") << "-1" << -1 << "-1"
                              << "0x0007";
    QTest::newRow("overlong never wraps") << "18446744073709551623" << -1 << "18446744073709551623"
                                          << "0x0007";
    QTest::newRow("overlong hex never wraps") << "0x10000000000000007" << -1 << "0x10000000000000007"
                                              << "0x0007";
}

void CDlgEditRegisterTest::address() {
    QFETCH(QString, typed);
    QFETCH(int, address);
    QFETCH(QString, box);
    QFETCH(QString, hex);
    Editor e;
    e.type(e.address, QStringLiteral("7"));
    QCOMPARE(e.reg().address, 7);

    e.type(e.address, typed);
    QCOMPARE(e.address->text(), box);
    QCOMPARE(e.hex->text(), hex);
    if (address < 0) {
        QCOMPARE(e.env.messages(), std::vector<std::u16string>{e.env.string(res::kAddressRange)});
        QCOMPARE(e.reg().address, 7);
        QVERIFY(e.address->hasFocus());
    } else {
        QVERIFY(e.env.messages().empty());
        QCOMPARE(e.reg().address, address);
    }
}

void CDlgEditRegisterTest::sourceDecidesItemsDeviceAndComponent() {
    Editor e;
    choose(e.source, e.text(res::kSourcePeak));
    QVERIFY(e.component->isEnabled() && !e.device->isEnabled() && e.dataItem->isEnabled());
    QCOMPARE(e.dataItem->count(), 3);
    QCOMPARE(e.dataItem->itemText(1), e.text(res::kItemArea));
    e.type(e.component, QStringLiteral("Метан"));
    QCOMPARE(e.reg().component, u"Метан");
    choose(e.dataItem, e.text(res::kItemArea));

    choose(e.source, e.text(res::kSourceChromatogram));
    QVERIFY(e.component->text().isEmpty() && !e.component->isEnabled());
    QVERIFY(e.reg().component.empty());
    QCOMPARE(e.dataItem->currentIndex(), -1);
    QCOMPARE(e.dataItem->itemText(0), e.text(res::kItemSampleTime));

    choose(e.source, e.text(res::kSourceDevice));
    QVERIFY(e.device->isEnabled());
    QCOMPARE(e.dataItem->count(), 2);
    QCOMPARE(e.dataItem->itemText(0), e.text(res::kItemMode));
    choose(e.device, QStringLiteral("Кристалл-2"));
    QCOMPARE(e.reg().deviceName, u"Кристалл-2");
    QCOMPARE(e.reg().source, e.env.string(res::kSourceDevice));

    choose(e.source, e.text(res::kSourcePeak));
    QVERIFY(e.reg().deviceName.empty());
    QCOMPARE(e.device->currentIndex(), -1);
    QVERIFY(!e.device->isEnabled());
    QVERIFY(e.env.messages().empty());
}

void CDlgEditRegisterTest::registerTypeAndDataTypeCoupling() {
    Editor e;
    choose(e.registerType, QStringLiteral("Coil Status (0x)"));
    QCOMPARE(e.dataType->currentText(), QStringLiteral("BOOL"));
    QVERIFY(!e.dataType->isEnabled() && !e.byteOrder->isEnabled());
    QCOMPARE(e.reg().dataType, u"BOOL");
    // A data item other than sample time leaves a bit register at "BOOL".
    choose(e.source, e.text(res::kSourcePeak));
    choose(e.dataItem, e.text(res::kItemArea));
    QVERIFY(!e.dataType->isEnabled());

    choose(e.registerType, QStringLiteral("Holding Registers (4x)"));
    QCOMPARE(e.dataType->currentIndex(), -1);
    QVERIFY(e.dataType->isEnabled());
    QVERIFY(e.reg().dataType.empty());

    choose(e.dataType, QStringLiteral("FLOAT"));
    QCOMPARE(e.byteOrder->currentText(), QStringLiteral("Big-endian"));
    QVERIFY(e.byteOrder->isEnabled());
    QCOMPARE(e.reg().byteOrder, u"Big-endian");
    choose(e.byteOrder, QStringLiteral("Little-endian byte swap"));
    QCOMPARE(e.reg().byteOrder, u"Little-endian byte swap");

    choose(e.dataType, QStringLiteral("INT"));
    QCOMPARE(e.byteOrder->currentIndex(), -1);
    QVERIFY(!e.byteOrder->isEnabled());
    QVERIFY(e.reg().byteOrder.empty());
    QCOMPARE(e.reg().dataType, u"INT");
    QCOMPARE(e.reg().registerType, u"Holding Registers (4x)");
}

void CDlgEditRegisterTest::sampleTimeForcesIntOn16BitRegister_data() {
    QTest::addColumn<QString>("typeBefore");  // empty: none chosen
    QTest::addColumn<bool>("typeAfter");      // sample time first, then the register type
    QTest::addColumn<QString>("typeShown");
    QTest::addColumn<bool>("refused");
    QTest::newRow("coil, then sample time") << "Coil Status (0x)" << false << "Input Registers (3x)" << true;
    QTest::newRow("no type, then sample time") << "" << false << "Input Registers (3x)" << true;
    QTest::newRow("holding, then sample time")
        << "Holding Registers (4x)" << false << "Holding Registers (4x)" << false;
    QTest::newRow("sample time, then input status")
        << "Input Status (1x)" << true << "Input Registers (3x)" << true;
    QTest::newRow("sample time, then holding")
        << "Holding Registers (4x)" << true << "Holding Registers (4x)" << false;
}

void CDlgEditRegisterTest::sampleTimeForcesIntOn16BitRegister() {
    QFETCH(QString, typeBefore);
    QFETCH(bool, typeAfter);
    QFETCH(QString, typeShown);
    QFETCH(bool, refused);
    Editor e;
    choose(e.source, e.text(res::kSourceChromatogram));
    if (typeAfter) {
        choose(e.registerType, QStringLiteral("Holding Registers (4x)"));
        choose(e.dataItem, e.text(res::kItemSampleTime));
        e.env.sink.clear();
    } else if (!typeBefore.isEmpty()) {
        choose(e.registerType, typeBefore);
        if (e.dataType->isEnabled()) choose(e.dataType, QStringLiteral("FLOAT"));
    }
    if (typeAfter)
        choose(e.registerType, typeBefore);
    else
        choose(e.dataItem, e.text(res::kItemSampleTime));

    QCOMPARE(e.registerType->currentText(), typeShown);
    QCOMPARE(e.reg().registerType, tesmor::ui::toU16(typeShown));
    QCOMPARE(e.dataType->currentText(), QStringLiteral("INT"));
    QVERIFY(!e.dataType->isEnabled());
    QCOMPARE(e.reg().dataType, u"INT");
    QCOMPARE(e.byteOrder->currentIndex(), -1);
    QVERIFY(!e.byteOrder->isEnabled());
    QVERIFY(e.reg().byteOrder.empty());
    if (refused) {
        QCOMPARE(e.env.messages(), std::vector<std::u16string>{e.env.string(res::kSampleTime16Bit)});
        QVERIFY(e.registerType->hasFocus());
    } else {
        QVERIFY(e.env.messages().empty());
    }
    // Another item frees the data type again.
    choose(e.dataItem, e.text(res::kItemSampleNumber));
    QVERIFY(e.dataType->isEnabled());
}

void CDlgEditRegisterTest::okChecksInOrder_data() {
    QTest::addColumn<unsigned>("source");  // 0: none
    QTest::addColumn<bool>("device");
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("registerType");
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<bool>("item");
    QTest::addColumn<unsigned>("message");  // 0: accepted
    QTest::addColumn<int>("focus");
    QTest::newRow("nothing") << 0u << false << ""
                             << ""
                             << ""
                             << "" << false << unsigned(res::kNeedAddress) << 1034;
    QTest::newRow("address only") << 0u << false << ""
                                  << "5"
                                  << ""
                                  << "" << false << unsigned(res::kNoRegisterType) << 1035;
    QTest::newRow("no data type") << 0u << false << ""
                                  << "5"
                                  << "Holding Registers (4x)"
                                  << "" << false << unsigned(res::kNoDataType) << 1037;
    QTest::newRow("no source, no item") << 0u << false << ""
                                        << "5"
                                        << "Holding Registers (4x)"
                                        << "INT" << false << unsigned(res::kNoDataItem) << 1041;
    QTest::newRow("device first") << unsigned(res::kSourceDevice) << false << ""
                                  << ""
                                  << ""
                                  << "" << false << unsigned(res::kNeedDevice) << 1042;
    QTest::newRow("component first") << unsigned(res::kSourcePeak) << false << ""
                                     << ""
                                     << ""
                                     << "" << false << unsigned(res::kNeedComponent) << 1036;
    QTest::newRow("peak without address") << unsigned(res::kSourcePeak) << false << "CO2"
                                          << ""
                                          << "Coil Status (0x)"
                                          << "" << true << unsigned(res::kNeedAddress) << 1034;
    QTest::newRow("device without item") << unsigned(res::kSourceDevice) << true << ""
                                         << "3"
                                         << "Input Registers (3x)"
                                         << "INT" << false << unsigned(res::kNoDataItem) << 1038;
    QTest::newRow("complete device") << unsigned(res::kSourceDevice) << true << ""
                                     << "3"
                                     << "Input Registers (3x)"
                                     << "INT" << true << 0u << 0;
    QTest::newRow("complete peak") << unsigned(res::kSourcePeak) << false << "CO2"
                                   << "0x10"
                                   << "Coil Status (0x)"
                                   << "" << true << 0u << 0;
}

void CDlgEditRegisterTest::okChecksInOrder() {
    QFETCH(unsigned, source);
    QFETCH(bool, device);
    QFETCH(QString, component);
    QFETCH(QString, address);
    QFETCH(QString, registerType);
    QFETCH(QString, dataType);
    QFETCH(bool, item);
    QFETCH(unsigned, message);
    QFETCH(int, focus);
    Editor e;
    if (source) choose(e.source, e.text(source));
    if (device) choose(e.device, QStringLiteral("Кристалл-1"));
    if (!component.isEmpty()) e.type(e.component, component);
    if (!address.isEmpty()) e.type(e.address, address);
    if (!registerType.isEmpty()) choose(e.registerType, registerType);
    if (!dataType.isEmpty()) choose(e.dataType, dataType);
    if (item) choose(e.dataItem, e.dataItem->itemText(1));

    e.pressOk();
    if (message) {
        QCOMPARE(e.env.messages(), std::vector<std::u16string>{e.env.string(message)});
        QVERIFY(e.dialog->isVisible());
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("id%1").arg(focus));
        QCOMPARE(e.dialog->resultFlag(), 1);  // set before the checks, so a refused OK still reads 1
    } else {
        QVERIFY(e.env.messages().empty());
        QVERIFY(!e.dialog->isVisible());
        QCOMPARE(e.dialog->resultFlag(), 1);
        QCOMPARE(e.dialog->result(), int(QDialog::Accepted));
        QCOMPARE(e.reg().source, e.env.string(source));
        QCOMPARE(e.reg().address, source == res::kSourcePeak ? 16 : 3);
        QCOMPARE(e.reg().dataType, source == res::kSourcePeak ? u"BOOL" : u"INT");
        QCOMPARE(e.reg().dataItem, tesmor::ui::toU16(e.dataItem->itemText(1)));
        QCOMPARE(e.reg().deviceName, source == res::kSourceDevice ? u"Кристалл-1" : u"");
        QCOMPARE(e.reg().component, tesmor::ui::toU16(component));
    }
}

void CDlgEditRegisterTest::okTakesTheFocusedBoxes() {
    // Enter in a box presses OK without the box losing the focus first.
    Editor e;
    choose(e.source, e.text(res::kSourcePeak));
    choose(e.registerType, QStringLiteral("Input Status (1x)"));
    choose(e.dataItem, e.text(res::kItemArea));
    e.component->setFocus();
    e.component->insert(QStringLiteral("N2"));
    e.address->setFocus();
    QTest::keyClicks(e.address, QStringLiteral("0x20"));
    QTest::keyClick(e.address, Qt::Key_Return);
    QVERIFY(!e.dialog->isVisible());
    QCOMPARE(e.reg().address, 32);
    QCOMPARE(e.reg().component, u"N2");

    // A refused address keeps the dialog open.
    Editor f;
    f.address->setFocus();
    QTest::keyClicks(f.address, QStringLiteral("70000"));
    QTest::keyClick(f.address, Qt::Key_Return);
    QVERIFY(f.dialog->isVisible());
    QCOMPARE(f.env.messages(), std::vector<std::u16string>{f.env.string(res::kAddressRange)});
}

void CDlgEditRegisterTest::editModeShowsTheRegister() {
    Editor probe;
    tesmor::EntryTexts entry;
    entry.source = probe.env.string(res::kSourceChromatogram);
    entry.deviceName = u"stale";
    entry.address = 4660;
    entry.registerType = u"Holding Registers (4x)";
    entry.dataType = u"INT";
    entry.dataItem = probe.env.string(res::kItemSampleTime);
    Editor e(true, entry);
    QCOMPARE(e.source->currentIndex(), 1);
    QCOMPARE(e.dataItem->currentText(), e.text(res::kItemSampleTime));
    QCOMPARE(e.address->text(), QStringLiteral("4660"));
    QCOMPARE(e.hex->text(), QStringLiteral("0x1234"));
    QCOMPARE(e.registerType->currentIndex(), 3);
    QCOMPARE(e.dataType->currentText(), QStringLiteral("INT"));
    QVERIFY(!e.dataType->isEnabled() && !e.byteOrder->isEnabled());

    tesmor::EntryTexts floatPeak;
    floatPeak.source = probe.env.string(res::kSourcePeak);
    floatPeak.deviceName = u"stale";
    floatPeak.component = u"Этан";
    floatPeak.address = 0;
    floatPeak.registerType = u"Input Registers (3x)";
    floatPeak.dataType = u"FLOAT";
    floatPeak.byteOrder = u"Little-endian";
    floatPeak.dataItem = probe.env.string(res::kItemArea);
    Editor f(true, floatPeak);
    QCOMPARE(f.component->text(), QStringLiteral("Этан"));
    QVERIFY(f.component->isEnabled() && !f.device->isEnabled());
    QVERIFY(f.reg().deviceName.empty());
    QCOMPARE(f.byteOrder->currentText(), QStringLiteral("Little-endian"));
    QVERIFY(f.dataType->isEnabled() && f.byteOrder->isEnabled());
    f.pressOk();
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.reg().byteOrder, u"Little-endian");
    QCOMPARE(f.reg().address, 0);
}

void CDlgEditRegisterTest::editedDeviceGoneAsksForDevice() {
    Editor probe;
    tesmor::EntryTexts entry;
    entry.source = probe.env.string(res::kSourceDevice);
    entry.deviceName = u"Кристалл-9";
    entry.address = 1;
    entry.registerType = u"Input Registers (3x)";
    entry.dataType = u"INT";
    entry.dataItem = probe.env.string(res::kItemMode);
    Editor e(true, entry);
    QVERIFY(e.device->isEnabled());
    QCOMPARE(e.device->currentIndex(), -1);
    QCOMPARE(e.dataItem->currentIndex(), 0);
    e.pressOk();
    QCOMPARE(e.env.messages(), std::vector<std::u16string>{e.env.string(res::kNeedDevice)});
    QVERIFY(e.dialog->isVisible());
}

void CDlgEditRegisterTest::cancelClearsResult() {
    Editor e;
    e.pressOk();  // refused, but the flag is already 1
    QCOMPARE(e.dialog->resultFlag(), 1);
    QTest::mouseClick(control<QPushButton>(*e.dialog, 2), Qt::LeftButton);
    QVERIFY(!e.dialog->isVisible());
    QCOMPARE(e.dialog->resultFlag(), 0);
}

void CDlgEditRegisterTest::rangeNote_data() {
    QTest::addColumn<QString>("registerType");
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<bool>("sampleTime");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("shown");
    const QString holding = QStringLiteral("Holding Registers (4x)");
    const QString coil = QStringLiteral("Coil Status (0x)");
    QTest::newRow("INT at 499") << holding << "INT" << false << "499" << false;
    QTest::newRow("INT at 500") << holding << "INT" << false << "500" << true;
    QTest::newRow("FLOAT at 498") << holding << "FLOAT" << false << "498" << false;
    QTest::newRow("FLOAT at 499") << holding << "FLOAT" << false << "499" << true;
    QTest::newRow("sample time at 495") << holding << "INT" << true << "495" << false;
    QTest::newRow("sample time at 496") << holding << "INT" << true << "496" << true;
    QTest::newRow("coil at 0x1F3") << coil << "BOOL" << false << "0x1F3" << false;
    QTest::newRow("coil at 65535") << coil << "BOOL" << false << "65535" << true;
    QTest::newRow("no address") << holding << "INT" << false << "" << false;
}

void CDlgEditRegisterTest::rangeNote() {
    QFETCH(QString, registerType);
    QFETCH(QString, dataType);
    QFETCH(bool, sampleTime);
    QFETCH(QString, address);
    QFETCH(bool, shown);
    Editor e;
    auto* note = control<QLabel>(*e.dialog, 1101);
    QVERIFY(note && note->isHidden());
    QVERIFY(note->text().contains(QStringLiteral("0–499")));
    choose(e.source, e.text(sampleTime ? res::kSourceChromatogram : res::kSourcePeak));
    if (!sampleTime) e.type(e.component, QStringLiteral("CO2"));
    choose(e.registerType, registerType);
    if (e.dataType->isEnabled()) choose(e.dataType, dataType);
    choose(e.dataItem, e.text(sampleTime ? res::kItemSampleTime : res::kItemArea));
    e.type(e.address, address);
    QCOMPARE(note->isVisible(), shown);
    // Still allowed: stored maps may hold such entries.
    if (!address.isEmpty()) {
        e.pressOk();
        QVERIFY(e.env.messages().empty());
        QCOMPARE(e.dialog->result(), int(QDialog::Accepted));
    }
}

void CDlgEditRegisterTest::editKeepsAComponentTheBoxNeverShowed() {
    // A device entry of a hand-edited profile that carries a component text.
    tesmor::EntryTexts entry;
    entry.source = u"Устройство";
    entry.deviceName = u"Кристалл-2";
    entry.component = u"Метан";
    entry.address = 3;
    entry.registerType = u"Input Registers (3x)";
    entry.dataType = u"INT";
    entry.dataItem = u"Режим устройства";
    Editor e(true, entry);
    QVERIFY(!e.component->isEnabled());
    e.pressOk();
    QCOMPARE(e.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(e.reg().component, u"Метан");
}

QTEST_MAIN(CDlgEditRegisterTest)
#include "CDlgEditRegisterTest.moc"
