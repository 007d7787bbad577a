#include "ui/TextFit.h"

#include <QAbstractItemDelegate>
#include <QAbstractItemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <algorithm>
#include <vector>

namespace tesmor::ui {

namespace {

// Widens the columns to the headings, the minimums and the cells of the rows `forEachRow` names.
template <typename ForEachRow>
void widenColumns(QTableView& view, std::span<const int> minimums, ForEachRow forEachRow) {
    const QAbstractItemModel* model = view.model();
    if (!model) return;
    QHeaderView* header = view.horizontalHeader();
    const int columns = model->columnCount();
    std::vector<int> wanted(std::size_t(std::max(columns, 0)), 0);
    for (int c = 0; c < columns; ++c) {
        wanted[std::size_t(c)] = header->isHidden() ? 0 : header->sectionSizeHint(c);
        if (std::size_t(c) < minimums.size())
            wanted[std::size_t(c)] = std::max(wanted[std::size_t(c)], minimums[std::size_t(c)]);
    }
    // What the delegate needs to paint a text without eliding it; the grid line takes a pixel
    // of the section.
    QStyleOptionViewItem option;
    option.initFrom(view.viewport());
    option.font = view.font();
    option.widget = &view;
    const int grid = view.showGrid() ? 1 : 0;
    forEachRow([&](int r) {
        for (int c = 0; c < columns; ++c) {
            const QModelIndex index = model->index(r, c);
            const int need = view.itemDelegateForIndex(index)->sizeHint(option, index).width() + grid;
            wanted[std::size_t(c)] = std::max(wanted[std::size_t(c)], need);
        }
    });
    for (int c = 0; c < columns; ++c)
        if (header->sectionSize(c) < wanted[std::size_t(c)]) header->resizeSection(c, wanted[std::size_t(c)]);
}

}  // namespace

void fitColumns(QTableView& view, std::span<const int> minimums) {
    const int rows = view.model() ? view.model()->rowCount() : 0;
    widenColumns(view, minimums, [rows](auto&& measure) {
        for (int r = 0; r < rows; ++r) measure(r);
    });
}

void fitColumnsToRows(QTableView& view, std::span<const int> rows) {
    widenColumns(view, {}, [rows](auto&& measure) {
        for (int r : rows) measure(r);
    });
}

int lineEditTextRoom(const QLineEdit& edit) {
    // As QLineEdit lays its text out: the style's contents rectangle, less the text margins and
    // the box's own two pixels on each side.
    constexpr int kInnerMargin = 2;
    QStyleOptionFrame option;
    option.initFrom(&edit);
    option.rect = edit.rect();
    option.lineWidth =
        edit.hasFrame() ? edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &edit) : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    if (edit.isReadOnly()) option.state |= QStyle::State_ReadOnly;
    option.features = QStyleOptionFrame::None;
    const QRect contents = edit.style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, &edit)
                               .marginsRemoved(edit.textMargins());
    return contents.width() - 2 * kInnerMargin;
}

void fitLineEdit(QLineEdit& edit, const QStringList& texts) {
    int widest = 0;
    for (const QString& text : texts) widest = std::max(widest, edit.fontMetrics().horizontalAdvance(text));
    const int chrome = edit.width() - lineEditTextRoom(edit);
    edit.setMinimumWidth(widest + chrome + 1);
}

}  // namespace tesmor::ui
