#pragma once
// Room for texts: report-list columns that grow to their widest cell, edit boxes wide enough for
// the longest text they show. GUI thread only.
#include <QStringList>
#include <span>

class QLineEdit;
class QTableView;

namespace tesmor::ui {

// Widens each column of `view` that is narrower than its heading, its widest cell or
// minimums[column] (columns beyond the span have no minimum). Never narrows a column, so a width
// the user dragged wider stays.
void fitColumns(QTableView& view, std::span<const int> minimums = {});
// As fitColumns, measuring only the cells of `rows` (and the headings): for a list whose other
// rows were fitted before and have not changed since.
void fitColumnsToRows(QTableView& view, std::span<const int> rows);

// The pixels an edit box of its current size has for its text (what it shows without scrolling).
int lineEditTextRoom(const QLineEdit& edit);
// Sets the box's minimum width so each of `texts` shows whole.
void fitLineEdit(QLineEdit& edit, const QStringList& texts);

}  // namespace tesmor::ui
