#include "ui/CGridCtrl.h"

#include <QContextMenuEvent>
#include <QDate>
#include <QDateTime>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMouseEvent>
#include <QPalette>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTime>
#include <QToolTip>
#include <algorithm>
#include <set>

#include "ui/CGridCtrlEditCell.h"
#include "ui/DialogSupport.h"

namespace tesmor::ui {

namespace {

// Where a row's style pointer sits in each of the row's items.
constexpr int StyleRole = Qt::UserRole + 0x4752;

bool isRgb(std::uint32_t color) { return (color & 0xFF000000u) == 0; }

QColor fromColorRef(std::uint32_t color) {
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

// The leading decimal number of a text, as a C runtime's wcstod would read it; 0 when none.
double leadingNumber(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text.at(i).isSpace()) ++i;
    const qsizetype start = i;
    auto digits = [&] {
        const qsizetype from = i;
        while (i < n && text.at(i) >= u'0' && text.at(i) <= u'9') ++i;
        return i - from;
    };
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) ++i;
    qsizetype mantissa = digits();
    if (i < n && text.at(i) == u'.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0) return 0.0;
    qsizetype end = i;
    if (i < n && (text.at(i) == u'e' || text.at(i) == u'E')) {
        ++i;
        if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) ++i;
        if (digits() > 0) end = i;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(text.mid(start, end - start), &ok);
    return ok ? value : 0.0;
}

// The locale's format with a four-digit year where it has a two-digit one, as people type
// whole years into formats that show two.
QString withFullYear(const QString& format) {
    if (format.contains(QLatin1String("yyyy")) || !format.contains(QLatin1String("yy"))) return QString();
    QString full = format;
    return full.replace(QLatin1String("yy"), QLatin1String("yyyy"));
}

// A date and time in the user's locale (its short, long and narrow forms; date and time, date
// only or time only), or ISO 8601.
std::optional<QDateTime> parseDateTime(const QString& raw) {
    const QString text = raw.trimmed();
    if (text.isEmpty()) return std::nullopt;
    const QLocale locale;
    const QLocale::FormatType types[] = {QLocale::ShortFormat, QLocale::LongFormat, QLocale::NarrowFormat};
    for (QLocale::FormatType type : types) {
        const QString format = locale.dateTimeFormat(type);
        for (const QString& f : {format, withFullYear(format)}) {
            const QDateTime value = f.isEmpty() ? QDateTime() : locale.toDateTime(text, f);
            if (value.isValid()) return value;
        }
    }
    for (QLocale::FormatType type : types) {
        const QString format = locale.dateFormat(type);
        for (const QString& f : {format, withFullYear(format)}) {
            const QDate value = f.isEmpty() ? QDate() : locale.toDate(text, f);
            if (value.isValid()) return QDateTime(value, QTime(0, 0));
        }
    }
    for (QLocale::FormatType type : types) {
        const QTime value = locale.toTime(text, type);
        if (value.isValid()) return QDateTime(QDate(1899, 12, 30), value);
    }
    const QDateTime iso = QDateTime::fromString(text, Qt::ISODate);
    if (iso.isValid()) return iso;
    return std::nullopt;
}

template <typename T>
int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

// A cell. Sorting goes through the model's own stable sort so that selection and the focused
// row move with their rows; this is where the sort kind's comparison plugs in.
class CGridCtrl::Item : public QStandardItem {
public:
    explicit Item(const QString& text = QString()) : QStandardItem(text) {
        setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    }
    QStandardItem* clone() const override { return new Item(*this); }
    bool operator<(const QStandardItem& other) const override {
        const auto* grid = model() ? qobject_cast<const CGridCtrl*>(model()->parent()) : nullptr;
        if (!grid) return QStandardItem::operator<(other);
        return grid->compareTexts(text(), other.text()) < 0;
    }

private:
    Item(const Item& other) = default;
};

// Paints a row in its colours, aligns cells like their column and shows cut texts as tips.
class CGridCtrl::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(CGridCtrl& grid) : QStyledItemDelegate(&grid), grid_(grid) {}

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event && event->type() == QEvent::ToolTip && index.isValid()) {
            const QString text = index.data(Qt::DisplayRole).toString();
            const int margin = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
            if (option.fontMetrics.horizontalAdvance(text) > option.rect.width() - margin)
                QToolTip::showText(event->globalPos(), text, view, option.rect);
            else
                QToolTip::hideText();
            return true;
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const GridCellColors colors = grid_.paintColors(index.row());
        // Selected rows come out of paintColors already in the highlight colours, also when
        // the list has no focus.
        option->state &= ~QStyle::State_Selected;
        option->backgroundBrush = colors.background;
        option->palette.setColor(QPalette::Text, colors.text);
        option->displayAlignment =
            (grid_.columnAlignment(index.column()) & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter;
    }

private:
    CGridCtrl& grid_;
};

CGridCtrl::CGridCtrl(QWidget* parent) : QTableView(parent), model_(new QStandardItemModel(this)) {
    model_->setItemPrototype(new Item);
    setModel(model_);
    setItemDelegate(new Delegate(*this));

    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = horizontalHeader();
    header->setHighlightSections(false);
    header->setSectionsClickable(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(false);
    header->viewport()->installEventFilter(this);

    connect(header, &QHeaderView::sectionClicked, this, &CGridCtrl::headerClicked);
    connect(header, &QHeaderView::sectionMoved, this,
            [this](int logical, int, int newVisual) { columnMoved(logical, newVisual); });

    // Row and column indices change under an edit in progress: drop it.
    auto dropEdit = [this] {
        if (edit_) edit_->cancel();
    };
    connect(model_, &QAbstractItemModel::rowsAboutToBeInserted, this, dropEdit);
    connect(model_, &QAbstractItemModel::rowsAboutToBeRemoved, this, dropEdit);
    connect(model_, &QAbstractItemModel::columnsAboutToBeInserted, this, dropEdit);
    connect(model_, &QAbstractItemModel::columnsAboutToBeRemoved, this, dropEdit);
    connect(model_, &QAbstractItemModel::layoutAboutToBeChanged, this, dropEdit);
    connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, dropEdit);

    connect(model_, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex& parent, int first, int last) {
                if (!parent.isValid()) freeStyles(first, last);
            });
    connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] { styles_.clear(); });

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                std::set<int> rows;
                for (const QItemSelectionRange& range : selected)
                    for (int row = range.top(); row <= range.bottom(); ++row) rows.insert(row);
                for (int row : rows) {
                    // Only a row that had no selected cell before counts.
                    bool before = false;
                    for (int column = 0; column < columnCount() && !before; ++column) {
                        const QModelIndex index = cell(row, column);
                        before = (selectionModel()->isSelected(index) && !selected.contains(index)) ||
                                 deselected.contains(index);
                    }
                    if (before) continue;
                    GridNotification n;
                    n.code = GN_ROWSELECTED;
                    n.row = row;
                    n.column = 0;
                    notify(n);
                }
            });
}

CGridCtrl::~CGridCtrl() {
    // The members go before the widget's children; nothing may call back into them.
    horizontalHeader()->viewport()->removeEventFilter(this);
    disconnect(model_, nullptr, this, nullptr);
    disconnect(selectionModel(), nullptr, this, nullptr);
    disconnect(horizontalHeader(), nullptr, this, nullptr);
    if (edit_) edit_->detach();
}

void CGridCtrl::setControlId(int controlId) {
    controlId_ = controlId;
    setObjectName(controlName(controlId));
}

intptr_t CGridCtrl::notify(GridNotification notification) {
    notification.grid = this;
    notification.id = controlId_;
    return owner_ ? owner_->gridNotify(*this, notification) : 0;
}

QModelIndex CGridCtrl::cell(int row, int column) const {
    if (row < 0 || column < 0 || row >= model_->rowCount() || column >= model_->columnCount())
        return QModelIndex();
    return model_->index(row, column);
}

int CGridCtrl::insertColumn(int column, const QString& caption, int width, Qt::Alignment alignment) {
    column = std::clamp(column, 0, model_->columnCount());
    const int rows = model_->rowCount();
    // The new cells carry the row's style like the others.
    std::vector<GridRowStyle*> styles(std::size_t(rows), nullptr);
    for (int row = 0; row < rows; ++row) styles[std::size_t(row)] = rowStyle(row);
    model_->insertColumns(column, 1);
    for (int row = 0; row < rows; ++row) {
        auto* item = new Item;
        if (GridRowStyle* style = styles[std::size_t(row)])
            item->setData(QVariant::fromValue(quintptr(style)), StyleRole);
        model_->setItem(row, column, item);
    }
    model_->setHeaderData(column, Qt::Horizontal, caption, Qt::DisplayRole);
    const Qt::Alignment horizontal = alignment & Qt::AlignHorizontal_Mask;
    model_->setHeaderData(column, Qt::Horizontal, QVariant::fromValue(horizontal | Qt::AlignVCenter),
                          Qt::TextAlignmentRole);
    setColumnWidth(column, std::max(width, 0));
    return column;
}

void CGridCtrl::deleteColumn(int column) {
    if (column >= 0 && column < model_->columnCount()) model_->removeColumns(column, 1);
}

int CGridCtrl::columnCount() const { return model_->columnCount(); }

Qt::Alignment CGridCtrl::columnAlignment(int column) const {
    if (column < 0 || column >= model_->columnCount()) return Qt::AlignLeft;
    const QVariant value = model_->headerData(column, Qt::Horizontal, Qt::TextAlignmentRole);
    const Qt::Alignment horizontal = Qt::Alignment(value.toInt()) & Qt::AlignHorizontal_Mask;
    return horizontal ? horizontal : Qt::AlignLeft;
}

int CGridCtrl::insertRow(int row, const QString& text) {
    const int columns = model_->columnCount();
    if (columns == 0) return -1;
    row = std::clamp(row, 0, model_->rowCount());
    QList<QStandardItem*> items;
    items.reserve(columns);
    for (int column = 0; column < columns; ++column) items.append(new Item(column == 0 ? text : QString()));
    model_->insertRow(row, items);
    return row;
}

int CGridCtrl::rowCount() const { return model_->rowCount(); }

QString CGridCtrl::itemText(int row, int column) const {
    const QModelIndex index = cell(row, column);
    return index.isValid() ? index.data(Qt::DisplayRole).toString() : QString();
}

void CGridCtrl::setItemText(int row, int column, const QString& text) {
    const QModelIndex index = cell(row, column);
    if (index.isValid()) model_->setData(index, text, Qt::DisplayRole);
}

bool CGridCtrl::setRowStyle(int row, std::unique_ptr<GridRowStyle> style) {
    if (!cell(row, 0).isValid() || !style) return false;
    if (GridRowStyle* old = rowStyle(row)) styles_.erase(old);
    GridRowStyle* raw = style.get();
    styles_.emplace(raw, std::move(style));
    for (int column = 0; column < model_->columnCount(); ++column)
        if (QStandardItem* item = model_->item(row, column))
            item->setData(QVariant::fromValue(quintptr(raw)), StyleRole);
    return true;
}

GridRowStyle* CGridCtrl::rowStyle(int row) const {
    if (row < 0 || row >= model_->rowCount()) return nullptr;
    for (int column = 0; column < model_->columnCount(); ++column) {
        const QStandardItem* item = model_->item(row, column);
        if (!item) continue;
        const auto raw = reinterpret_cast<GridRowStyle*>(item->data(StyleRole).value<quintptr>());
        // Only styles the grid still holds count.
        if (raw && styles_.count(raw)) return raw;
    }
    return nullptr;
}

void CGridCtrl::updateRow(int row) {
    if (row < 0 || row >= model_->rowCount() || model_->columnCount() == 0) return;
    const QRect first = visualRect(model_->index(row, 0));
    viewport()->update(QRect(0, first.top(), viewport()->width(), first.height()));
}

GridCellColors CGridCtrl::paintColors(int row) const {
    const QPalette& colors = palette();
    if (row >= 0 && row < model_->rowCount() &&
        selectionModel()->rowIntersectsSelection(row, QModelIndex())) {
        return {colors.color(QPalette::Active, QPalette::HighlightedText),
                colors.color(QPalette::Active, QPalette::Highlight)};
    }
    GridCellColors result{colors.color(QPalette::Active, QPalette::Text),
                          colors.color(QPalette::Active, QPalette::Base)};
    if (const GridRowStyle* style = rowStyle(row)) {
        if (isRgb(style->textColor)) result.text = fromColorRef(style->textColor);
        if (isRgb(style->backgroundColor)) result.background = fromColorRef(style->backgroundColor);
    }
    return result;
}

void CGridCtrl::freeStyles(int firstRow, int lastRow) {
    for (int row = std::max(firstRow, 0); row <= lastRow; ++row)
        if (GridRowStyle* style = rowStyle(row)) styles_.erase(style);
}

void CGridCtrl::deleteAllRows() {
    if (edit_) edit_->cancel();
    styles_.clear();
    model_->removeRows(0, model_->rowCount());
}

CGridCtrlEditCell* CGridCtrl::beginEdit(int row, int column) {
    QModelIndex index = cell(row, column);
    if (!index.isValid()) return nullptr;
    if (!visualRect(index).intersects(viewport()->rect())) scrollTo(index, QAbstractItemView::EnsureVisible);

    GridNotification n;
    n.code = GN_BEGINEDIT;
    n.row = row;
    n.column = column;
    if (notify(n) == 0) return nullptr;

    if (edit_) edit_->commit();
    // The owner, or the end of the earlier edit, may have changed the rows.
    index = cell(row, column);
    if (!index.isValid()) return nullptr;

    auto* edit = new CGridCtrlEditCell(*this, row, column, itemText(row, column), viewport());
    edit->setAlignment((columnAlignment(column) & Qt::AlignHorizontal_Mask) | Qt::AlignVCenter);
    edit->setGeometry(visualRect(index).adjusted(0, -2, 0, 2));
    edit_ = edit;
    edit->show();
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    return edit;
}

void CGridCtrl::endEdit() {
    if (edit_) edit_->commit();
}

void CGridCtrl::editEnded(CGridCtrlEditCell& edit, const std::optional<QString>& text) {
    if (edit_ == &edit) edit_ = nullptr;
    if (!text) return;
    const int row = edit.row();
    const int column = edit.column();
    if (!cell(row, column).isValid()) return;
    const QString old = itemText(row, column);
    if (*text == old) return;
    setItemText(row, column, *text);
    GridNotification n;
    n.code = GN_CELLCHANGED;
    n.row = row;
    n.column = column;
    if (notify(n) == 0) setItemText(row, column, old);
}

void CGridCtrl::doubleClicked(int row, int column) {
    intptr_t result = 0;
    GridNotification n;
    n.code = GN_DBLCLICK;
    n.row = row;
    n.column = column;
    n.result = &result;
    notify(n);
    if (result != 0 || row < 0 || row >= model_->rowCount() || model_->columnCount() == 0) return;
    const QModelIndex current = selectionModel()->currentIndex();
    if (current.isValid() && current.row() == row) {
        beginEdit(row, column);
        return;
    }
    QItemSelectionModel::SelectionFlags flags = QItemSelectionModel::Rows;
    flags |= selectionMode() == QAbstractItemView::SingleSelection ? QItemSelectionModel::ClearAndSelect
                                                                   : QItemSelectionModel::Select;
    selectionModel()->setCurrentIndex(model_->index(row, 0), flags);
}

int CGridCtrl::compareTexts(const QString& a, const QString& b) const {
    switch (sortKind_) {
        case GRID_SORT_NUMERIC:
            return threeWay(leadingNumber(a), leadingNumber(b));
        case GRID_SORT_DATE: {
            const std::optional<QDateTime> left = parseDateTime(a);
            const std::optional<QDateTime> right = parseDateTime(b);
            if (!left || !right) return 0;
            return threeWay(*left, *right);
        }
        default:
            return std::clamp(QString::compare(a, b, Qt::CaseInsensitive), -1, 1);
    }
}

void CGridCtrl::headerClicked(int column) {
    sortAscending_ = column != sortColumn_ ? true : !sortAscending_;
    if (!horizontalHeader()->sectionsClickable()) return;
    sortColumn_ = column;
    GridNotification n;
    n.code = GN_SORT;
    n.column = column;
    n.ascending = sortAscending_ ? 1 : 0;
    const intptr_t reply = notify(n);
    sortKind_ = reply == 0 ? GRID_SORT_NONE : static_cast<int>(reply);
    if (reply != 0 && sortKind_ == GRID_SORT_NONE)
        sortKind_ = GRID_SORT_TEXT;  // a wide reply that truncates to 0 still asks for text
    if (sortKind_ != GRID_SORT_NONE && column >= 0 && column < model_->columnCount()) {
        arrowColumn_ = column;
        arrowAscending_ = sortAscending_;
        if (edit_) edit_->commit();
        model_->sort(column, sortAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
    }
    // The header flips its own indicator on a click; show only what was sorted.
    showSortArrows();
}

void CGridCtrl::showSortArrows() {
    QHeaderView* header = horizontalHeader();
    if (arrowColumn_ < 0 || arrowColumn_ >= model_->columnCount()) {
        header->setSortIndicatorShown(false);
        header->setSortIndicator(-1, Qt::AscendingOrder);
        return;
    }
    header->setSortIndicator(arrowColumn_, arrowAscending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
    header->setSortIndicatorShown(true);
}

bool CGridCtrl::beginColumnResize(int column) {
    if (column < 0 || column >= model_->columnCount() || columnWidth(column) == 0) return false;
    GridNotification n;
    n.code = GN_BEGINRESIZE;
    n.column = column;
    return notify(n) == 0;
}

void CGridCtrl::endColumnResize(int column, int newWidth) {
    if (column < 0 || column >= model_->columnCount()) return;
    GridNotification n;
    n.code = GN_ENDRESIZE;
    n.column = column;
    n.width = newWidth;
    notify(n);
}

void CGridCtrl::columnMoved(int column, int newPosition) {
    if (column < 0 || column >= model_->columnCount() || columnWidth(column) == 0) return;
    GridNotification n;
    n.code = GN_COLUMNMOVED;
    n.column = column;
    n.position = newPosition;
    notify(n);
}

void CGridCtrl::contextMenuAt(std::optional<QPoint> screenPos) {
    GridNotification n;
    n.code = GN_CONTEXTMENU;
    n.screenPos = screenPos ? *screenPos : mapToGlobal(contentsRect().topLeft() + QPoint(5, 5));
    notify(n);
}

void CGridCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QTableView::mouseDoubleClickEvent(event);
        return;
    }
    const QPoint pos = event->position().toPoint();
    doubleClicked(rowAt(pos.y()), columnAt(pos.x()));
    // Qt's own handling ends the press: without it the release that follows counts as a second
    // click, and a click handler would run twice.
    QTableView::mouseDoubleClickEvent(event);
    event->accept();
}

void CGridCtrl::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Keyboard)
        contextMenuAt(std::nullopt);
    else
        contextMenuAt(event->globalPos());
    event->accept();
}

void CGridCtrl::scrollContentsBy(int dx, int dy) {
    // The edit box would scroll away from its cell.
    if (edit_) edit_->commit();
    QTableView::scrollContentsBy(dx, dy);
}

int CGridCtrl::dividerAt(int x) const {
    const QHeaderView* header = horizontalHeader();
    const int visual = header->visualIndexAt(x);
    if (visual < 0) return -1;
    const int logical = header->logicalIndex(visual);
    const int start = header->sectionViewportPosition(logical);
    const int grip = header->style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, header);
    bool atStart = x < start + grip;
    bool atEnd = x > start + header->sectionSize(logical) - grip;
    if (header->isRightToLeft()) std::swap(atStart, atEnd);
    int column = -1;
    if (atStart) {
        for (int v = visual - 1; v >= 0 && column < 0; --v)
            if (!header->isSectionHidden(header->logicalIndex(v))) column = header->logicalIndex(v);
    } else if (atEnd) {
        column = logical;
    }
    if (column >= 0 && header->sectionResizeMode(column) != QHeaderView::Interactive) return -1;
    return column;
}

bool CGridCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == horizontalHeader()->viewport()) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (mouse->button() != Qt::LeftButton) break;
                const int column = dividerAt(mouse->position().toPoint().x());
                if (column < 0) break;
                if (!beginColumnResize(column)) return true;
                resizeColumn_ = column;
                resizeStartWidth_ = columnWidth(column);
                break;
            }
            case QEvent::MouseButtonDblClick: {
                // Auto-sizing would show a hidden (zero-width) column again.
                auto* mouse = static_cast<QMouseEvent*>(event);
                const int column = dividerAt(mouse->position().toPoint().x());
                if (column >= 0 && columnWidth(column) == 0) return true;
                break;
            }
            case QEvent::MouseButtonRelease: {
                const int column = std::exchange(resizeColumn_, -1);
                if (column >= 0 && column < model_->columnCount() && columnWidth(column) != resizeStartWidth_)
                    endColumnResize(column, columnWidth(column));
                break;
            }
            default:
                break;
        }
    }
    return QTableView::eventFilter(watched, event);
}

}  // namespace tesmor::ui
