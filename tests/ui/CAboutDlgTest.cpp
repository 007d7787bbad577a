// The about box: the version values of whichever module supplies the resources, and the
// translation rules that choose their block.

#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTest>

#include "BuiltInResources.h"
#include "UiTestSupport.h"
#include "ui/CAboutDlg.h"

using namespace tesmor;
using tesmor::test::control;
using tesmor::test::englishTable;

namespace {

constexpr TesmorVersionValue kGermanAndBelarusian[] = {
    {u"04070000", u"ProductName", u"Deutsch"},
    {u"042304b0", u"ProductName", u"Беларуская"},
    {u"001904e3", u"ProductName", u"Russian neutral"},
};
constexpr TesmorTranslation kGermanOnly[] = {{1031, 0}};
constexpr TesmorTranslation kGermanThenRussianNeutral[] = {{1031, 0}, {1059, 1200}, {25, 1251}};
constexpr TesmorResourceTable kGermanTable{
    sizeof(TesmorResourceTable), nullptr, 0, nullptr, 0, kGermanOnly, 1, kGermanAndBelarusian, 3};
constexpr TesmorResourceTable kNeutralTable{
    sizeof(TesmorResourceTable), nullptr, 0, nullptr, 0, kGermanThenRussianNeutral, 3,
    kGermanAndBelarusian,        3};
constexpr TesmorResourceTable kNoTranslations{sizeof(TesmorResourceTable), nullptr, 0, nullptr, 0, nullptr, 0,
                                              kGermanAndBelarusian,        3};

}  // namespace

Q_DECLARE_METATYPE(const TesmorResourceTable*)

class CAboutDlgTest : public QObject {
    Q_OBJECT
private slots:
    void texts_data();
    void texts();
};

void CAboutDlgTest::texts_data() {
    QTest::addColumn<const TesmorResourceTable*>("table");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QStringList>("shown");  // 1058, 1057, 1056, 1054, 1053
    QTest::newRow("built in") << builtInResourceTable() << "О плагине"
                              << QStringList{"Разработчики tesmor", "Велмар: Modbus", "1.1.1.4",
                                             "© 2026 Разработчики tesmor. Все права защищены.",
                                             "Плагин для подключения к Modbus Master устройствам."};
    QTest::newRow("tesmorENU.so") << englishTable() << "About the plug-in"
                                  << QStringList{"tesmor developers", "Velmar: Modbus", "1.1.1.4",
                                                 "© 2026 tesmor developers. All rights reserved.",
                                                 "Plug-in for connecting to Modbus Master devices."};
    QTest::newRow("only another language") << &kGermanTable << "" << QStringList{"", "", "", "", ""};
    QTest::newRow("first of 1033, 1049, 25")
        << &kNeutralTable << "" << QStringList{"", "Russian neutral", "", "", ""};
    QTest::newRow("no translation list") << &kNoTranslations << "" << QStringList{"", "", "", "", ""};
}

void CAboutDlgTest::texts() {
    QFETCH(const TesmorResourceTable*, table);
    QFETCH(QString, caption);
    QFETCH(QStringList, shown);
    QVERIFY(table);
    const Resources resources(table);
    ui::CAboutDlg about(resources);
    QCOMPARE(about.windowTitle(), caption);
    const int ids[] = {1058, 1057, 1056, 1054, 1053};
    for (int i = 0; i < 5; ++i) QCOMPARE(control<QLabel>(about, ids[i])->text(), shown[i]);
    const QPixmap icon = control<QLabel>(about, 1052)->pixmap();
    QCOMPARE(icon.size(), QSize(80, 80));
    QVERIFY(control<QPushButton>(about, 1));
}

QTEST_MAIN(CAboutDlgTest)
#include "CAboutDlgTest.moc"
