// The Modbus map dialog on a shown dialog over its copy of the server's map: copy addresses,
// delete selections, delete all, add with the overlap check, edit, OK and Cancel, the keyboard,
// and edits that survive analyses arriving while the dialog is open. The register editor is
// driven in place instead of running modally.
#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

#include "DialogTestSupport.h"
#include "MapTestSupport.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "ui/CDlgMapSettings.h"
#include "ui/MessageBoxSink.h"

using tesmor::RegisterInfo;
using tesmor::RegisterMap;
using tesmor::test::control;
using tesmor::test::DialogEnvironment;

using namespace tesmor::ui;
namespace res = tesmor::res;

namespace {

RegisterInfo entry(std::u16string dataType, int address, std::u16string item = u"Площадь пика",
                   std::u16string registerType = u"Holding Registers (4x)") {
    const std::u16string order = dataType == u"FLOAT" ? u"Big-endian" : u"";
    return tesmor::test::russianEntry({u"Пик хроматограммы", u"", u"Метан", address, std::move(registerType),
                                       std::move(dataType), order, std::move(item)});
}

std::vector<int> addresses(const RegisterMap& map) {
    std::vector<int> out;
    for (const auto& r : map) out.push_back(r.address);
    return out;
}

// A map dialog shown over a profile holding `stored`.
struct MapDialog {
    DialogEnvironment env;
    int rebuilds = 0;
    std::unique_ptr<CDlgMapSettings> dialog;
    QTableView* list = nullptr;
    // What the editor does at each run; each returns after closing the editor.
    std::vector<std::function<void(CDlgEditRegister&)>> editorRuns;
    int runs = 0;

    explicit MapDialog(const RegisterMap& stored) {
        tesmor::saveRegisterMap(env.profile, stored, tesmor::test::russianCaptions());
        env.server.loadRegisterMap();  // as the server's start and every analysis leave it
        env.profile.writes.clear();
        dialog = std::make_unique<CDlgMapSettings>(env.context, [this] { ++rebuilds; });
        dialog->setEditorRun([this](CDlgEditRegister& editor) {
            QVERIFY2(env.lockIsFree(), "the server's lock is held while the editor runs");
            QVERIFY(runs < int(editorRuns.size()));
            editorRuns[std::size_t(runs++)](editor);
        });
        env.sink.onMessage = [this] {
            QVERIFY2(env.lockIsFree(), "the server's lock is held during a message");
        };
        tesmor::test::showActive(*dialog);
        list = control<QTableView>(*dialog, 1030);
    }
    // The entries the dialog shows and will save.
    RegisterMap map() const { return dialog->entries(); }
    RegisterMap serverMap() { return env.server.lock().registerMap(); }
    QStringList rowTexts(int row) const {
        QStringList texts;
        for (int column = 0; column < list->model()->columnCount(); ++column) texts << cell(row, column);
        return texts;
    }
    void click(int id) { QTest::mouseClick(control<QPushButton>(*dialog, id), Qt::LeftButton); }
    void clickRow(int row) {
        const QRect rect = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }
    int selectedRow() const {
        const auto rows = list->selectionModel()->selectedRows();
        return rows.size() == 1 ? rows.front().row() : (rows.empty() ? -1 : -2);
    }
    QString cell(int row, int column) const { return list->model()->index(row, column).data().toString(); }
};

// An editor run that fills the editor through its own controls and presses OK: a peak area
// (CO2), or the sample time when `item` is res::kItemSampleTime.
std::function<void(CDlgEditRegister&)> enter(
    const DialogEnvironment& env, const QString& address, const QString& dataType,
    const QString& registerType = QStringLiteral("Holding Registers (4x)"), unsigned item = res::kItemArea) {
    return [&env, address, dataType, registerType, item](CDlgEditRegister& editor) {
        editor.show();
        auto pick = [&](int id, const QString& text) {
            tesmor::test::choose(control<QComboBox>(editor, id), text);
        };
        if (item == res::kItemSampleTime) {
            pick(1041, env.text(res::kSourceChromatogram));
        } else {
            pick(1041, env.text(res::kSourcePeak));
            auto* component = control<QLineEdit>(editor, 1036);
            component->setText(QStringLiteral("CO2"));
            editor.componentFocusLost();
        }
        control<QLineEdit>(editor, 1034)->setText(address);
        editor.addressFocusLost();
        pick(1035, registerType);
        if (control<QComboBox>(editor, 1037)->isEnabled()) pick(1037, dataType);
        pick(1038, env.text(item));
        editor.accept();
        QVERIFY(!editor.isVisible());
    };
}

void cancelEditor(CDlgEditRegister& editor) {
    editor.show();
    editor.reject();
}

}  // namespace

class CDlgMapSettingsTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithTheStoredMap();
    void copyAddress_data();
    void copyAddress();
    void copyCarriesCurrentValues();
    void deleteSelects_data();
    void deleteSelects();
    void copyAndDeleteNeedAMarkedRow();
    void deleteAllAsksFirst();
    void deleteAllQuestionSpeaksTheLanguageInUse();
    void addRefusesDuplicateAndReopens();
    void overlapIsADuplicate_data();
    void overlapIsADuplicate();
    void addCancelled();
    void editOnDoubleClick();
    void keysOnTheList_data();
    void keysOnTheList();
    void tabOrderFollowsTheButtons();
    void reopensAtTheFirstColumn();
    void cancelWritesNothing();
    void okSavesAndRebuilds();
    void editsSurviveAnalyses();
    void frameOpensNoWiderThan1024();
};

void CDlgMapSettingsTest::opensWithTheStoredMap() {
    const RegisterInfo device = tesmor::test::russianEntry(
        {u"Устройство", u"Кристалл-1", u"", 31, u"Input Registers (3x)", u"INT", u"", u"Режим устройства"});
    MapDialog d({entry(u"FLOAT", 10), device});
    QCOMPARE(d.dialog->objectName(), QStringLiteral("CDlgMapSettings"));
    QCOMPARE(d.dialog->windowTitle(), QStringLiteral("Карта Modbus"));
    QCOMPARE(control<QPushButton>(*d.dialog, 1034)->text(), QStringLiteral("Удалить всё"));
    QCOMPARE(d.list->model()->columnCount(), 9);
    QCOMPARE(d.list->model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Адрес (Hex)"));
    QCOMPARE(d.list->model()->rowCount(), 2);
    const QStringList row1{QStringLiteral("Устройство"),
                           QStringLiteral("Кристалл-1"),
                           QString(),
                           QStringLiteral("31"),
                           QStringLiteral("0x001F"),
                           QStringLiteral("Input Registers (3x)"),
                           QStringLiteral("INT"),
                           QString(),
                           QStringLiteral("Режим устройства")};
    for (int column = 0; column < 9; ++column) QCOMPARE(d.cell(1, column), row1[column]);
    QCOMPARE(d.selectedRow(), -1);
    QCOMPARE(d.dialog->selectionMark(), -1);
}

void CDlgMapSettingsTest::copyAddress_data() {
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<bool>("sampleTime");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("copied");  // -1: refused with 139
    QTest::newRow("INT") << "INT" << false << 10 << 12;
    QTest::newRow("FLOAT") << "FLOAT" << false << 10 << 12;
    QTest::newRow("BOOL") << "BOOL" << false << 10 << 11;
    QTest::newRow("sample time") << "INT" << true << 10 << 15;
    QTest::newRow("INT at the top") << "INT" << false << 65533 << -1;
    QTest::newRow("BOOL at 65534") << "BOOL" << false << 65534 << -1;
    QTest::newRow("FLOAT at 65533") << "FLOAT" << false << 65533 << -1;
    QTest::newRow("FLOAT at 65532") << "FLOAT" << false << 65532 << 65534;
    QTest::newRow("sample time at 65529") << "INT" << true << 65529 << 65534;
    QTest::newRow("sample time at 65530") << "INT" << true << 65530 << -1;
}

void CDlgMapSettingsTest::copyAddress() {
    QFETCH(QString, dataType);
    QFETCH(bool, sampleTime);
    QFETCH(int, address);
    QFETCH(int, copied);
    const RegisterInfo original =
        entry(tesmor::ui::toU16(dataType), address, sampleTime ? u"Время отбора пробы" : u"Площадь пика");
    MapDialog d({entry(u"INT", 1), original});
    d.clickRow(1);
    d.click(1033);
    QCOMPARE(d.dialog->lastRow(), 1);
    const RegisterMap map = d.map();
    if (copied < 0) {
        QCOMPARE(d.env.messages(), std::vector<std::u16string>{d.env.string(res::kAddressOutOfRange)});
        QCOMPARE(map.size(), std::size_t(2));
    } else {
        QVERIFY(d.env.messages().empty());
        QCOMPARE(map.size(), std::size_t(3));
        RegisterInfo expected = original;
        expected.address = copied;
        QCOMPARE(map[2].address, copied);
        QVERIFY(map[2].sameConfiguration(expected));
        QCOMPARE(d.cell(2, 3), QString::number(copied));
    }
    QCOMPARE(d.selectedRow(), int(map.size()) - 1);
    QVERIFY(d.list->hasFocus());
}

void CDlgMapSettingsTest::copyCarriesCurrentValues() {
    MapDialog d({entry(u"FLOAT", 10)});
    d.dialog->hide();
    {
        const auto locked = d.env.server.lock();
        locked.registerMap()[0].values.area = 7.25f;  // as the last analysis left it
        locked.registerMap()[0].values.sampleNumber = 42;
    }
    QVERIFY(tesmor::test::showActive(*d.dialog));
    d.clickRow(0);
    d.click(1033);
    const RegisterMap map = d.map();
    QCOMPARE(map.size(), std::size_t(2));
    QCOMPARE(map[1].values.area, 7.25f);
    QCOMPARE(map[1].values.sampleNumber, 42);
}

void CDlgMapSettingsTest::deleteSelects_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("selected");
    QTest::newRow("only entry") << 1 << 0 << -1;
    QTest::newRow("last of three") << 3 << 2 << 1;
    QTest::newRow("middle of three") << 3 << 1 << 1;
    QTest::newRow("first of three") << 3 << 0 << 0;
}

void CDlgMapSettingsTest::deleteSelects() {
    QFETCH(int, count);
    QFETCH(int, row);
    QFETCH(int, selected);
    RegisterMap stored;
    for (int i = 0; i < count; ++i) stored.push_back(entry(u"INT", 100 + i));
    MapDialog d(stored);
    d.clickRow(row);
    d.click(1032);
    std::vector<int> expected;
    for (int i = 0; i < count; ++i)
        if (i != row) expected.push_back(100 + i);
    QCOMPARE(addresses(d.map()), expected);
    QCOMPARE(d.list->model()->rowCount(), count - 1);
    QCOMPARE(d.selectedRow(), selected);
    QCOMPARE(d.dialog->selectionMark(), selected);
    QVERIFY(d.env.messages().empty());
}

void CDlgMapSettingsTest::copyAndDeleteNeedAMarkedRow() {
    MapDialog d({entry(u"INT", 1), entry(u"INT", 3)});
    d.list->setFocus();  // focus alone marks no row
    d.click(1033);
    d.click(1032);
    QCOMPARE(addresses(d.map()), (std::vector<int>{1, 3}));
    QVERIFY(d.env.messages().empty());
}

void CDlgMapSettingsTest::deleteAllAsksFirst() {
    MapDialog d({entry(u"INT", 1), entry(u"BOOL", 2)});
    d.env.sink.questionReply = tesmor::MessageReply::No;
    d.click(1034);
    QCOMPARE(d.env.sink.messages.size(), std::size_t(1));
    QCOMPARE(d.env.sink.messages[0].text, d.env.string(res::kDeleteAllQuestion));
    QVERIFY(d.env.sink.messages[0].buttons == tesmor::MessageButtons::YesNo);
    QVERIFY(d.env.sink.messages[0].icon == tesmor::MessageIcon::Question);
    QCOMPARE(addresses(d.map()), (std::vector<int>{1, 2}));
    QCOMPARE(d.list->model()->rowCount(), 2);

    d.env.sink.questionReply = tesmor::MessageReply::Yes;
    d.click(1034);
    QVERIFY(d.map().empty());
    QCOMPARE(d.list->model()->rowCount(), 0);
}

void CDlgMapSettingsTest::deleteAllQuestionSpeaksTheLanguageInUse() {
    // The plug-in's message box, opened without blocking, answered with a mouse click.
    MapDialog d({entry(u"INT", 1), entry(u"BOOL", 2)});
    const tesmor::ui::MessageBoxSink boxes(d.env.resources);
    QStringList seen;
    QMessageBox::StandardButton press = QMessageBox::No;
    d.env.sink.onMessage = [&] {
        const auto& message = d.env.sink.messages.back();
        const auto box = boxes.makeBox(message.text, message.icon, message.buttons, d.dialog.get());
        for (QAbstractButton* button : box->buttons()) seen << button->text();
        QCOMPARE(box->text(), d.env.text(res::kDeleteAllQuestion));
        box->open();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        QTest::mouseClick(box->button(press), Qt::LeftButton);
        QVERIFY(!box->isVisible());
        d.env.sink.questionReply = tesmor::ui::MessageBoxSink::reply(*box, message.buttons);
    };
    d.click(1034);
    seen.sort();
    QCOMPARE(seen, (QStringList{QStringLiteral("Да"), QStringLiteral("Нет")}));
    QCOMPARE(d.map().size(), std::size_t(2));
    press = QMessageBox::Yes;
    d.click(1034);
    QVERIFY(d.map().empty());
}

void CDlgMapSettingsTest::addRefusesDuplicateAndReopens() {
    // The register of row 0 again: refused, and back in the editor as typed, the address ready
    // to be typed over. Only the address changes: accepted.
    MapDialog d({entry(u"INT", 40)});
    d.editorRuns = {enter(d.env, QStringLiteral("40"), QStringLiteral("INT")), [&](CDlgEditRegister& editor) {
                        editor.show();
                        auto shown = [&](int id) { return control<QComboBox>(editor, id)->currentText(); };
                        QCOMPARE(shown(1041), d.env.text(res::kSourcePeak));
                        QCOMPARE(control<QLineEdit>(editor, 1036)->text(), QStringLiteral("CO2"));
                        QCOMPARE(shown(1035), QStringLiteral("Holding Registers (4x)"));
                        QCOMPARE(shown(1037), QStringLiteral("INT"));
                        QCOMPARE(shown(1038), d.env.text(res::kItemArea));
                        auto* address = control<QLineEdit>(editor, 1034);
                        QCOMPARE(address->text(), QStringLiteral("40"));
                        QCOMPARE(editor.focusWidget(), address);
                        QCOMPARE(address->selectedText(), QStringLiteral("40"));
                        QTest::keyClicks(address, QStringLiteral("0x29"));
                        editor.addressFocusLost();
                        editor.accept();
                        QVERIFY(!editor.isVisible());
                    }};
    d.click(1031);
    QCOMPARE(d.runs, 2);
    QCOMPARE(d.env.messages(), std::vector<std::u16string>{d.env.string(res::kDuplicateRegister)});
    const RegisterMap map = d.map();
    QCOMPARE(map.size(), std::size_t(2));
    QCOMPARE(map[1].address, 41);
    QCOMPARE(map[1].dataType, tesmor::DataType::Int);
    QCOMPARE(map[1].component, u"CO2");
    QCOMPARE(map[1].dataItem, tesmor::DataItem::Area);
    QCOMPARE(d.dialog->lastEditorResult(), 1);
    QCOMPARE(d.selectedRow(), 1);
    QVERIFY(!d.dialog->editor()->editMode());

    // The next add starts empty again.
    d.editorRuns.push_back([](CDlgEditRegister& editor) {
        editor.show();
        QVERIFY(control<QLineEdit>(editor, 1034)->text().isEmpty());
        QVERIFY(editor.focusWidget() != control<QLineEdit>(editor, 1034));
        editor.reject();
    });
    d.click(1031);
    QCOMPARE(d.runs, 3);
}

void CDlgMapSettingsTest::overlapIsADuplicate_data() {
    // The stored entry, then the one added after it.
    QTest::addColumn<QString>("storedType");
    QTest::addColumn<QString>("storedData");
    QTest::addColumn<int>("storedItem");
    QTest::addColumn<QString>("addedType");
    QTest::addColumn<QString>("addedData");
    QTest::addColumn<int>("addedAddress");
    QTest::addColumn<bool>("collides");
    const QString in = QStringLiteral("Input Registers (3x)");
    const QString holding = QStringLiteral("Holding Registers (4x)");
    const QString coil = QStringLiteral("Coil Status (0x)");
    const QString discrete = QStringLiteral("Input Status (1x)");
    const int area = res::kItemArea;
    const int time = res::kItemSampleTime;
    QTest::newRow("INT 3x:10, INT 4x:10") << in << "INT" << area << holding << "INT" << 10 << false;
    QTest::newRow("INT 4x:10, INT 4x:10") << holding << "INT" << area << holding << "INT" << 10 << true;
    QTest::newRow("INT 4x:10, FLOAT 4x:10") << holding << "INT" << area << holding << "FLOAT" << 10 << true;
    QTest::newRow("FLOAT 4x:10, INT 4x:11") << holding << "FLOAT" << area << holding << "INT" << 11 << true;
    QTest::newRow("FLOAT 4x:10, INT 4x:12") << holding << "FLOAT" << area << holding << "INT" << 12 << false;
    QTest::newRow("INT 4x:10, FLOAT 4x:9") << holding << "INT" << area << holding << "FLOAT" << 9 << true;
    QTest::newRow("INT 4x:10, FLOAT 4x:8") << holding << "INT" << area << holding << "FLOAT" << 8 << false;
    QTest::newRow("sample time 3x:10, INT 3x:14") << in << "INT" << time << in << "INT" << 14 << true;
    QTest::newRow("sample time 3x:10, INT 3x:15") << in << "INT" << time << in << "INT" << 15 << false;
    QTest::newRow("sample time 3x:10, FLOAT 4x:12")
        << in << "INT" << time << holding << "FLOAT" << 12 << false;
    QTest::newRow("coil 10, coil 10") << coil << "BOOL" << area << coil << "BOOL" << 10 << true;
    QTest::newRow("coil 10, discrete input 10")
        << coil << "BOOL" << area << discrete << "BOOL" << 10 << false;
    QTest::newRow("coil 10, coil 11") << coil << "BOOL" << area << coil << "BOOL" << 11 << false;
}

void CDlgMapSettingsTest::overlapIsADuplicate() {
    QFETCH(QString, storedType);
    QFETCH(QString, storedData);
    QFETCH(int, storedItem);
    QFETCH(QString, addedType);
    QFETCH(QString, addedData);
    QFETCH(int, addedAddress);
    QFETCH(bool, collides);
    DialogEnvironment env;
    RegisterInfo stored = entry(
        tesmor::ui::toU16(storedData), 10,
        storedItem == res::kItemSampleTime ? env.string(res::kItemSampleTime) : env.string(res::kItemArea),
        tesmor::ui::toU16(storedType));
    if (storedItem == res::kItemSampleTime) {
        stored.source = tesmor::Source::Chromatogram;
        stored.component.clear();
    }
    MapDialog d({stored});
    d.editorRuns = {enter(d.env, QString::number(addedAddress), addedData, addedType), cancelEditor};
    d.click(1031);
    if (collides) {
        QCOMPARE(d.env.messages(), std::vector<std::u16string>{d.env.string(res::kDuplicateRegister)});
        QCOMPARE(d.runs, 2);  // reopened for another register
        QCOMPARE(d.map().size(), std::size_t(1));
    } else {
        QVERIFY(d.env.messages().empty());
        QCOMPARE(d.runs, 1);
        QCOMPARE(d.map().size(), std::size_t(2));
        QCOMPARE(d.map()[1].address, addedAddress);
    }
}

void CDlgMapSettingsTest::addCancelled() {
    // A duplicate, then Cancel in the reopened editor: nothing is added.
    MapDialog d({entry(u"INT", 40)});
    d.editorRuns = {enter(d.env, QStringLiteral("40"), QStringLiteral("INT")), cancelEditor};
    d.click(1031);
    QCOMPARE(d.runs, 2);
    QCOMPARE(d.map().size(), std::size_t(1));
    QCOMPARE(d.dialog->lastEditorResult(), 0);
    QCOMPARE(d.selectedRow(), 0);  // the last row is selected also when nothing was added
}

void CDlgMapSettingsTest::editOnDoubleClick() {
    MapDialog d({entry(u"INT", 7), entry(u"FLOAT", 20)});
    d.dialog->hide();
    {
        const auto locked = d.env.server.lock();
        locked.registerMap()[1].values.area = 2.5f;  // as the document processing left it
    }
    QVERIFY(tesmor::test::showActive(*d.dialog));
    d.editorRuns = {[&](CDlgEditRegister& editor) {
                        QVERIFY(editor.editMode());
                        QCOMPARE(editor.registerInfo().address, 20);
                        editor.show();
                        QCOMPARE(control<QLineEdit>(editor, 1034)->text(), QStringLiteral("20"));
                        // Same data type and address as another entry: no check on an edit.
                        control<QLineEdit>(editor, 1034)->setText(QStringLiteral("7"));
                        tesmor::test::choose(control<QComboBox>(editor, 1037), QStringLiteral("INT"));
                        editor.accept();
                    },
                    cancelEditor};
    const QRect rect = d.list->visualRect(d.list->model()->index(1, 2));
    QTest::mouseClick(d.list->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(d.list->viewport(), Qt::LeftButton, {}, rect.center());
    QCOMPARE(d.runs, 1);
    RegisterMap map = d.map();
    QCOMPARE(addresses(map), (std::vector<int>{7, 7}));
    QCOMPARE(map[1].dataType, tesmor::DataType::Int);
    QCOMPARE(map[1].byteOrder, tesmor::ByteOrder::None);
    QCOMPARE(map[1].values.area, 2.5f);
    QCOMPARE(d.cell(1, 6), QStringLiteral("INT"));
    QVERIFY(!d.dialog->editor()->editMode());
    QCOMPARE(d.selectedRow(), -1);

    d.dialog->editRow(0);  // cancelled: unchanged
    QCOMPARE(d.runs, 2);
    QCOMPARE(d.map()[0].dataType, tesmor::DataType::Int);
    QCOMPARE(d.dialog->lastEditorResult(), 0);
    d.dialog->editRow(-1);  // a double click on no row
    d.dialog->editRow(5);
    QCOMPARE(d.runs, 2);
}

void CDlgMapSettingsTest::cancelWritesNothing() {
    MapDialog d({entry(u"INT", 1), entry(u"INT", 3), entry(u"INT", 5)});
    d.clickRow(0);
    d.click(1032);
    d.clickRow(0);
    d.click(1032);
    QCOMPARE(addresses(d.map()), std::vector<int>{5});
    QCOMPARE(addresses(d.serverMap()), (std::vector<int>{1, 3, 5}));  // in use meanwhile: the saved map
    d.click(2);
    QVERIFY(!d.dialog->isVisible());
    QVERIFY(d.env.profile.writes.empty());
    QCOMPARE(d.rebuilds, 0);
    QCOMPARE(addresses(d.serverMap()), (std::vector<int>{1, 3, 5}));
    tesmor::test::showActive(*d.dialog);
    QCOMPARE(addresses(d.map()), (std::vector<int>{1, 3, 5}));
    QCOMPARE(d.list->model()->rowCount(), 3);
}

void CDlgMapSettingsTest::okSavesAndRebuilds() {
    MapDialog d({entry(u"INT", 1), entry(u"INT", 3)});
    d.env.sink.questionReply = tesmor::MessageReply::Yes;
    d.click(1034);
    d.click(1);
    QVERIFY(!d.dialog->isVisible());
    QCOMPARE(d.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(d.rebuilds, 1);
    QVERIFY(d.env.profile.sections[u"MapSettings"].empty());

    QVERIFY(d.serverMap().empty());

    MapDialog e({entry(u"INT", 1)});
    e.clickRow(0);
    e.click(1033);
    e.click(1);
    QCOMPARE(addresses(tesmor::loadRegisterMap(e.env.profile, tesmor::test::russianCaptions())),
             (std::vector<int>{1, 3}));
    QCOMPARE(addresses(e.serverMap()), (std::vector<int>{1, 3}));  // in use from now on
}

void CDlgMapSettingsTest::editsSurviveAnalyses() {
    // An analysis every ten seconds reloads the server's map from the profile, also while the
    // dialog is open.
    MapDialog d({entry(u"INT", 1), entry(u"INT", 3)});
    d.editorRuns = {enter(d.env, QStringLiteral("20"), QStringLiteral("FLOAT")),
                    enter(d.env, QStringLiteral("30"), QStringLiteral("INT"))};
    d.click(1031);
    d.env.server.reloadConfiguration();
    d.click(1031);
    d.clickRow(0);
    d.click(1032);
    d.env.server.reloadConfiguration();
    QCOMPARE(addresses(d.serverMap()), (std::vector<int>{1, 3}));  // analyses publish the saved map
    QCOMPARE(d.list->model()->rowCount(), 3);
    std::vector<QStringList> shown;
    for (int row = 0; row < 3; ++row) shown.push_back(d.rowTexts(row));

    d.click(1);
    QCOMPARE(d.rebuilds, 1);
    const RegisterMap saved = tesmor::loadRegisterMap(d.env.profile, tesmor::test::russianCaptions());
    QCOMPARE(addresses(saved), (std::vector<int>{3, 20, 30}));
    QCOMPARE(addresses(d.serverMap()), (std::vector<int>{3, 20, 30}));
    // Every row as it was shown, the next opening included.
    QVERIFY(tesmor::test::showActive(*d.dialog));
    QCOMPARE(d.list->model()->rowCount(), 3);
    for (int row = 0; row < 3; ++row) QCOMPARE(d.rowTexts(row), shown[std::size_t(row)]);
}

void CDlgMapSettingsTest::keysOnTheList_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("row");  // selected before the key; -1 for none
    QTest::addColumn<int>("editorRuns");
    QTest::addColumn<int>("reply");  // to a question: 1 Yes, 0 No
    QTest::addColumn<QList<int>>("remaining");
    QTest::newRow("Return edits") << int(Qt::Key_Return) << 1 << 1 << 0 << QList<int>{7, 20};
    QTest::newRow("Enter edits") << int(Qt::Key_Enter) << 0 << 1 << 0 << QList<int>{7, 20};
    QTest::newRow("F2 edits") << int(Qt::Key_F2) << 1 << 1 << 0 << QList<int>{7, 20};
    QTest::newRow("Return on no row does nothing")
        << int(Qt::Key_Return) << -1 << 0 << 0 << QList<int>{7, 20};
    QTest::newRow("Delete, Yes") << int(Qt::Key_Delete) << 1 << 0 << 1 << QList<int>{7};
    QTest::newRow("Delete, No") << int(Qt::Key_Delete) << 1 << 0 << 0 << QList<int>{7, 20};
    QTest::newRow("Delete on no row asks nothing")
        << int(Qt::Key_Delete) << -1 << 0 << 1 << QList<int>{7, 20};
}

void CDlgMapSettingsTest::keysOnTheList() {
    QFETCH(int, key);
    QFETCH(int, row);
    QFETCH(int, editorRuns);
    QFETCH(int, reply);
    QFETCH(QList<int>, remaining);
    MapDialog d({entry(u"INT", 7), entry(u"FLOAT", 20)});
    d.editorRuns = {[&](CDlgEditRegister& editor) {
        QVERIFY(editor.editMode());
        QCOMPARE(editor.registerInfo().address, row == 0 ? 7 : 20);
        editor.show();
        editor.reject();
    }};
    d.env.sink.questionReply = reply ? tesmor::MessageReply::Yes : tesmor::MessageReply::No;
    if (row >= 0) d.clickRow(row);
    d.list->setFocus();
    QTest::keyClick(d.list, Qt::Key(key));
    QCOMPARE(d.runs, editorRuns);
    QVERIFY(d.dialog->isVisible());  // never OK
    QCOMPARE(d.rebuilds, 0);
    QVERIFY(d.env.profile.writes.empty());
    const bool asked = key == Qt::Key_Delete && row >= 0;
    QCOMPARE(d.env.sink.messages.size(), std::size_t(asked ? 1 : 0));
    if (asked) {
        QCOMPARE(d.env.sink.messages[0].text, u"Удалить регистр строки 2?");
        QVERIFY(d.env.sink.messages[0].buttons == tesmor::MessageButtons::YesNo);
    }
    const std::vector<int> expected(remaining.begin(), remaining.end());
    QCOMPARE(addresses(d.map()), expected);
}

void CDlgMapSettingsTest::tabOrderFollowsTheButtons() {
    MapDialog d({entry(u"INT", 7)});
    d.list->setFocus();
    QStringList order;
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order, (QStringList{"id1031", "id1033", "id1032", "id1034", "id1110", "id1111", "id1", "id2",
                                 "id1030"}));
}

void CDlgMapSettingsTest::reopensAtTheFirstColumn() {
    RegisterInfo wide = entry(u"INT", 7);
    wide.component = std::u16string(120, u'Ж');  // wider than the dialog: the list scrolls
    MapDialog d({wide});
    QScrollBar* bar = d.list->horizontalScrollBar();
    QVERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum());
    d.click(2);
    QVERIFY(tesmor::test::showActive(*d.dialog));
    QCOMPARE(bar->value(), 0);
}

void CDlgMapSettingsTest::frameOpensNoWiderThan1024() {
    RegisterInfo wide = entry(u"FLOAT", 10);
    wide.component = std::u16string(120, u'Ж');
    MapDialog d({wide});
    // As wide as allowed, for a list this wide: 1024 or the screen's width, unless the buttons
    // need more.
    const QRect frame = d.dialog->frameGeometry();
    const int frameExtra = frame.width() - d.dialog->width();
    const int allowed = std::max(std::min(1024, d.dialog->screen()->availableGeometry().width()),
                                 d.dialog->minimumSizeHint().width() + frameExtra);
    QVERIFY2(frame.width() <= std::min(1024, allowed), qPrintable(QString::number(frame.width())));
    QCOMPARE(frame.width(), allowed);
}

QTEST_MAIN(CDlgMapSettingsTest)
#include "CDlgMapSettingsTest.moc"
