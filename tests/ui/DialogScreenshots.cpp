// Renders the map, register editor and filters dialogs and the register view, filled with sample
// data, to PNG files in Russian (built-in resources) and English (tesmorENU.so), and checks their
// layout and that of the main window and the connection settings: no control narrower than its
// text needs, no list cell or heading narrower than its text, no two controls overlapping, and,
// on a 1366×768 screen, the register view within the screen with no column out of sight and the
// map dialog's frame at most 1024 wide.
//
//     ui_dialog_screenshots [output folder]
// Without a folder it only checks. Exits 1 when a check fails. Run it with
// QT_QPA_PLATFORM=offscreen where there is no display.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QString>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTest>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "BuiltInResources.h"
#include "LabDatabase.h"
#include "modbus/ModbusServer.h"
#include "modbus/RegisterMap.h"
#include "platform/ResourceIds.h"
#include "platform/ResourceTable.h"
#include "platform/Resources.h"
#include "platform/SharedLibrary.h"
#include "results/DataBaseConnection.h"
#include "support/MemoryProfile.h"
#include "support/TempDir.h"
#include "ui/CDlgEditRegister.h"
#include "ui/CDlgFilters.h"
#include "ui/CDlgMain.h"
#include "ui/CDlgMapSettings.h"
#include "ui/CDlgRegisters.h"
#include "ui/CDlgSettings.h"
#include "ui/TextFit.h"
#include "ui/UiContext.h"

using namespace tesmor::ui;
namespace res = tesmor::res;

namespace {

int failures = 0;

void fail(const QString& what) {
    std::fprintf(stderr, "layout: %s\n", qPrintable(what));
    ++failures;
}

bool related(const QWidget* a, const QWidget* b) { return a->isAncestorOf(b) || b->isAncestorOf(a); }

// Every heading and every cell of a list shows whole: its column is at least as wide as the
// delegate asks for the text.
void checkCells(const QTableView& list, const QString& name) {
    const QAbstractItemModel* model = list.model();
    const QHeaderView* header = list.horizontalHeader();
    for (int c = 0; c < model->columnCount(); ++c)
        if (!header->isHidden() && header->sectionSize(c) < header->sectionSizeHint(c))
            fail(QStringLiteral("%1: %2 heading %3 is %4 wide, needs %5")
                     .arg(name, list.objectName())
                     .arg(c)
                     .arg(header->sectionSize(c))
                     .arg(header->sectionSizeHint(c)));
    QStyleOptionViewItem option;
    option.initFrom(list.viewport());
    option.font = list.font();
    option.widget = &list;
    for (int r = 0; r < model->rowCount(); ++r)
        for (int c = 0; c < model->columnCount(); ++c) {
            const QModelIndex index = model->index(r, c);
            const int needed = list.itemDelegateForIndex(index)->sizeHint(option, index).width();
            const int width = list.visualRect(index).width();
            if (width < needed)
                fail(QStringLiteral("%1: %2 cell %3,%4 \"%5\" is %6 wide, needs %7")
                         .arg(name, list.objectName())
                         .arg(r)
                         .arg(c)
                         .arg(index.data().toString())
                         .arg(width)
                         .arg(needed));
        }
}

// Every visible control with an id shows its whole text and overlaps no other one.
void checkLayout(QWidget& dialog, const QString& name) {
    std::vector<QWidget*> controls;
    for (QWidget* w : dialog.findChildren<QWidget*>())
        if (w->isVisible() && w->objectName().startsWith(QStringLiteral("id"))) controls.push_back(w);
    for (QWidget* w : controls) {
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            // A wrapped label needs the height of its lines at its width.
            if (!label->wordWrap())
                needed = label->fontMetrics().horizontalAdvance(label->text());
            else if (label->height() < label->heightForWidth(label->width()))
                fail(QStringLiteral("%1: %2 is %3 high, its lines need %4")
                         .arg(name, w->objectName())
                         .arg(label->height())
                         .arg(label->heightForWidth(label->width())));
        } else if (auto* button = qobject_cast<QPushButton*>(w))
            needed = button->fontMetrics().horizontalAdvance(button->text()) + 8;
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            needed = group->fontMetrics().horizontalAdvance(group->title()) + 16;
        else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i)
                needed = std::max(needed, combo->fontMetrics().horizontalAdvance(combo->itemText(i)) + 24);
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            const int room = tesmor::ui::lineEditTextRoom(*edit);
            if (room < edit->fontMetrics().horizontalAdvance(edit->text()))
                fail(QStringLiteral("%1: %2 has %3 pixels for \"%4\", which needs %5")
                         .arg(name, w->objectName())
                         .arg(room)
                         .arg(edit->text())
                         .arg(edit->fontMetrics().horizontalAdvance(edit->text())));
        } else if (auto* list = qobject_cast<QTableView*>(w)) {
            checkCells(*list, name);
        }
        if (w->width() < needed)
            fail(QStringLiteral("%1: %2 is %3 wide, its text needs %4")
                     .arg(name, w->objectName())
                     .arg(w->width())
                     .arg(needed));
    }
    for (std::size_t i = 0; i < controls.size(); ++i)
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            if (related(controls[i], controls[j])) continue;
            const QRect a(controls[i]->mapTo(&dialog, QPoint(0, 0)), controls[i]->size());
            const QRect b(controls[j]->mapTo(&dialog, QPoint(0, 0)), controls[j]->size());
            if (a.intersects(b))
                fail(QStringLiteral("%1: %2 overlaps %3")
                         .arg(name, controls[i]->objectName(), controls[j]->objectName()));
        }
}

void render(QWidget& dialog, const QString& folder, const QString& file) {
    dialog.show();
    QApplication::processEvents();
    checkLayout(dialog, file);
    if (!folder.isEmpty() && !dialog.grab().save(QDir(folder).filePath(file + QStringLiteral(".png"))))
        fail(QStringLiteral("cannot write %1").arg(file));
}

// The register view over a store filled the way the demo lab's map fills it: the sample time and
// number, methane's concentration in each of the four byte orders (each readable in its own float
// column), more components and a device's values.
void renderRegisterView(const tesmor::Resources& resources, const QString& language, const QString& folder) {
    using tesmor::ByteOrder;
    using tesmor::DataItem;
    using tesmor::DataType;
    using tesmor::Source;
    const bool russian = language == QStringLiteral("ru");
    tesmor::test::MemoryProfile profile;
    tesmor::ModbusServer server(profile, resources);
    tesmor::ui::UiContext context{server, profile, resources, std::string(), {}};

    auto entry = [&](Source source, std::u16string_view component, int address, DataType type,
                     ByteOrder order, DataItem item) {
        tesmor::RegisterInfo e;
        e.source = source;
        e.component = component;
        e.address = address;
        e.table = tesmor::Table::HoldingRegisters;
        e.dataType = type;
        e.byteOrder = order;
        e.dataItem = item;
        return e;
    };
    struct Gas {
        std::u16string_view russian, english;
        float concentration;
    };
    const Gas gases[] = {{u"Метан", u"Methane", 92.4137f},
                         {u"Этан", u"Ethane", 3.2145f},
                         {u"Пропан", u"Propane", 0.9871f},
                         {u"Азот", u"Nitrogen", 1.4562f},
                         {u"Диоксид углерода", u"Carbon dioxide", 0.6833f}};
    auto name = [&](const Gas& gas) { return russian ? gas.russian : gas.english; };
    std::vector<tesmor::RegisterInfo> map = {
        entry(Source::Chromatogram, u"", 0, DataType::Int, ByteOrder::None, DataItem::SampleTime),
        entry(Source::Chromatogram, u"", 5, DataType::Int, ByteOrder::None, DataItem::SampleNumber)};
    int address = 10;
    for (ByteOrder order : {ByteOrder::BigEndian, ByteOrder::LittleEndian, ByteOrder::BigEndianByteSwap,
                            ByteOrder::LittleEndianByteSwap}) {
        map.push_back(
            entry(Source::Peak, name(gases[0]), address, DataType::Float, order, DataItem::Concentration));
        address += 2;
    }
    address = 20;
    for (const Gas& gas : std::span(gases).subspan(1)) {
        map.push_back(entry(Source::Peak, name(gas), address, DataType::Float, ByteOrder::BigEndian,
                            DataItem::Concentration));
        address += 2;
    }
    tesmor::RegisterInfo mode = entry(Source::Device, u"", 6, DataType::Int, ByteOrder::None, DataItem::Mode);
    mode.deviceName = russian ? u"Кристалл-5000 №1" : u"GC-1";
    tesmor::RegisterInfo error = mode;
    error.address = 7;
    error.dataItem = DataItem::LastError;
    map.push_back(mode);
    map.push_back(error);
    tesmor::saveRegisterMap(profile, map, tesmor::MapCaptions(resources));
    server.reloadConfiguration();  // the captions too: the store is written by data item
    {
        const auto locked = server.lock();
        for (tesmor::RegisterInfo& e : locked.registerMap()) {
            e.values.sampleTime = 1767261600;  // 2026-01-01 10:00 UTC
            e.values.sampleNumber = 42;
            e.values.mode = 2;
            for (const Gas& gas : gases)
                if (e.component == name(gas)) e.values.concentration = gas.concentration;
            locked.writeRegister(e);
        }
    }
    CDlgRegisters view(context);
    const QString file = QStringLiteral("CDlgRegisters-") + language;
    render(view, folder, file);
    const QRect room = view.screen()->availableGeometry();
    if (view.frameGeometry().width() > room.width())
        fail(QStringLiteral("%1: %2 wide on a screen with %3 available")
                 .arg(file)
                 .arg(view.frameGeometry().width())
                 .arg(room.width()));
    // Unlike the map dialog, which opens at most 1024 wide and scrolls, the view opens with every
    // column in sight: the floats and the publishing entry are read side by side.
    const auto* list = view.findChild<QTableView*>(QStringLiteral("id1175"));
    if (list->horizontalHeader()->length() > list->viewport()->width())
        fail(QStringLiteral("%1: the list shows %2 of its %3 pixels of columns")
                 .arg(file)
                 .arg(list->viewport()->width())
                 .arg(list->horizontalHeader()->length()));
    // The other tables are checked, not pictured.
    for (StoreTable table : {StoreTable::Coils, StoreTable::DiscreteInputs, StoreTable::InputRegisters}) {
        view.showTable(table);
        QApplication::processEvents();
        const QString name = file + QStringLiteral("-table%1").arg(int(table));
        checkLayout(view, name);
        if (list->horizontalHeader()->length() > list->viewport()->width())
            fail(QStringLiteral("%1: the list shows %2 of its %3 pixels of columns")
                     .arg(name)
                     .arg(list->viewport()->width())
                     .arg(list->horizontalHeader()->length()));
    }
}

void renderLanguage(const TesmorResourceTable* table, const QString& language, const QString& folder) {
    TempDir dir;
    {
        tesmor::host::LabDatabase lab(dir.file("lab.db").string());
        for (const char* m : {"ГОСТ 31371-2008", "ГОСТ 23781-87", "Природный газ", "Воздух"})
            lab.addMethod(m);
        for (const char* m : {"ПГС №1", "ПГС №2", "ПГС №3"}) lab.addMixture(m);
    }
    const std::u16string path = dir.file16("lab.db");
    DataBaseConnection database;
    database.setConnectionUri(path.c_str());

    tesmor::test::MemoryProfile profile;
    tesmor::Resources resources(table);
    tesmor::ModbusServer server(profile, resources);
    auto devices = std::make_shared<const tesmor::DeviceList>(
        tesmor::DeviceList{{0, u"Кристалл-5000 №1", 0, 1}, {1, u"Кристалл-5000 №2", 0, 1}});
    tesmor::ui::UiContext context{server, profile, resources, std::string(), [devices] { return devices; }};
    context.database = &database;

    tesmor::RegisterInfo mode;
    mode.source = tesmor::Source::Device;
    mode.deviceName = u"Кристалл-5000 №1";
    mode.address = 0;
    mode.table = tesmor::Table::InputRegisters;
    mode.dataType = tesmor::DataType::Int;
    mode.dataItem = tesmor::DataItem::Mode;
    tesmor::RegisterInfo time = mode;
    time.source = tesmor::Source::Chromatogram;
    time.deviceName.clear();
    time.address = 10;
    time.dataItem = tesmor::DataItem::SampleTime;
    tesmor::RegisterInfo area;
    area.source = tesmor::Source::Peak;
    area.component = u"Метан";
    area.address = 100;
    area.table = tesmor::Table::HoldingRegisters;
    area.dataType = tesmor::DataType::Float;
    area.byteOrder = tesmor::ByteOrder::BigEndian;
    area.dataItem = tesmor::DataItem::Area;
    tesmor::RegisterInfo present = area;
    present.address = 31;
    present.table = tesmor::Table::Coils;
    present.dataType = tesmor::DataType::Bool;
    present.byteOrder = tesmor::ByteOrder::None;
    tesmor::saveRegisterMap(profile, {mode, time, area, present}, tesmor::MapCaptions(resources));
    profile.sections[u"Filters"] = {{u"method_0", std::u16string(u"Природный газ")},
                                    {u"mixture_0", std::u16string(u"ПГС №2")},
                                    {u"chrmType", std::int32_t(0)}};

    server.loadRegisterMap();
    CDlgMapSettings map(context, {});
    render(map, folder, QStringLiteral("CDlgMapSettings-") + language);
    if (map.frameGeometry().width() > 1024)
        fail(QStringLiteral("CDlgMapSettings-%1: the frame is %2 wide")
                 .arg(language)
                 .arg(map.frameGeometry().width()));
    CDlgEditRegister editor(context);
    editor.setEditMode(true);
    editor.setRegisterInfo(area);
    render(editor, folder, QStringLiteral("CDlgEditRegister-") + language);
    editor.hide();
    tesmor::RegisterInfo beyond = area;
    beyond.address = 499;  // a FLOAT there needs register 500: the note shows
    editor.setRegisterInfo(beyond);
    render(editor, QString(), QStringLiteral("CDlgEditRegister-beyond-") + language);
    if (!editor.findChild<QLabel*>(QStringLiteral("id1101"))->isVisible())
        fail(QStringLiteral("CDlgEditRegister-beyond-%1: the note on the store's range is hidden")
                 .arg(language));
    CDlgFilters filters(context);
    render(filters, folder, QStringLiteral("CDlgFilters-") + language);

    // Checked only: tesmor-screenshots renders these two, with a master polling the server.
    tesmor::ui::CDlgMain window(context);
    {
        const auto locked = server.lock();
        locked.registerMap()[1].values.sampleTime = 1767261600;
        locked.registerMap()[2].values.area = 123456.789f;
    }
    window.rebuildList();
    render(window, QString(), QStringLiteral("CDlgMain-") + language);
    auto& settings = window.settingsDialog();
    using tesmor::SerialPortState;
    settings.setSerialPorts(tesmor::SerialPortCatalog::fixed({{"/dev/ttyS0", SerialPortState::Free},
                                                              {"/dev/ttyS1", SerialPortState::Busy},
                                                              {"/dev/ttyUSB0", SerialPortState::NoAccess}}));
    settings.initDialog();
    settings.findChild<QLineEdit*>(QStringLiteral("id1025"))
        ->setText(QStringLiteral("chromatograph-07.lab.plant.loc"));
    settings.findChild<QLineEdit*>(QStringLiteral("id1026"))->setText(QStringLiteral("255.255.255.255"));
    render(settings, QString(), QStringLiteral("CDlgSettings-") + language);

    renderRegisterView(resources, language, folder);
}

}  // namespace

int main(int argc, char** argv) {
    // Offscreen, the screen is the smallest common laptop screen (with window frames), so that the
    // windows are checked where room is short.
    TempDir screens;
    if (const char* platform = std::getenv("QT_QPA_PLATFORM");
        platform && std::string(platform) == "offscreen") {
        const auto config = screens.file("screens.json");
        std::ofstream(config)
            << R"({"windowFrameMargins": true, "screens": [{"name": "laptop", "x": 0, "y": 0,)"
               R"( "width": 1366, "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
        setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.string()).c_str(), 1);
    }
    QApplication app(argc, argv);
    if (QGuiApplication::primaryScreen()->size() != QSize(1366, 768) &&
        QGuiApplication::platformName() == QStringLiteral("offscreen"))
        fail(QStringLiteral("the offscreen screen is not 1366×768"));
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (!folder.isEmpty()) QDir().mkpath(folder);

    renderLanguage(tesmor::builtInResourceTable(), QStringLiteral("ru"), folder);

    const tesmor::SharedLibrary english(TESMOR_ENGLISH_PATH);
    if (const TesmorResourceTable* table = tesmor::resourceTableOf(english); !table) {
        fail(QStringLiteral("cannot load %1").arg(QString::fromLocal8Bit(TESMOR_ENGLISH_PATH)));
    } else {
        renderLanguage(table, QStringLiteral("en"), folder);
    }
    return failures == 0 ? 0 : 1;
}
