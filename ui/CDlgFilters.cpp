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
#include "platform/ResourceIds.h"
#include "results/AssayRecords.h"
#include "results/SqlDatabase.h"
#include "results/SqlException.h"
#include "ui/CGridCtrl.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"

namespace tesmor::ui {

using tesmor::FilterSettings;
using namespace res;
using namespace res::filters;

namespace {

constexpr unsigned kTypeCaptionIds[] = {kTypeAny, kTypeCalibration, kTypeAnalysis};
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

CDlgFilters::CDlgFilters(const UiContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("CDlgFilters"));
    setWindowTitle(dialogText(context, kFiltersDialog, kCaption));
    setWindowIcon(moduleIcon());

    auto makeList = [&](int id, QAbstractItemView::SelectionMode mode) {
        auto* list = new CGridCtrl(this);
        list->setControlId(id);
        list->setSelectionMode(mode);
        list->horizontalHeader()->hide();
        list->horizontalHeader()->setStretchLastSection(true);
        list->setMinimumSize(220, 240);
        return list;
    };
    methods_ = makeList(kMethods, QAbstractItemView::SingleSelection);
    mixtures_ = makeList(kMixtures, QAbstractItemView::ExtendedSelection);
    type_ = withId(new QComboBox(this), kType);
    auto* clear = withId(new QPushButton(dialogText(context, kFiltersDialog, kClear), this), kClear);
    clear->setAutoDefault(false);
    errorLine_ = withId(new QLabel(this), kDatabaseError);
    errorLine_->setWordWrap(false);
    errorLine_->setTextFormat(Qt::PlainText);
    errorLine_->hide();

    auto group = [&](unsigned id, QWidget* content) {
        auto* box = withId(new QGroupBox(dialogText(context, kFiltersDialog, id), this), int(id));
        auto* inner = new QVBoxLayout(box);
        inner->addWidget(content);
        return box;
    };
    auto* lists = new QHBoxLayout;
    lists->addWidget(group(kMethodsGroup, methods_));
    lists->addWidget(group(kMixturesGroup, mixtures_));

    auto* ok = withId(new QPushButton(dialogText(context, kFiltersDialog, kOk), this), kOk);
    ok->setDefault(true);
    auto* cancel = withId(new QPushButton(dialogText(context, kFiltersDialog, kCancel), this), kCancel);
    cancel->setAutoDefault(false);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(group(kTypeGroup, type_), 1);
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
    layout->addWidget(errorLine_);
    layout->addLayout(closing);

    methods_->installEventFilter(this);
    mixtures_->installEventFilter(this);
    connect(methods_, &QAbstractItemView::clicked, this, &CDlgFilters::methodsClicked);
    connect(mixtures_, &QAbstractItemView::clicked, this, &CDlgFilters::mixturesClicked);
    connect(type_, &QComboBox::activated, this, &CDlgFilters::typeChosen);
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
    type_->clear();
    for (std::size_t i = 0; i < std::size(kTypeCaptionIds); ++i) {
        typeCaptions_[i] = loadString(context_, kTypeCaptionIds[i]).left(255);
        type_->addItem(typeCaptions_[i]);
    }
    type_->setCurrentIndex(0);

    readNames();
    fillLists();

    filter_.load(context_.profile);
    markRows(*methods_, availableMethods_, filter_.methods);
    markRows(*mixtures_, availableMixtures_, filter_.mixtures);
    for (int i = 0; i < int(std::size(kTypeByIndex)); ++i)
        if (kTypeByIndex[i] == filter_.chrmType) type_->setCurrentIndex(i);
}

void CDlgFilters::readNames() {
    // Each list is read on its own, so a failure of one still shows the other.
    std::string failure;
    try {
        DataBase::SqlDatabase database;
        database.open(context_.database ? context_.database->connectionUri() : std::nullopt);
        for (std::u16string_view sql : {tesmor::kMethodNamesSql, tesmor::kMixtureNamesSql}) {
            try {
                tesmor::readNames(database, sql,
                                  sql == tesmor::kMethodNamesSql ? availableMethods_ : availableMixtures_);
            } catch (const std::exception& error) {
                if (failure.empty()) failure = describe(error);
            }
        }
    } catch (const std::exception& error) {
        failure = describe(error);
    }

    if (failure.empty()) {
        databaseError_.clear();
        errorLine_->hide();
        return;
    }
    tesmor::logLine("filters: names not read from the host database: " + failure);
    databaseError_ =
        dialogText(context_, kFiltersDialog, kDatabaseError) + u' ' + QString::fromStdString(failure);
    databaseError_.replace(u'\n', u' ');
    errorLine_->setText(databaseError_);
    errorLine_->setToolTip(databaseError_);
    errorLine_->show();
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
    fillList(*methods_, availableMethods_);
    fillList(*mixtures_, availableMixtures_);
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
    auto* list = watched == methods_ ? methods_ : watched == mixtures_ ? mixtures_ : nullptr;
    if (!list || event->type() != QEvent::KeyPress ||
        static_cast<QKeyEvent*>(event)->key() != Qt::Key_Space ||
        static_cast<QKeyEvent*>(event)->modifiers() != Qt::NoModifier)
        return QDialog::eventFilter(watched, event);
    const QModelIndex current = list->selectionModel()->currentIndex();
    if (current.isValid()) {
        list->selectionModel()->select(current,
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        toggle(*list, list == methods_ ? filter_.methods : filter_.mixtures);
        // The keyboard user goes on from the row just toggled.
        list->selectionModel()->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    }
    return true;
}

void CDlgFilters::methodsClicked() { toggle(*methods_, filter_.methods); }

void CDlgFilters::mixturesClicked() { toggle(*mixtures_, filter_.mixtures); }

void CDlgFilters::typeChosen(int index) {
    if (index >= 0 && index < int(std::size(kTypeByIndex))) filter_.chrmType = kTypeByIndex[index];
}

void CDlgFilters::clearAll() {
    filter_.methods.clear();
    filter_.mixtures.clear();
    for (CGridCtrl* list : {methods_, mixtures_}) {
        list->deleteColumn(0);
        list->deleteAllRows();
    }
    filter_.chrmType = FilterSettings::kAnyType;
    type_->setCurrentIndex(0);
    fillLists();
}

void CDlgFilters::accept() {
    FilterSettings::save(context_.profile, filter_.methods, filter_.mixtures, filter_.chrmType);
    QDialog::accept();
}

}  // namespace tesmor::ui
