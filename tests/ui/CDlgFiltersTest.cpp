// The filters dialog over a real host database (LabDatabase) and an in-memory profile: names in
// ordinal order, saved names marked, toggling by click, clear all, OK and Cancel, and a
// database that cannot be read.
#include <sqlite3.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "DialogTestSupport.h"
#include "LabDatabase.h"
#include "platform/Log.h"
#include "results/DataBaseConnection.h"
#include "support/TempDir.h"
#include "ui/CDlgFilters.h"
#include "ui/CGridCtrl.h"

using tesmor::test::control;
using tesmor::test::DialogEnvironment;
using tesmor::test::MemoryProfile;

using namespace tesmor::ui;

namespace {

constexpr std::uint32_t kDefault = GridRowStyle::defaultColor;
constexpr std::uint32_t kGreen = 0x0059FF83;
constexpr std::uint32_t kWhite = 0x00FFFFFF;

// The host's profile hands texts back cut at 127 characters.
class CuttingProfile : public MemoryProfile {
public:
    std::u16string getString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def) override {
        return MemoryProfile::getString(section, key, def).substr(0, 127);
    }
};

struct Filters {
    TempDir dir;
    std::u16string path = dir.file16("lab.db");
    std::unique_ptr<tesmor::host::LabDatabase> lab;
    DialogEnvironment env;
    CuttingProfile profile;
    DataBaseConnection database;
    tesmor::ui::UiContext context{env.server, profile, env.resources, std::string(), nullptr, {}, &database};
    std::unique_ptr<CDlgFilters> dialog;
    std::vector<std::string> log;
    tesmor::LogSink previousLog;

    Filters(std::vector<std::string> methods, std::vector<std::string> mixtures) {
        lab = std::make_unique<tesmor::host::LabDatabase>(dir.file("lab.db").string());
        for (const auto& m : methods) lab->addMethod(m);
        for (const auto& m : mixtures) lab->addMixture(m);
        database.setConnectionUri(path.c_str());
        previousLog = tesmor::setLogSink([this](std::string_view line) { log.emplace_back(line); });
        dialog = std::make_unique<CDlgFilters>(context);
    }
    ~Filters() {
        dialog.reset();
        tesmor::setLogSink(previousLog);
    }
    void open() { QVERIFY(tesmor::test::showActive(*dialog)); }
    CGridCtrl* methods() const { return control<CGridCtrl>(*dialog, 1047); }
    CGridCtrl* mixtures() const { return control<CGridCtrl>(*dialog, 1051); }
    QComboBox* type() const { return control<QComboBox>(*dialog, 1050); }
    QLabel* errorLine() const { return control<QLabel>(*dialog, 2004); }
    static QStringList rows(const CGridCtrl* list) {
        QStringList out;
        for (int row = 0; row < list->rowCount(); ++row) out << list->itemText(row, 0);
        return out;
    }
    static std::vector<std::uint32_t> colors(const CGridCtrl* list) {
        std::vector<std::uint32_t> out;
        for (int row = 0; row < list->rowCount(); ++row)
            out.push_back(list->rowStyle(row) ? list->rowStyle(row)->backgroundColor : 0xDEADu);
        return out;
    }
    static void clickRow(CGridCtrl* list, int row) {
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualRect(list->model()->index(row, 0)).center());
    }
    void save(const std::vector<std::u16string>& methodKeys, const std::vector<std::u16string>& mixtureKeys,
              std::optional<int> type) {
        auto& section = profile.sections[u"Filters"];
        for (std::size_t i = 0; i < methodKeys.size(); ++i)
            if (!methodKeys[i].empty())
                section[u"method_" + tesmor::toUtf16(std::to_string(i))] = methodKeys[i];
        for (std::size_t i = 0; i < mixtureKeys.size(); ++i)
            if (!mixtureKeys[i].empty())
                section[u"mixture_" + tesmor::toUtf16(std::to_string(i))] = mixtureKeys[i];
        if (type) section[u"chrmType"] = *type;
    }
    MemoryProfile::Section& section() { return profile.sections[u"Filters"]; }
};

}  // namespace

class CDlgFiltersTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithNoFilter();
    void savedNamesMarkedUpToTheFirstGap();
    void clickTogglesAndUnselects();
    void doubleClickTogglesOnce();
    void spaceToggles();
    void onlyTheFirstSelectedMixtureToggles();
    void typeCombo_data();
    void typeCombo();
    void missingNameSurvivesOkAndClearAllRemovesIt();
    void okRewritesTheSection();
    void cancelDiscards();
    void longNameComesBackCut();
    void unreadableDatabase_data();
    void unreadableDatabase();
    void namesGatheredEarlierStay();
};

void CDlgFiltersTest::opensWithNoFilter() {
    Filters f({"b", "a", "A", "", "a"}, {"Смесь 2", "Смесь 1"});
    f.lab->exec("INSERT INTO method(name) VALUES (NULL);");
    f.open();
    QCOMPARE(f.dialog->objectName(), QStringLiteral("CDlgFilters"));
    QCOMPARE(f.dialog->windowTitle(), QStringLiteral("Фильтры"));
    QCOMPARE(control<QPushButton>(*f.dialog, 1049)->text(), QStringLiteral("Очистить все фильтры"));
    QCOMPARE(Filters::rows(f.methods()), (QStringList{"A", "a", "b"}));
    QCOMPARE(Filters::rows(f.mixtures()), (QStringList{"Смесь 1", "Смесь 2"}));
    QCOMPARE(Filters::colors(f.methods()), (std::vector<std::uint32_t>{kDefault, kDefault, kDefault}));
    QCOMPARE(f.type()->count(), 3);
    QCOMPARE(f.type()->currentText(), QStringLiteral("*Не выбрано*"));
    QCOMPARE(f.dialog->filter().chrmType, -1);
    QVERIFY(f.errorLine()->isHidden());
    QVERIFY(f.log.empty());
}

void CDlgFiltersTest::savedNamesMarkedUpToTheFirstGap() {
    Filters f({"m1", "m2", "m3"}, {"x1", "x2"});
    f.save({u"m1", u"", u"m3"}, {u"x2"}, 0);
    f.open();
    QCOMPARE(Filters::colors(f.methods()), (std::vector<std::uint32_t>{kGreen, kDefault, kDefault}));
    QCOMPARE(Filters::colors(f.mixtures()), (std::vector<std::uint32_t>{kDefault, kGreen}));
    QCOMPARE(f.dialog->filter().methods, (std::set<std::u16string>{u"m1"}));
    QCOMPARE(f.type()->currentIndex(), 2);
}

void CDlgFiltersTest::clickTogglesAndUnselects() {
    Filters f({"m1", "m2", "m3"}, {});
    f.open();
    Filters::clickRow(f.methods(), 1);
    QCOMPARE(f.dialog->filter().methods, (std::set<std::u16string>{u"m2"}));
    QCOMPARE(Filters::colors(f.methods())[1], kGreen);
    QVERIFY(f.methods()->selectionModel()->selectedIndexes().isEmpty());
    QCOMPARE(f.methods()->paintColors(1).background, QColor(0x83, 0xFF, 0x59));

    Filters::clickRow(f.methods(), 1);
    QVERIFY(f.dialog->filter().methods.empty());
    QCOMPARE(Filters::colors(f.methods())[1], kWhite);

    // Below the last row: nothing changes.
    QTest::mouseClick(f.methods()->viewport(), Qt::LeftButton, {},
                      QPoint(10, f.methods()->viewport()->height() - 3));
    QVERIFY(f.dialog->filter().methods.empty());
    QCOMPARE(Filters::colors(f.methods()), (std::vector<std::uint32_t>{kDefault, kWhite, kDefault}));
}

void CDlgFiltersTest::doubleClickTogglesOnce() {
    Filters f({"m1", "m2", "m3"}, {"x1", "x2"});
    f.open();
    for (CGridCtrl* list : {f.methods(), f.mixtures()}) {
        const QPoint row1 = list->visualRect(list->model()->index(1, 0)).center();
        // Through the window, as the platform delivers it: press, release, press, release, and Qt
        // makes the second press a double click.
        QTest::mouseDClick(f.dialog->windowHandle(), Qt::LeftButton, {},
                           list->viewport()->mapTo(f.dialog.get(), row1));
        const auto& chosen = list == f.methods() ? f.dialog->filter().methods : f.dialog->filter().mixtures;
        QCOMPARE(chosen.size(), std::size_t(1));
        QCOMPARE(Filters::colors(list)[1], kGreen);
        QCOMPARE(list->selectionModel()->selectedRows().size(), 1);  // the double click selects it
        QCOMPARE(list->selectionModel()->selectedRows().front().row(), 1);
        QVERIFY(!list->editCell());
    }
    QCOMPARE(f.dialog->filter().methods, (std::set<std::u16string>{u"m2"}));
}

void CDlgFiltersTest::spaceToggles() {
    Filters f({"m1", "m2", "m3"}, {});
    f.open();
    auto* list = f.methods();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Down);
    const int row = list->selectionModel()->currentIndex().row();
    QTest::keyClick(list, Qt::Key_Space);
    QCOMPARE(f.dialog->filter().methods,
             (std::set<std::u16string>{Filters::rows(list)[row].toStdU16String()}));
    QCOMPARE(Filters::colors(list)[std::size_t(row)], kGreen);
    QVERIFY(list->selectionModel()->selectedIndexes().isEmpty());  // the colour shows
    // Again on the same row: out.
    QTest::keyClick(list, Qt::Key_Space);
    QVERIFY(f.dialog->filter().methods.empty());
    QCOMPARE(Filters::colors(list)[std::size_t(row)], kWhite);
}

void CDlgFiltersTest::onlyTheFirstSelectedMixtureToggles() {
    Filters f({}, {"x1", "x2", "x3"});
    f.open();
    auto* list = f.mixtures();
    for (int row : {2, 1})
        list->selectionModel()->select(list->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    f.dialog->mixturesClicked();
    QCOMPARE(f.dialog->filter().mixtures, (std::set<std::u16string>{u"x2"}));
    QVERIFY(list->selectionModel()->selectedIndexes().isEmpty());
    f.dialog->mixturesClicked();  // nothing selected
    QCOMPARE(f.dialog->filter().mixtures, (std::set<std::u16string>{u"x2"}));
}

void CDlgFiltersTest::typeCombo_data() {
    QTest::addColumn<int>("saved");
    QTest::addColumn<int>("shown");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<int>("written");  // -2: no key
    QTest::newRow("calibration") << -1 << 0 << "Градуировка" << 1;
    QTest::newRow("analysis") << 1 << 1 << "Анализ" << 0;
    QTest::newRow("none") << 0 << 2 << "*Не выбрано*" << -1;
    QTest::newRow("odd value shows none, kept") << 7 << 0 << "" << -2;
}

void CDlgFiltersTest::typeCombo() {
    QFETCH(int, saved);
    QFETCH(int, shown);
    QFETCH(QString, chosen);
    QFETCH(int, written);
    Filters f({}, {});
    f.save({}, {}, saved);
    f.open();
    QCOMPARE(f.type()->currentIndex(), shown);
    if (!chosen.isEmpty()) tesmor::test::choose(f.type(), chosen);
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    const auto key = f.section().find(u"chrmType");
    if (written == -2) {
        QVERIFY(key == f.section().end());
    } else {
        QVERIFY(key != f.section().end());
        QCOMPARE(std::get<std::int32_t>(key->second), written);
    }
}

void CDlgFiltersTest::missingNameSurvivesOkAndClearAllRemovesIt() {
    Filters f({"m1"}, {"x1"});
    f.save({u"gone", u"m1"}, {}, 1);
    f.open();
    QCOMPARE(Filters::colors(f.methods()), std::vector<std::uint32_t>{kGreen});
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    QCOMPARE(std::get<std::u16string>(f.section()[u"method_0"]), u"gone");
    QCOMPARE(std::get<std::u16string>(f.section()[u"method_1"]), u"m1");

    f.open();
    Filters::clickRow(f.mixtures(), 0);
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1049), Qt::LeftButton);
    QVERIFY(f.dialog->filter().methods.empty() && f.dialog->filter().mixtures.empty());
    QCOMPARE(f.dialog->filter().chrmType, -1);
    QCOMPARE(f.type()->currentIndex(), 0);
    QCOMPARE(Filters::rows(f.methods()), QStringList{"m1"});
    QCOMPARE(f.methods()->columnCount(), 1);
    QCOMPARE(Filters::colors(f.methods()), std::vector<std::uint32_t>{kDefault});
    QCOMPARE(Filters::colors(f.mixtures()), std::vector<std::uint32_t>{kDefault});
    QCOMPARE(f.methods()->styleCount(), std::size_t(1));
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    QCOMPARE(f.section().size(), std::size_t(1));
    QCOMPARE(std::get<std::int32_t>(f.section()[u"chrmType"]), -1);
}

void CDlgFiltersTest::okRewritesTheSection() {
    Filters f({"b", "A", "a"}, {"x1", "x2"});
    f.save({u"q1", u"q2", u"q3", u"q4"}, {u"x1", u"y", u"z"}, 1);
    f.section()[u"stale"] = std::u16string(u"old");
    f.open();
    for (int row : {2, 0, 1}) Filters::clickRow(f.methods(), row);
    Filters::clickRow(f.mixtures(), 0);  // takes x1 out
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    QVERIFY(!f.dialog->isVisible());
    // The names in ordinal order, then the kept ones; no key of the earlier content remains.
    MemoryProfile::Section expected{
        {u"method_0", std::u16string(u"A")},  {u"method_1", std::u16string(u"a")},
        {u"method_2", std::u16string(u"b")},  {u"method_3", std::u16string(u"q1")},
        {u"method_4", std::u16string(u"q2")}, {u"method_5", std::u16string(u"q3")},
        {u"method_6", std::u16string(u"q4")}, {u"mixture_0", std::u16string(u"y")},
        {u"mixture_1", std::u16string(u"z")}, {u"chrmType", std::int32_t(1)}};
    QVERIFY(f.section() == expected);
}

void CDlgFiltersTest::cancelDiscards() {
    Filters f({"m1", "m2"}, {});
    f.save({u"m1"}, {}, 0);
    f.profile.writes.clear();
    f.open();
    Filters::clickRow(f.methods(), 0);
    Filters::clickRow(f.methods(), 1);
    tesmor::test::choose(f.type(), QStringLiteral("Градуировка"));
    QTest::mouseClick(control<QPushButton>(*f.dialog, 2), Qt::LeftButton);
    QVERIFY(!f.dialog->isVisible());
    QVERIFY(f.profile.writes.empty());
    f.open();
    QCOMPARE(Filters::colors(f.methods()), (std::vector<std::uint32_t>{kGreen, kDefault}));
    QCOMPARE(f.type()->currentIndex(), 2);
}

void CDlgFiltersTest::longNameComesBackCut() {
    const std::string longName(130, 'M');
    Filters f({longName}, {});
    f.open();
    Filters::clickRow(f.methods(), 0);
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    QCOMPARE(std::get<std::u16string>(f.section()[u"method_0"]).size(), std::size_t(130));

    f.open();
    QCOMPARE(Filters::colors(f.methods()), std::vector<std::uint32_t>{kDefault});
    QCOMPARE(f.dialog->filter().methods, (std::set<std::u16string>{std::u16string(127, u'M')}));
}

void CDlgFiltersTest::unreadableDatabase_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("methods");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "missing" << QStringList{} << "unable to open";
    QTest::newRow("locked") << "locked" << QStringList{} << "locked";
    QTest::newRow("no mixture table") << "no mixture table" << QStringList{"m1"} << "no such table";
}

void CDlgFiltersTest::unreadableDatabase() {
    QFETCH(QString, how);
    QFETCH(QStringList, methods);
    QFETCH(QString, reason);
    Filters f({"m1"}, {"x1"});
    f.save({u"m1"}, {}, std::nullopt);
    sqlite3* locker = nullptr;
    const std::u16string missing = f.dir.file16("no-such-folder/lab.db");
    if (how == "missing") {
        f.database.setConnectionUri(missing.c_str());
    } else if (how == "locked") {
        QCOMPARE(sqlite3_open(f.dir.file("lab.db").c_str(), &locker), SQLITE_OK);
        QCOMPARE(sqlite3_exec(locker, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    } else {
        f.lab->exec("DROP TABLE mixture;");
    }
    f.open();
    if (locker) {
        sqlite3_exec(locker, "ROLLBACK;", nullptr, nullptr, nullptr);
        sqlite3_close(locker);
    }
    QVERIFY(f.dialog->isVisible());
    QCOMPARE(Filters::rows(f.methods()), methods);
    QCOMPARE(f.mixtures()->rowCount(), 0);
    QVERIFY(!f.errorLine()->isHidden());
    const QString line = f.errorLine()->text();
    QVERIFY2(line.startsWith(QStringLiteral("Не удалось прочитать")), qPrintable(line));
    QVERIFY2(line.contains(reason, Qt::CaseInsensitive), qPrintable(line));
    QVERIFY(!line.contains(u'\n'));
    QCOMPARE(f.log.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(f.log[0]).contains(reason, Qt::CaseInsensitive));
    // The saved filter is still loaded, and OK keeps it.
    QCOMPARE(f.dialog->filter().methods, (std::set<std::u16string>{u"m1"}));
    QTest::mouseClick(control<QPushButton>(*f.dialog, 1), Qt::LeftButton);
    QCOMPARE(std::get<std::u16string>(f.section()[u"method_0"]), u"m1");
}

void CDlgFiltersTest::namesGatheredEarlierStay() {
    Filters f({"m1"}, {});
    f.open();
    f.dialog->reject();
    f.lab->exec("DELETE FROM method;");
    f.lab->addMethod("m0");
    f.open();
    QCOMPARE(Filters::rows(f.methods()), (QStringList{"m0", "m1"}));
    QCOMPARE(f.methods()->columnCount(), 1);
    QVERIFY(f.errorLine()->isHidden());
}

QTEST_MAIN(CDlgFiltersTest)
#include "CDlgFiltersTest.moc"
