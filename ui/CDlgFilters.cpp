#include "ui/CDlgFilters.h"

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QModelIndex>
#include <QPushButton>
#include <QVBoxLayout>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "platform/Log.h"
#include "results/AssayRecords.h"
#include "results/DataBaseConnection.h"
#include "results/SqlDatabase.h"
#include "results/SqlException.h"
#include "ui/CGridCtrl.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"

using tesmor::FilterSettings;
using tesmor::ui::dialogText;
using tesmor::ui::loadString;
using tesmor::ui::toQString;
using tesmor::ui::toU16;
using tesmor::ui::withId;

namespace {

enum LabelId : unsigned { GroupMethods = 2001, GroupMixtures = 2002, GroupType = 2003 };

constexpr unsigned kTypeCaptionIds[] = {112, 113, 114};
// chrmType by combo index.
constexpr std::int32_t kTypeByIndex[] = {FilterSettings::kAnyType, FilterSettings::kCalibration,
                                         FilterSettings::kAnalysis};

std::string describe(const std::exception& error) {
    std::string text = error.what();
    if (const auto* sql = dynamic_cast<const DataBase::SqlException*>(&error); sql && !sql->sql().empty())
        text += " (" + sql->sql() + ")";
    return text;
}

}  // namespace

CDlgFilters::CDlgFilters(const tesmor::ui::UiContext& context, QWidget* parent)
    : QDialog(parent), m_context(context) {
    setObjectName(QStringLiteral("CDlgFilters"));
    setWindowTitle(dialogText(context, templateId, 0));
    setWindowIcon(tesmor::ui::moduleIcon());

    auto makeList = [&](int id, QAbstractItemView::SelectionMode mode) {
        auto* list = new CGridCtrl(this);
        list->setControlId(id);
        list->setSelectionMode(mode);
        list->horizontalHeader()->hide();
        list->horizontalHeader()->setStretchLastSection(true);
        list->setMinimumSize(220, 240);
        return list;
    };
    m_methods = makeList(IDC_METHODS, QAbstractItemView::SingleSelection);
    m_mixtures = makeList(IDC_MIXTURES, QAbstractItemView::ExtendedSelection);
    m_type = withId(new QComboBox(this), IDC_TYPE);
    auto* clear = withId(new QPushButton(dialogText(context, templateId, IDC_CLEAR), this), IDC_CLEAR);
    clear->setAutoDefault(false);
    m_errorLine = withId(new QLabel(this), IDC_DATABASE_ERROR);
    m_errorLine->setWordWrap(false);
    m_errorLine->setTextFormat(Qt::PlainText);
    m_errorLine->hide();

    auto group = [&](unsigned id, QWidget* content) {
        auto* box = withId(new QGroupBox(dialogText(context, templateId, id), this), int(id));
        auto* inner = new QVBoxLayout(box);
        inner->addWidget(content);
        return box;
    };
    auto* lists = new QHBoxLayout;
    lists->addWidget(group(GroupMethods, m_methods));
    lists->addWidget(group(GroupMixtures, m_mixtures));

    auto* ok = withId(new QPushButton(dialogText(context, templateId, 1), this), 1);
    ok->setDefault(true);
    auto* cancel = withId(new QPushButton(dialogText(context, templateId, 2), this), 2);
    cancel->setAutoDefault(false);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(group(GroupType, m_type), 1);
    auto* buttons = new QVBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(clear);
    bottom->addLayout(buttons);

    auto* closing = new QHBoxLayout;
    closing->addStretch(1);
    closing->addWidget(ok);
    closing->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(lists, 1);
    layout->addLayout(bottom);
    layout->addWidget(m_errorLine);
    layout->addLayout(closing);

    m_methods->installEventFilter(this);
    m_mixtures->installEventFilter(this);
    connect(m_methods, &QAbstractItemView::clicked, this, &CDlgFilters::methodsClicked);
    connect(m_mixtures, &QAbstractItemView::clicked, this, &CDlgFilters::mixturesClicked);
    connect(m_type, &QComboBox::activated, this, &CDlgFilters::typeChosen);
    connect(clear, &QPushButton::clicked, this, &CDlgFilters::clearAll);
    connect(ok, &QPushButton::clicked, this, &CDlgFilters::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgFilters::reject);
}

CDlgFilters::~CDlgFilters() = default;

void CDlgFilters::setVisible(bool visible) {
    if (visible && !isVisible()) initDialog();
    QDialog::setVisible(visible);
}

void CDlgFilters::initDialog() {
    m_type->clear();
    for (std::size_t i = 0; i < std::size(kTypeCaptionIds); ++i) {
        m_typeCaptions[i] = loadString(m_context, kTypeCaptionIds[i]).left(255);
        m_type->addItem(m_typeCaptions[i]);
    }
    m_type->setCurrentIndex(0);

    readNames();
    fillLists();

    m_filter.load(m_context.profile);
    markRows(*m_methods, m_availableMethods, m_filter.methods);
    markRows(*m_mixtures, m_availableMixtures, m_filter.mixtures);
    for (int i = 0; i < int(std::size(kTypeByIndex)); ++i)
        if (kTypeByIndex[i] == m_filter.chrmType) m_type->setCurrentIndex(i);
}

void CDlgFilters::readNames() {
    // Each list is read on its own, so a failure of one still shows the other.
    std::string failure;
    try {
        DataBase::SqlDatabase database;
        database.open(DataBaseConnection::instance().connectionUri());
        for (std::u16string_view sql : {tesmor::kMethodNamesSql, tesmor::kMixtureNamesSql}) {
            try {
                tesmor::readNames(database, sql,
                                  sql == tesmor::kMethodNamesSql ? m_availableMethods : m_availableMixtures);
            } catch (const std::exception& error) {
                if (failure.empty()) failure = describe(error);
            }
        }
    } catch (const std::exception& error) {
        failure = describe(error);
    }

    if (failure.empty()) {
        m_databaseError.clear();
        m_errorLine->hide();
        return;
    }
    tesmor::logLine("filters: names not read from the host database: " + failure);
    m_databaseError =
        dialogText(m_context, templateId, IDC_DATABASE_ERROR) + u' ' + QString::fromStdString(failure);
    m_databaseError.replace(u'\n', u' ');
    m_errorLine->setText(m_databaseError);
    m_errorLine->setToolTip(m_databaseError);
    m_errorLine->show();
}

void CDlgFilters::fillList(CGridCtrl& list, const std::set<std::u16string>& names) {
    if (list.columnCount() == 0) list.insertColumn(0, QString(), list.viewport()->width());
    list.deleteAllRows();
    for (const std::u16string& name : names) {
        const int row = list.insertRow(list.rowCount(), toQString(name));
        list.setRowStyle(row, std::make_unique<GridRowStyle>());
    }
}

void CDlgFilters::fillLists() {
    fillList(*m_methods, m_availableMethods);
    fillList(*m_mixtures, m_availableMixtures);
}

void CDlgFilters::markRows(CGridCtrl& list, const std::set<std::u16string>& available,
                           const std::set<std::u16string>& chosen) {
    for (const std::u16string& name : chosen) {
        const auto found = available.find(name);
        if (found == available.end()) continue;
        const int row = int(std::distance(available.begin(), found));
        if (GridRowStyle* style = list.rowStyle(row)) {
            style->backgroundColor = kChosenColor;
            list.updateRow(row);
        }
    }
}

void CDlgFilters::toggle(CGridCtrl& list, std::set<std::u16string>& chosen) {
    int row = -1;
    for (const QModelIndex& index : list.selectionModel()->selectedIndexes())
        if (row < 0 || index.row() < row) row = index.row();
    if (row < 0) return;
    const std::u16string name = toU16(list.itemText(row, 0));
    GridRowStyle* style = list.rowStyle(row);
    if (chosen.erase(name) > 0) {
        if (style) style->backgroundColor = kNotChosenColor;
    } else {
        chosen.insert(name);
        if (style) style->backgroundColor = kChosenColor;
    }
    list.updateRow(row);
    // Unselected, so the row shows its new colour rather than the highlight.
    list.selectionModel()->clear();
}

bool CDlgFilters::eventFilter(QObject* watched, QEvent* event) {
    auto* list = watched == m_methods ? m_methods : watched == m_mixtures ? m_mixtures : nullptr;
    if (!list || event->type() != QEvent::KeyPress ||
        static_cast<QKeyEvent*>(event)->key() != Qt::Key_Space ||
        static_cast<QKeyEvent*>(event)->modifiers() != Qt::NoModifier)
        return QDialog::eventFilter(watched, event);
    const QModelIndex current = list->selectionModel()->currentIndex();
    if (current.isValid()) {
        list->selectionModel()->select(current,
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        toggle(*list, list == m_methods ? m_filter.methods : m_filter.mixtures);
        // The keyboard user goes on from the row just toggled.
        list->selectionModel()->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    }
    return true;
}

void CDlgFilters::methodsClicked() { toggle(*m_methods, m_filter.methods); }

void CDlgFilters::mixturesClicked() { toggle(*m_mixtures, m_filter.mixtures); }

void CDlgFilters::typeChosen(int index) {
    if (index >= 0 && index < int(std::size(kTypeByIndex))) m_filter.chrmType = kTypeByIndex[index];
}

void CDlgFilters::clearAll() {
    m_filter.methods.clear();
    m_filter.mixtures.clear();
    for (CGridCtrl* list : {m_methods, m_mixtures}) {
        list->deleteColumn(0);
        list->deleteAllRows();
    }
    m_filter.chrmType = FilterSettings::kAnyType;
    m_type->setCurrentIndex(0);
    fillLists();
}

void CDlgFilters::accept() {
    FilterSettings::save(m_context.profile, m_filter.methods, m_filter.mixtures, m_filter.chrmType);
    QDialog::accept();
}
