#include "ui/CDlgMapSettings.h"

#include <QAbstractItemView>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
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
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/TextFit.h"

using tesmor::ui::dialogText;
using tesmor::ui::hexAddressText;
using tesmor::ui::loadString;
using tesmor::ui::toQString;
using tesmor::ui::withId;

namespace {

enum StringId : unsigned {
    IDS_ADDRESS_OUT_OF_RANGE = 139,
    IDS_DUPLICATE_REGISTER = 140,
    IDS_SAMPLE_TIME = 144,
    IDS_DELETE_ALL_QUESTION = 149,
};

struct Column {
    unsigned caption;
    int width;
};
constexpr std::array<Column, 9> kColumns{{
    {147, 120},
    {148, 150},
    {130, 100},
    {131, 100},
    {117, 80},
    {132, 120},
    {133, 80},
    {105, 150},
    {134, 150},
}};

using RowTexts = std::array<QString, kColumns.size()>;

RowTexts rowTexts(const tesmor::RegisterInfo& entry) {
    return {
        toQString(entry.source),
        toQString(entry.deviceName),
        toQString(entry.component),
        QString::number(entry.address),
        hexAddressText(entry.address),
        toQString(entry.registerType),
        toQString(entry.dataType),
        toQString(entry.byteOrder),
        toQString(entry.dataItem)};
}

// A new entry with the configuration of `from` and the initial current values.
tesmor::RegisterInfo configurationOf(const tesmor::RegisterInfo& from) {
    tesmor::RegisterInfo entry;
    entry.source = from.source;
    entry.deviceName = from.deviceName;
    entry.component = from.component;
    entry.address = from.address;
    entry.registerType = from.registerType;
    entry.dataType = from.dataType;
    entry.byteOrder = from.byteOrder;
    entry.dataItem = from.dataItem;
    return entry;
}

// The dialog opens no wider than this; a wider list scrolls.
constexpr int kMaxOpeningWidth = 1024;

}  // namespace

CDlgMapSettings::CDlgMapSettings(const tesmor::ui::UiContext& context, std::function<void()> rebuildList,
                                 QWidget* parent)
    : QDialog(parent),
      m_context(context),
      m_rebuildList(std::move(rebuildList)),
      m_editorRun([](CDlgEditRegister& editor) { editor.exec(); }) {
    setObjectName(QStringLiteral("CDlgMapSettings"));
    setWindowTitle(dialogText(context, templateId, 0));
    setWindowIcon(tesmor::ui::moduleIcon());

    m_model = new QStandardItemModel(0, int(kColumns.size()), this);
    m_list = withId(new QTableView(this), IDC_LIST);
    m_list->setModel(m_model);
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setTabKeyNavigation(false);
    m_list->setWordWrap(false);
    m_list->setCornerButtonEnabled(false);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 6);
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->horizontalHeader()->setHighlightSections(false);
    int totalWidth = 0;
    for (const Column& column : kColumns) totalWidth += column.width;
    m_list->setMinimumSize(totalWidth / 2, 260);
    resize(std::min(totalWidth + 40, kMaxOpeningWidth), 380);

    auto button = [&](int id) {
        return withId(new QPushButton(dialogText(context, templateId, unsigned(id)), this), id);
    };
    QPushButton* add = button(IDC_ADD);
    QPushButton* copy = button(IDC_COPY);
    QPushButton* remove = button(IDC_DELETE);
    QPushButton* removeAll = button(IDC_DELETE_ALL);
    QPushButton* ok = button(1);
    QPushButton* cancel = button(2);
    // Only OK is the default; the action buttons must not take Enter over.
    for (QPushButton* b : {add, copy, remove, removeAll, cancel}) b->setAutoDefault(false);
    ok->setDefault(true);

    auto* actions = new QHBoxLayout;
    for (QPushButton* b : {add, copy, remove, removeAll}) actions->addWidget(b);
    addFileButtons(actions);
    actions->addStretch(1);
    actions->addWidget(ok);
    actions->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(actions);

    connect(add, &QPushButton::clicked, this, &CDlgMapSettings::addRegister);
    connect(copy, &QPushButton::clicked, this, &CDlgMapSettings::copyRegister);
    connect(remove, &QPushButton::clicked, this, &CDlgMapSettings::deleteRegister);
    connect(removeAll, &QPushButton::clicked, this, &CDlgMapSettings::deleteAll);
    connect(ok, &QPushButton::clicked, this, &CDlgMapSettings::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgMapSettings::reject);
    connect(m_list, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { editRow(index.isValid() ? index.row() : -1); });
}

CDlgMapSettings::~CDlgMapSettings() = default;

void CDlgMapSettings::setEditorRun(EditorRun run) {
    m_editorRun = run ? std::move(run) : EditorRun([](CDlgEditRegister& editor) { editor.exec(); });
}

void CDlgMapSettings::setVisible(bool visible) {
    if (visible && !isVisible()) initDialog();
    QDialog::setVisible(visible);
}

void CDlgMapSettings::initDialog() {
    m_editor = std::make_unique<CDlgEditRegister>(m_context, this);
    m_editor->setEditMode(false);
    m_entries = m_context.server.lock().registerMap();

    QStringList captions;
    for (const Column& column : kColumns) captions << loadString(m_context, column.caption);
    m_model->setHorizontalHeaderLabels(captions);
    for (int i = 0; i < int(kColumns.size()); ++i) {
        m_model->setHeaderData(i, Qt::Horizontal, int(Qt::AlignLeft | Qt::AlignVCenter),
                               Qt::TextAlignmentRole);
        m_list->horizontalHeader()->resizeSection(i, kColumns[std::size_t(i)].width);
    }
    fillList();
    const int wanted = m_list->horizontalHeader()->length() + 2 * m_list->frameWidth() +
                       m_list->verticalScrollBar()->sizeHint().width() + 24;
    if (width() < wanted) resize(std::min(wanted, kMaxOpeningWidth), height());
}

void CDlgMapSettings::fillList() {
    m_model->removeRows(0, m_model->rowCount());
    for (const tesmor::RegisterInfo& entry : m_entries) {
        QList<QStandardItem*> items;
        for (const QString& text : rowTexts(entry)) {
            auto* item = new QStandardItem(text);
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            items.append(item);
        }
        m_model->appendRow(items);
    }
    std::array<int, kColumns.size()> minimums{};
    for (std::size_t i = 0; i < kColumns.size(); ++i) minimums[i] = kColumns[i].width;
    tesmor::ui::fitColumns(*m_list, minimums);
    m_list->selectionModel()->clear();
}

void CDlgMapSettings::selectRow(int row) {
    if (row < 0 || row >= m_model->rowCount()) return;
    m_list->setFocus();
    const QModelIndex index = m_model->index(row, 0);
    m_list->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_list->scrollTo(index);
}

int CDlgMapSettings::selectionMark() const {
    const QModelIndex current = m_list->selectionModel()->currentIndex();
    if (!current.isValid() || !m_list->selectionModel()->isRowSelected(current.row(), QModelIndex()))
        return -1;
    return current.row();
}

void CDlgMapSettings::runEditor() {
    m_editorRun(*m_editor);
    m_lastEditorResult = m_editor->resultFlag();
}

void CDlgMapSettings::addRegister() {
    m_editor->setEditMode(false);
    runEditor();
    const tesmor::ItemCaptions captions = tesmor::loadItemCaptions(m_context.resources);
    while (m_lastEditorResult == 1) {
        const tesmor::RegisterInfo& entry = m_editor->registerInfo();
        const bool duplicate =
            std::any_of(m_entries.begin(), m_entries.end(), [&](const tesmor::RegisterInfo& existing) {
                return tesmor::entriesOverlap(existing, entry, captions);
            });
        if (!duplicate) {
            m_entries.push_back(configurationOf(entry));
            break;
        }
        tesmor::showMessage(m_context.resources.loadString(IDS_DUPLICATE_REGISTER),
                            tesmor::MessageIcon::Warning);
        runEditor();
    }
    fillList();
    selectRow(m_model->rowCount() - 1);
}

void CDlgMapSettings::copyRegister() {
    m_lastRow = selectionMark();
    if (m_lastRow < 0 || std::size_t(m_lastRow) >= m_entries.size()) return;
    const std::u16string sampleTime = m_context.resources.loadString(IDS_SAMPLE_TIME);
    tesmor::RegisterInfo copy = m_entries[std::size_t(m_lastRow)];
    std::int64_t address = copy.address;
    if (copy.dataType == tesmor::texts::typeFloat || copy.dataType == tesmor::texts::typeInt) {
        if (address >= 65535)
            address += 1;
        else
            address += copy.dataItem == sampleTime ? 5 : 2;
    } else {
        address += 1;
    }
    if (address >= 65535) {
        tesmor::showMessage(m_context.resources.loadString(IDS_ADDRESS_OUT_OF_RANGE),
                            tesmor::MessageIcon::Warning);
    } else {
        copy.address = static_cast<std::int32_t>(address);
        m_entries.push_back(std::move(copy));
    }
    fillList();
    selectRow(m_model->rowCount() - 1);
}

void CDlgMapSettings::deleteRegister() {
    m_lastRow = selectionMark();
    if (m_lastRow < 0) return;
    if (std::size_t(m_lastRow) < m_entries.size()) m_entries.erase(m_entries.begin() + m_lastRow);
    fillList();
    selectRow(m_lastRow < m_model->rowCount() ? m_lastRow : m_model->rowCount() - 1);
}

void CDlgMapSettings::deleteAll() {
    const auto reply = tesmor::showMessage(m_context.resources.loadString(IDS_DELETE_ALL_QUESTION),
                                           tesmor::MessageIcon::Question, tesmor::MessageButtons::YesNo);
    if (reply != tesmor::MessageReply::Yes) return;
    m_entries.clear();
    fillList();
}

void CDlgMapSettings::editRow(int row) {
    if (row < 0 || std::size_t(row) >= m_entries.size()) return;
    m_editor->setEditMode(true);
    m_editor->setRegisterInfo(m_entries[std::size_t(row)]);
    runEditor();
    if (m_lastEditorResult == 1) m_entries[std::size_t(row)] = m_editor->registerInfo();
    m_editor->setEditMode(false);
    fillList();
}

void CDlgMapSettings::accept() {
    tesmor::saveRegisterMap(m_context.profile, m_entries);
    // The saved map goes into use now, as it would at the next analysis.
    m_context.server.loadRegisterMap();
    if (m_rebuildList) m_rebuildList();
    QDialog::accept();
}
