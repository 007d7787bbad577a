#include "ui/CDlgMapSettings.h"

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "modbus/RegisterEncoder.h"
#include "platform/MessageSink.h"
#include "platform/ResourceIds.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/TextFit.h"

namespace tesmor::ui {

using namespace res;
using namespace res::map;

namespace {

struct Column {
    unsigned caption;
    int width;
};
constexpr std::array<Column, 9> kColumns{{
    {kColumnSource, 120},
    {kColumnDevice, 150},
    {kColumnComponent, 100},
    {kColumnAddress, 100},
    {kColumnAddressHex, 80},
    {kColumnRegisterType, 120},
    {kColumnDataType, 80},
    {kColumnByteOrder, 150},
    {kColumnDataItem, 150},
}};

using RowTexts = std::array<QString, kColumns.size()>;

RowTexts rowTexts(const tesmor::EntryTexts& t) {
    return {toQString(t.source),        toQString(t.deviceName),   toQString(t.component),
            QString::number(t.address), hexAddressText(t.address), toQString(t.registerType),
            toQString(t.dataType),      toQString(t.byteOrder),    toQString(t.dataItem)};
}

// A new entry with the configuration of `from` and the initial current values.
tesmor::RegisterInfo configurationOf(const tesmor::RegisterInfo& from) {
    tesmor::RegisterInfo entry = from;
    entry.values = {};
    return entry;
}

// The dialog opens no wider than this, frame included; a wider list scrolls.
constexpr int kMaxOpeningWidth = 1024;

}  // namespace

CDlgMapSettings::CDlgMapSettings(const UiContext& context, std::function<void()> rebuildList, QWidget* parent)
    : QDialog(parent),
      context_(context),
      rebuildList_(std::move(rebuildList)),
      editorRun_([](CDlgEditRegister& editor) { editor.exec(); }) {
    setObjectName(QStringLiteral("CDlgMapSettings"));
    setWindowTitle(dialogText(context, kMapDialog, kCaption));
    setWindowIcon(moduleIcon());

    model_ = new QStandardItemModel(0, int(kColumns.size()), this);
    list_ = withId(new QTableView(this), kList);
    list_->setModel(model_);
    list_->setShowGrid(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setTabKeyNavigation(false);
    list_->setWordWrap(false);
    list_->setCornerButtonEnabled(false);
    // Row numbers from 1: an import's messages name map rows by them.
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->horizontalHeader()->setHighlightSections(false);
    int totalWidth = 0;
    for (const Column& column : kColumns) totalWidth += column.width;
    list_->setMinimumSize(totalWidth / 2, 260);
    resize(std::min(totalWidth + 40, kMaxOpeningWidth), 380);

    auto button = [&](unsigned id) {
        return withId(new QPushButton(dialogText(context, kMapDialog, id), this), id);
    };
    QPushButton* add = button(kAdd);
    QPushButton* copy = button(kCopy);
    QPushButton* remove = button(kDelete);
    QPushButton* removeAll = button(kDeleteAll);
    QPushButton* ok = button(kOk);
    QPushButton* cancel = button(kCancel);
    // Only OK is the default; the action buttons must not take Enter over.
    for (QPushButton* b : {add, copy, remove, removeAll, cancel}) b->setAutoDefault(false);
    ok->setDefault(true);

    auto* actions = new QHBoxLayout;
    for (QPushButton* b : {add, copy, remove, removeAll}) actions->addWidget(b);
    const auto [importButton, exportButton] = addFileButtons(actions);
    actions->addStretch(1);
    actions->addWidget(ok);
    actions->addWidget(cancel);
    // Left to right, as the buttons stand.
    QWidget* order[] = {list_, add, copy, remove, removeAll, importButton, exportButton, ok, cancel};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
    list_->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(actions);

    connect(add, &QPushButton::clicked, this, &CDlgMapSettings::addRegister);
    connect(copy, &QPushButton::clicked, this, &CDlgMapSettings::copyRegister);
    connect(remove, &QPushButton::clicked, this, &CDlgMapSettings::deleteRegister);
    connect(removeAll, &QPushButton::clicked, this, &CDlgMapSettings::deleteAll);
    connect(ok, &QPushButton::clicked, this, &CDlgMapSettings::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgMapSettings::reject);
    connect(list_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { editRow(index.isValid() ? index.row() : -1); });
}

CDlgMapSettings::~CDlgMapSettings() = default;

void CDlgMapSettings::setEditorRun(EditorRun run) {
    editorRun_ = run ? std::move(run) : EditorRun([](CDlgEditRegister& editor) { editor.exec(); });
}

void CDlgMapSettings::setVisible(bool visible) {
    const bool opening = visible && !isVisible();
    if (opening) initDialog();
    QDialog::setVisible(visible);
    if (opening) fitScreen();
}

void CDlgMapSettings::fitScreen() {
    // The frame is known once the window is shown.
    int limit = kMaxOpeningWidth;
    if (const QScreen* shown = screen()) limit = std::min(limit, shown->availableGeometry().width());
    const int frame = frameGeometry().width() - width();
    if (frameGeometry().width() > limit) resize(std::max(minimumWidth(), limit - frame), height());
}

bool CDlgMapSettings::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress) {
        // Enter edits the selected row here instead of reaching the default button.
        switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
            case Qt::Key_F2:
                editRow(selectionMark());
                return true;
            case Qt::Key_Delete:
                deleteAsked();
                return true;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CDlgMapSettings::initDialog() {
    editor_ = std::make_unique<CDlgEditRegister>(context_, this);
    editor_->setEditMode(false);
    entries_ = context_.server.lock().registerMap();

    QStringList captions;
    for (const Column& column : kColumns) captions << loadString(context_, column.caption);
    model_->setHorizontalHeaderLabels(captions);
    for (int i = 0; i < int(kColumns.size()); ++i) {
        model_->setHeaderData(i, Qt::Horizontal, int(Qt::AlignLeft | Qt::AlignVCenter),
                              Qt::TextAlignmentRole);
        list_->horizontalHeader()->resizeSection(i, kColumns[std::size_t(i)].width);
    }
    fillList();
    const int wanted = list_->verticalHeader()->sizeHint().width() + list_->horizontalHeader()->length() +
                       2 * list_->frameWidth() + list_->verticalScrollBar()->sizeHint().width() + 24;
    if (width() < wanted) resize(std::min(wanted, kMaxOpeningWidth), height());
    list_->scrollToTop();
    list_->horizontalScrollBar()->setValue(0);
}

void CDlgMapSettings::fillList() {
    model_->removeRows(0, model_->rowCount());
    const tesmor::MapCaptions captions = mapCaptions(context_);
    for (const tesmor::RegisterInfo& entry : entries_) {
        QList<QStandardItem*> items;
        for (const QString& text : rowTexts(captions.texts(entry))) {
            auto* item = new QStandardItem(text);
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            items.append(item);
        }
        model_->appendRow(items);
    }
    std::array<int, kColumns.size()> minimums{};
    for (std::size_t i = 0; i < kColumns.size(); ++i) minimums[i] = kColumns[i].width;
    fitColumns(*list_, minimums);
    list_->selectionModel()->clear();
}

void CDlgMapSettings::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    list_->setFocus();
    const QModelIndex index = model_->index(row, 0);
    list_->selectionModel()->setCurrentIndex(index,
                                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_->scrollTo(index);
}

int CDlgMapSettings::selectionMark() const {
    const QModelIndex current = list_->selectionModel()->currentIndex();
    if (!current.isValid() || !list_->selectionModel()->isRowSelected(current.row(), QModelIndex()))
        return -1;
    return current.row();
}

void CDlgMapSettings::runEditor() {
    editorRun_(*editor_);
    lastEditorResult_ = editor_->resultFlag();
}

void CDlgMapSettings::addRegister() {
    editor_->setEditMode(false);
    runEditor();
    while (lastEditorResult_ == 1) {
        const tesmor::RegisterInfo& entry = editor_->registerInfo();
        const bool duplicate = std::any_of(
            entries_.begin(), entries_.end(),
            [&](const tesmor::RegisterInfo& existing) { return tesmor::entriesOverlap(existing, entry); });
        if (!duplicate) {
            entries_.push_back(configurationOf(entry));
            break;
        }
        tesmor::showMessage(context_.resources.loadString(kDuplicateRegister), tesmor::MessageIcon::Warning);
        // The editor still holds the register as typed: it opens with it, so that only the
        // address needs changing.
        editor_->setEditMode(true);
        editor_->setAddressFirst(true);
        runEditor();
        editor_->setEditMode(false);
        editor_->setAddressFirst(false);
    }
    fillList();
    selectRow(model_->rowCount() - 1);
}

void CDlgMapSettings::copyRegister() {
    lastRow_ = selectionMark();
    if (lastRow_ < 0 || std::size_t(lastRow_) >= entries_.size()) return;
    tesmor::RegisterInfo copy = entries_[std::size_t(lastRow_)];
    std::int64_t address = copy.address;
    if (copy.dataType == tesmor::DataType::Float || copy.dataType == tesmor::DataType::Int) {
        if (address >= 65535)
            address += 1;
        else
            address += copy.dataItem == tesmor::DataItem::SampleTime ? 5 : 2;
    } else {
        address += 1;
    }
    if (address >= 65535) {
        tesmor::showMessage(context_.resources.loadString(kAddressOutOfRange), tesmor::MessageIcon::Warning);
    } else {
        copy.address = static_cast<std::int32_t>(address);
        entries_.push_back(std::move(copy));
    }
    fillList();
    selectRow(model_->rowCount() - 1);
}

void CDlgMapSettings::deleteRegister() {
    lastRow_ = selectionMark();
    if (lastRow_ < 0) return;
    if (std::size_t(lastRow_) < entries_.size()) entries_.erase(entries_.begin() + lastRow_);
    fillList();
    selectRow(lastRow_ < model_->rowCount() ? lastRow_ : model_->rowCount() - 1);
}

void CDlgMapSettings::deleteAsked() {
    const int row = selectionMark();
    if (row < 0) return;
    const QString question = loadString(context_, kDeleteRowQuestion).arg(row + 1);
    const auto reply =
        tesmor::showMessage(toU16(question), tesmor::MessageIcon::Question, tesmor::MessageButtons::YesNo);
    if (reply == tesmor::MessageReply::Yes) deleteRegister();
}

void CDlgMapSettings::deleteAll() {
    const auto reply = tesmor::showMessage(context_.resources.loadString(kDeleteAllQuestion),
                                           tesmor::MessageIcon::Question, tesmor::MessageButtons::YesNo);
    if (reply != tesmor::MessageReply::Yes) return;
    entries_.clear();
    fillList();
}

void CDlgMapSettings::editRow(int row) {
    if (row < 0 || std::size_t(row) >= entries_.size()) return;
    editor_->setEditMode(true);
    editor_->setRegisterInfo(entries_[std::size_t(row)]);
    runEditor();
    if (lastEditorResult_ == 1) entries_[std::size_t(row)] = editor_->registerInfo();
    editor_->setEditMode(false);
    fillList();
}

void CDlgMapSettings::accept() {
    tesmor::saveRegisterMap(context_.profile, entries_, mapCaptions(context_));
    // The saved map goes into use now, as it would at the next analysis.
    context_.server.loadRegisterMap();
    if (rebuildList_) rebuildList_();
    QDialog::accept();
}

}  // namespace tesmor::ui
