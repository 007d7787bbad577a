// The map dialog's "Импорт..." and "Экспорт..." buttons, clicked on a shown dialog: both file
// kinds written, a refused file listed and changing nothing, replace, append or cancel in the
// plug-in's own question box, English captions stored in Russian, and OK saving the imported map.
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <memory>
#include <sstream>

#include "DialogTestSupport.h"
#include "MapTestSupport.h"
#include "modbus/MapFile.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "ui/CDlgMapSettings.h"
#include "ui/MessageBoxSink.h"
#include "ui/QtTexts.h"

extern "C" const TesmorResourceTable* tesmorResourceTable(void);  // shell/enu/EnglishResources.cpp

using tesmor::RegisterInfo;
using tesmor::RegisterMap;
using tesmor::test::control;

using namespace tesmor::ui;
namespace res = tesmor::res;

namespace {

const tesmor::Resources english{tesmorResourceTable()};

RegisterInfo peak(std::u16string component, int address) {
    RegisterInfo r;
    r.source = tesmor::Source::Peak;
    r.component = std::move(component);
    r.address = address;
    r.table = tesmor::Table::HoldingRegisters;
    r.dataType = tesmor::DataType::Float;
    r.byteOrder = tesmor::ByteOrder::BigEndian;
    r.dataItem = tesmor::DataItem::Area;
    return r;
}

std::vector<std::u16string> components(const RegisterMap& map) {
    std::vector<std::u16string> out;
    for (const auto& r : map) out.push_back(r.component);
    return out;
}

std::string readFile(const QString& path) {
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const QString& path, const std::string& bytes) {
    std::ofstream(path.toStdString(), std::ios::binary) << bytes;
}

struct FilesDialog {
    tesmor::test::DialogEnvironment env;
    std::unique_ptr<CDlgMapSettings> dialog;
    QTemporaryDir folder;
    QString path;  // what the file chooser answers
    CDlgMapSettings::FileKind kind = CDlgMapSettings::FileKind::Map;
    int chooserRuns = 0;

    explicit FilesDialog(const RegisterMap& stored) {
        env.context.otherLanguages = {&english};
        tesmor::saveRegisterMap(env.profile, stored, tesmor::test::russianCaptions());
        env.server.loadRegisterMap();  // the map in use when the dialog opens
        dialog = std::make_unique<CDlgMapSettings>(env.context, nullptr);
        dialog->setFileChooser([this](bool, CDlgMapSettings::FileKind& chosen) {
            ++chooserRuns;
            chosen = kind;
            return path;
        });
        tesmor::test::showActive(*dialog);
    }
    void click(int id) { QTest::mouseClick(control<QPushButton>(*dialog, id), Qt::LeftButton); }
    RegisterMap map() { return dialog->entries(); }  // the rows shown
    RegisterMap published() { return env.server.lock().registerMap(); }
    int rows() { return control<QTableView>(*dialog, 1030)->model()->rowCount(); }
};

}  // namespace

class CDlgMapSettingsFilesTest : public QObject {
    Q_OBJECT
private slots:
    void buttonsSpeakBothLanguages();
    void exportWritesEitherKind();
    void aRefusedFileChangesNothing();
    void importReplacesOrAppends();
    void importQuestion_data();
    void importQuestion();
    void importQuestionSpeaksBothLanguages();
    void appendChecksTheMapShown();
    void notUtf8GetsTheHint();
    void fileDialogSpeaksTheLanguageInUse();
};

void CDlgMapSettingsFilesTest::buttonsSpeakBothLanguages() {
    FilesDialog d({});
    QCOMPARE(control<QPushButton>(*d.dialog, 1110)->text(), QStringLiteral("Импорт..."));
    QCOMPARE(control<QPushButton>(*d.dialog, 1111)->text(), QStringLiteral("Экспорт..."));
    QCOMPARE(english.dialogText(res::kMapDialog, res::map::kImport), u"Import...");
    QCOMPARE(english.dialogText(res::kMapDialog, res::map::kExport), u"Export...");
}

void CDlgMapSettingsFilesTest::exportWritesEitherKind() {
    FilesDialog d({peak(u"Метан", 10), peak(u"Этан", 12)});
    const tesmor::MapLanguages languages{&d.env.resources, {&english}};
    d.path = d.folder.filePath(QStringLiteral("map.csv"));
    d.click(1111);
    QCOMPARE(readFile(d.path), tesmor::writeMapFile(d.map(), languages));

    d.kind = CDlgMapSettings::FileKind::TagList;
    d.path = d.folder.filePath(QStringLiteral("tags.csv"));
    d.click(1111);
    const std::string tags = readFile(d.path);
    QCOMPARE(tags, tesmor::writeTagList(d.map(), languages));
    QVERIFY(tags.find("Metan_Ploshchad_pika,40011,10,Holding registers,2,FLOAT") != std::string::npos);

    d.path.clear();  // cancelled: nothing written, nothing said
    d.click(1111);
    QCOMPARE(d.chooserRuns, 3);
    QVERIFY(d.env.messages().empty());
}

void CDlgMapSettingsFilesTest::aRefusedFileChangesNothing() {
    FilesDialog d({peak(u"Метан", 10)});
    d.path = d.folder.filePath(QStringLiteral("bad.csv"));
    writeFile(d.path, std::string(tesmor::kMapFileHeader) +
                          "\nChromatogram peak,,CO2,1,Holding Registers (4x),FLOAT,Big-endian,Peak area\n"
                          "Устройство,,,5,Holding Registers (4x),INT,,Режим устройства\n"
                          "Chromatogram peak,,N2,2,Holding Registers (4x),INT,,Peak area\n");
    d.env.sink.questionReply = tesmor::MessageReply::Replace;
    d.click(1110);
    QCOMPARE(
        d.env.messages(),
        (std::vector<std::u16string>{(QStringLiteral("Файл ") + d.path +
                                      QStringLiteral(" не загружен, ошибок: 2.\n"
                                                     "Строка 3, столбец device: Выберите устройство.\n"
                                                     "Строка 4, столбец address: Регистры пересекаются с "
                                                     "регистрами строки 2."))
                                         .toStdU16String()}));
    QCOMPARE(components(d.map()), std::vector<std::u16string>{u"Метан"});
    QCOMPARE(d.rows(), 1);

    d.env.sink.clear();
    d.path = d.folder.filePath(QStringLiteral("missing.csv"));
    d.click(1110);
    QCOMPARE(
        d.env.messages(),
        std::vector<std::u16string>{
            (QStringLiteral("Не удалось прочитать или записать файл ") + d.path + u'.').toStdU16String()});
}

void CDlgMapSettingsFilesTest::importReplacesOrAppends() {
    FilesDialog d({peak(u"Метан", 10)});
    d.path = d.folder.filePath(QStringLiteral("map.csv"));
    // Written under the English resources: the captions come back Russian.
    writeFile(d.path,
              tesmor::writeMapFile({peak(u"CO2", 20)}, tesmor::MapLanguages{&english, {&d.env.resources}}));

    d.env.sink.questionReply = tesmor::MessageReply::Append;
    d.click(1110);
    QCOMPARE(d.env.sink.messages.size(), std::size_t(1));
    QCOMPARE(d.env.sink.messages[0].buttons, tesmor::MessageButtons::ReplaceAppendCancel);
    QCOMPARE(components(d.map()), (std::vector<std::u16string>{u"Метан", u"CO2"}));
    QCOMPARE(d.map()[1].source, tesmor::Source::Peak);
    QCOMPARE(d.map()[1].dataItem, tesmor::DataItem::Area);
    QCOMPARE(d.rows(), 2);

    d.env.sink.questionReply = tesmor::MessageReply::Replace;
    d.click(1110);
    QCOMPARE(components(d.map()), std::vector<std::u16string>{u"CO2"});
    QCOMPARE(d.rows(), 1);
    QVERIFY(d.env.profile.sections[u"MapSettings"].count(u"regComponent_0"));
    QCOMPARE(tesmor::loadRegisterMap(d.env.profile, tesmor::test::russianCaptions())[0].component,
             u"Метан");  // not saved before OK
    QCOMPARE(components(d.published()), std::vector<std::u16string>{u"Метан"});

    d.click(1);
    const RegisterMap saved = tesmor::loadRegisterMap(d.env.profile, tesmor::test::russianCaptions());
    QCOMPARE(components(saved), std::vector<std::u16string>{u"CO2"});
    QCOMPARE(d.env.profile.getString(u"MapSettings", u"regData_0", {}), u"Площадь пика");
    QCOMPARE(components(d.published()), std::vector<std::u16string>{u"CO2"});
}

void CDlgMapSettingsFilesTest::appendChecksTheMapShown() {
    FilesDialog d({peak(u"Метан", 10)});
    d.path = d.folder.filePath(QStringLiteral("map.csv"));
    writeFile(d.path, tesmor::writeMapFile({peak(u"CO2", 11)}, tesmor::MapLanguages{&d.env.resources, {}}));
    d.env.sink.questionReply = tesmor::MessageReply::Append;
    d.click(1110);
    const auto texts = d.env.messages();
    QCOMPARE(texts.size(), std::size_t(2));
    // Map rows by the numbers the dialog shows beside them.
    QCOMPARE(texts[1], (QStringLiteral("Файл ") + d.path +
                        QStringLiteral(" не загружен, ошибок: 1.\nСтрока 2, столбец address: Регистры "
                                       "пересекаются с регистрами строки 1 карты."))
                           .toStdU16String());
    QCOMPARE(control<QTableView>(*d.dialog, 1030)->model()->headerData(0, Qt::Vertical).toString(),
             QStringLiteral("1"));
    QVERIFY(!control<QTableView>(*d.dialog, 1030)->verticalHeader()->isHidden());
    QCOMPARE(components(d.map()), std::vector<std::u16string>{u"Метан"});
}

void CDlgMapSettingsFilesTest::notUtf8GetsTheHint() {
    FilesDialog d({peak(u"Метан", 10)});
    d.path = d.folder.filePath(QStringLiteral("cp1251.csv"));
    // "Метан" as a spreadsheet saves it in a Russian locale's code page.
    writeFile(d.path, std::string(tesmor::kMapFileHeader) +
                          "\nChromatogram peak,,\xCC\xE5\xF2\xE0\xED,1,Holding Registers (4x),FLOAT,"
                          "Big-endian,Peak area\n");
    d.click(1110);
    QCOMPARE(d.env.messages(),
             (std::vector<std::u16string>{(QStringLiteral("Файл ") + d.path +
                                           QStringLiteral(" не загружен, ошибок: 1.\nСтрока 2: Файл не в "
                                                          "кодировке UTF-8. Сохраните его в формате «CSV "
                                                          "UTF-8»."))
                                              .toStdU16String()}));
    QCOMPARE(components(d.map()), std::vector<std::u16string>{u"Метан"});
}

void CDlgMapSettingsFilesTest::fileDialogSpeaksTheLanguageInUse() {
    // Qt's own file dialog, as the import and export open it, with and without the plug-in's
    // language; the English is Qt's own.
    const QString qtEnglish = QFileDialog().labelText(QFileDialog::FileType);
    const tesmor::test::DialogEnvironment env;
    {
        const QtTexts russian(env.resources);
        QVERIFY2(russian.loaded(),
                 "Qt's Russian texts are missing (qt6-translations-l10n, tools/install-deps.sh)");
        QFileDialog dialog;
        const QString label = dialog.labelText(QFileDialog::FileType);
        QVERIFY2(label != qtEnglish && label.contains(QRegularExpression(QStringLiteral("[а-я]"))),
                 qPrintable(label));
    }
    QCOMPARE(QFileDialog().labelText(QFileDialog::FileType), qtEnglish);  // only while the dialog runs
    const QtTexts untranslated(english);
    QVERIFY(!untranslated.loaded());
    QCOMPARE(QFileDialog().labelText(QFileDialog::FileType), qtEnglish);
}

// How the question box is left: a key or a button.
enum class Answer { Escape, CancelButton, ReplaceButton, AppendButton };
Q_DECLARE_METATYPE(Answer)

void CDlgMapSettingsFilesTest::importQuestion_data() {
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QStringList>("components");  // the rows afterwards
    QTest::newRow("Escape") << Answer::Escape << QStringList{"Метан"};
    QTest::newRow("Cancel") << Answer::CancelButton << QStringList{"Метан"};
    QTest::newRow("Replace") << Answer::ReplaceButton << QStringList{"CO2"};
    QTest::newRow("Append") << Answer::AppendButton << QStringList{"Метан", "CO2"};
}

void CDlgMapSettingsFilesTest::importQuestion() {
    // The plug-in's message box, opened without blocking, answered from the keyboard or the mouse.
    QFETCH(Answer, answer);
    QFETCH(QStringList, components);
    FilesDialog d({peak(u"Метан", 10)});
    d.path = d.folder.filePath(QStringLiteral("map.csv"));
    writeFile(d.path, tesmor::writeMapFile({peak(u"CO2", 20)}, tesmor::MapLanguages{&d.env.resources, {}}));
    const MessageBoxSink boxes(d.env.resources);
    d.env.sink.onMessage = [&] {
        const auto& message = d.env.sink.messages.back();
        QCOMPARE(message.buttons, tesmor::MessageButtons::ReplaceAppendCancel);
        const auto box = boxes.makeBox(message.text, message.icon, message.buttons, d.dialog.get());
        box->open();
        QVERIFY(QTest::qWaitForWindowExposed(box.get()));
        switch (answer) {
            case Answer::Escape:
                QTest::keyClick(box.get(), Qt::Key_Escape);
                break;
            case Answer::CancelButton:
                QTest::mouseClick(box->button(QMessageBox::Cancel), Qt::LeftButton);
                break;
            case Answer::ReplaceButton:
                QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
                break;
            case Answer::AppendButton:
                QTest::mouseClick(box->button(QMessageBox::No), Qt::LeftButton);
                break;
        }
        QVERIFY(!box->isVisible());
        d.env.sink.questionReply = MessageBoxSink::reply(*box, message.buttons);
    };
    d.click(1110);
    QCOMPARE(d.env.sink.messages.size(), std::size_t(1));
    QStringList shown;
    for (const RegisterInfo& r : d.map()) shown << toQString(r.component);
    QCOMPARE(shown, components);
    QCOMPARE(d.rows(), int(components.size()));
}

void CDlgMapSettingsFilesTest::importQuestionSpeaksBothLanguages() {
    const tesmor::test::DialogEnvironment env;
    for (const tesmor::Resources* resources : {&env.resources, &english}) {
        const MessageBoxSink boxes(*resources);
        const auto box =
            boxes.makeBox(resources->loadString(res::kReplaceOrAppend), tesmor::MessageIcon::Question,
                          tesmor::MessageButtons::ReplaceAppendCancel);
        QStringList texts;
        for (auto which : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel})
            texts << box->button(which)->text();
        QCOMPARE(texts, resources == &english ? (QStringList{"Replace", "Append", "Cancel"})
                                              : (QStringList{"Заменить", "Добавить", "Отмена"}));
        QCOMPARE(box->escapeButton(), box->button(QMessageBox::Cancel));
    }
}

QTEST_MAIN(CDlgMapSettingsFilesTest)
#include "CDlgMapSettingsFilesTest.moc"
