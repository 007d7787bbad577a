#pragma once
// The filters dialog (kFiltersDialog): which chromatograms are published. Two lists show every
// method and mixture name of the host database; a click puts a name into the filter or takes
// it out, and the filter's names show in light green. OK writes the filter to the profile
// (FilterSettings::save); Cancel discards, since every opening starts from the saved filter.
//
// The names read grow over the life of the object and are never emptied. A database failure
// while they are read is not fatal: the dialog opens with what it read and says in one line,
// in the dialog and in the log, what went wrong. GUI thread only.
#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "results/FilterSettings.h"
#include "ui/UiContext.h"

class QComboBox;
class QLabel;

namespace tesmor::ui {

class CGridCtrl;

class CDlgFilters : public QDialog {
    Q_OBJECT
public:
    static constexpr std::uint32_t kChosenColor = 0x0059FF83;  // light green
    static constexpr std::uint32_t kNotChosenColor = 0x00FFFFFF;

    // `context` must outlive the dialog. The filters live in the profile section "Filters".
    explicit CDlgFilters(const UiContext& context, QWidget* parent = nullptr);
    ~CDlgFilters() override;

    // Reads the names, fills the lists, loads the saved filter and marks its names. Runs each
    // time the dialog is shown.
    void initDialog();

    // Handlers. A click in a list toggles the list's first selected row (none: no change) and
    // then unselects the list.
    void methodsClicked();
    void mixturesClicked();
    void typeChosen(int index);
    void clearAll();
    // OK: saves the filter and closes.
    void accept() override;

    const tesmor::FilterSettings& filter() const { return filter_; }

    void setVisible(bool visible) override;

protected:
    // Space in a list toggles its current row, as a click does.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readNames();
    void fillLists();
    static void fillList(CGridCtrl& list, const std::set<std::u16string>& names);
    static void markRows(CGridCtrl& list, const std::set<std::u16string>& available,
                         const std::set<std::u16string>& chosen);
    static void toggle(CGridCtrl& list, std::set<std::u16string>& chosen);

    const UiContext& context_;
    std::set<std::u16string> availableMethods_;
    std::set<std::u16string> availableMixtures_;
    tesmor::FilterSettings filter_;
    std::array<QString, 3> typeCaptions_;
    QString databaseError_;

    CGridCtrl* methods_;
    CGridCtrl* mixtures_;
    QComboBox* type_;
    QLabel* errorLine_;
};

}  // namespace tesmor::ui
