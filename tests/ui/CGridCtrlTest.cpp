// CGridCtrl and its edit box, driven through their operations and through real keys and mouse
// events in a dialog with a default button.

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTest>
#include <QVBoxLayout>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "ui/CGridCtrl.h"
#include "ui/CGridCtrlEditCell.h"

using namespace tesmor::ui;

namespace {

// Records every notification and answers from a table (0 for codes not in it).
class RecordingOwner : public CGridCtrlOwner {
public:
    std::map<int, intptr_t> replies;
    intptr_t doubleClickResult = 0;
    std::vector<GridNotification> received;
    QString textAtCellChanged;  // the cell's text while GN_CELLCHANGED is being handled

    intptr_t gridNotify(CGridCtrl& grid, const GridNotification& n) override {
        received.push_back(n);
        if (n.code == GN_CELLCHANGED) textAtCellChanged = grid.itemText(n.row, n.column);
        if (n.code == GN_DBLCLICK && n.result) *n.result = doubleClickResult;
        const auto reply = replies.find(n.code);
        return reply == replies.end() ? 0 : reply->second;
    }
    int count(int code) const {
        int n = 0;
        for (const GridNotification& r : received) n += r.code == code;
        return n;
    }
    std::optional<GridNotification> last(int code) const {
        for (auto it = received.rbegin(); it != received.rend(); ++it)
            if (it->code == code) return *it;
        return std::nullopt;
    }
};

// A shown, active dialog holding one grid (id 1047: a name column and a right-aligned value
// column), a line edit to move the focus to, and OK as the default button.
struct GridDialog {
    RecordingOwner owner;  // outlives the dialog
    QDialog dialog;
    CGridCtrl* grid;
    QLineEdit* other;
    int finished = 0;

    explicit GridDialog(const QStringList& names) {
        auto* layout = new QVBoxLayout(&dialog);
        grid = new CGridCtrl(&dialog);
        grid->setControlId(1047);
        grid->setOwner(&owner);
        grid->insertColumn(0, QStringLiteral("Name"), 120);
        grid->insertColumn(1, QStringLiteral("Value"), 80, Qt::AlignRight);
        for (const QString& name : names) grid->insertRow(grid->rowCount(), name);
        other = new QLineEdit(&dialog);
        auto* buttons = new QHBoxLayout;
        auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
        ok->setDefault(true);
        QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
        QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
        QObject::connect(&dialog, &QDialog::finished, [this] { ++finished; });
        layout->addWidget(grid);
        layout->addWidget(other);
        buttons->addWidget(ok);
        buttons->addWidget(cancel);
        layout->addLayout(buttons);
        dialog.resize(320, 260);
        dialog.show();
        dialog.activateWindow();
    }

    bool active() { return QTest::qWaitForWindowActive(&dialog); }
    QPoint cellCenter(int row, int column) const {
        return grid->visualRect(grid->model()->index(row, column)).center();
    }
    QStringList column(int column) const {
        QStringList texts;
        for (int row = 0; row < grid->rowCount(); ++row) texts << grid->itemText(row, column);
        return texts;
    }
};

enum class EditEnd { Return, KeypadEnter, Escape, FocusElsewhere, Scroll };

}  // namespace

Q_DECLARE_METATYPE(EditEnd)
Q_DECLARE_METATYPE(std::optional<GridRowStyle>)

class CGridCtrlTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void editEnds_data();
    void editEnds();
    void beginEditPlacesTheBoxOverTheCell();
    void beginEditRefusals_data();
    void beginEditRefusals();
    void doubleClickFocusesThenEdits();
    void doubleClickOnNoRowOrTakenOver();
    void rowColours_data();
    void rowColours();
    void sorting_data();
    void sorting();
    void sortingKeepsRowsWhole();
    void sortReplyZeroOrNoSortHeader();
    void deleteAllRowsFreesStyles();
    void headerResizeAndMove();
    void contextMenuPoint();
    void rowSelectedOnlyOnChange();
    void destroyedWhileEditing();
};

void CGridCtrlTest::editEnds_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<EditEnd>("end");
    QTest::addColumn<intptr_t>("reply");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("changes");

    QTest::newRow("escape after typing") << "Beta" << EditEnd::Escape << intptr_t(1) << "Alpha" << 0;
    QTest::newRow("enter unchanged") << "Alpha" << EditEnd::Return << intptr_t(1) << "Alpha" << 0;
    QTest::newRow("enter case only") << "ALPHA" << EditEnd::Return << intptr_t(1) << "ALPHA" << 1;
    QTest::newRow("enter refused") << "Beta" << EditEnd::Return << intptr_t(0) << "Alpha" << 1;
    QTest::newRow("keypad enter") << "Beta" << EditEnd::KeypadEnter << intptr_t(1) << "Beta" << 1;
    QTest::newRow("focus elsewhere") << "Beta" << EditEnd::FocusElsewhere << intptr_t(1) << "Beta" << 1;
    QTest::newRow("focus elsewhere refused")
        << "Beta" << EditEnd::FocusElsewhere << intptr_t(0) << "Alpha" << 1;
    QTest::newRow("scrolling") << "Beta" << EditEnd::Scroll << intptr_t(1) << "Beta" << 1;
}

void CGridCtrlTest::editEnds() {
    QFETCH(QString, typed);
    QFETCH(EditEnd, end);
    QFETCH(intptr_t, reply);
    QFETCH(QString, expected);
    QFETCH(int, changes);

    QStringList names{QStringLiteral("Alpha")};
    for (int i = 0; i < 60; ++i) names << QStringLiteral("row %1").arg(i);
    GridDialog d(names);
    QVERIFY(d.active());
    d.owner.replies = {{GN_BEGINEDIT, 1}, {GN_CELLCHANGED, reply}};

    CGridCtrlEditCell* edit = d.grid->beginEdit(0, 0);
    QVERIFY(edit);
    QCOMPARE(QApplication::focusWidget(), edit);
    QTest::keyClicks(edit, typed);  // replaces the text, which starts out selected
    QCOMPARE(edit->text(), typed);
    switch (end) {
        case EditEnd::Return:
            QTest::keyClick(edit, Qt::Key_Return);
            break;
        case EditEnd::KeypadEnter:
            QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
            break;
        case EditEnd::Escape:
            QTest::keyClick(edit, Qt::Key_Escape);
            break;
        case EditEnd::FocusElsewhere:
            d.other->setFocus(Qt::MouseFocusReason);
            break;
        case EditEnd::Scroll:
            d.grid->verticalScrollBar()->setValue(10);
            break;
    }

    QCOMPARE(d.grid->itemText(0, 0), expected);
    QCOMPARE(d.owner.count(GN_CELLCHANGED), changes);
    if (changes) {
        QCOMPARE(d.owner.textAtCellChanged, typed);  // sent after the new text was set
        QCOMPARE(d.owner.last(GN_CELLCHANGED)->row, 0);
        QCOMPARE(d.owner.last(GN_CELLCHANGED)->column, 0);
    }
    QCOMPARE(d.grid->editCell(), nullptr);
    QCOMPARE(d.finished, 0);  // neither the default button nor Escape closed the dialog
    QVERIFY(d.dialog.isVisible());
    QTRY_VERIFY(!d.grid->findChild<CGridCtrlEditCell*>());
    if (end == EditEnd::Return || end == EditEnd::Escape) QCOMPARE(QApplication::focusWidget(), d.grid);
}

void CGridCtrlTest::beginEditPlacesTheBoxOverTheCell() {
    GridDialog d({QStringLiteral("Alpha")});
    QVERIFY(d.active());
    d.owner.replies = {{GN_BEGINEDIT, 1}};
    d.grid->setItemText(0, 1, QStringLiteral("12.5"));

    CGridCtrlEditCell* edit = d.grid->beginEdit(0, 1);
    QVERIFY(edit);
    const GridNotification asked = *d.owner.last(GN_BEGINEDIT);
    QCOMPARE(asked.grid, d.grid);
    QCOMPARE(asked.id, 1047);
    QCOMPARE(asked.row, 0);
    QCOMPARE(asked.column, 1);
    QCOMPARE(edit->objectName(), QStringLiteral("id9801"));
    QCOMPARE(edit->parentWidget(), d.grid->viewport());
    QCOMPARE(edit->geometry(), d.grid->visualRect(d.grid->model()->index(0, 1)).adjusted(0, -2, 0, 2));
    QCOMPARE(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    QCOMPARE(edit->initialText(), QStringLiteral("12.5"));
    QCOMPARE(edit->selectedText(), QStringLiteral("12.5"));
    QVERIFY(edit->isVisible());

    // A second edit ends the first one.
    CGridCtrlEditCell* second = d.grid->beginEdit(0, 0);
    QVERIFY(second);
    QCOMPARE(d.grid->editCell(), second);
    QTRY_COMPARE(d.grid->findChildren<CGridCtrlEditCell*>().size(), 1);
}

void CGridCtrlTest::beginEditRefusals_data() {
    QTest::addColumn<bool>("withOwner");
    QTest::addColumn<intptr_t>("reply");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("asked");

    QTest::newRow("no owner") << false << intptr_t(0) << 0 << 0 << false;
    QTest::newRow("owner says no") << true << intptr_t(0) << 0 << 0 << true;
    QTest::newRow("negative row") << true << intptr_t(1) << -1 << 0 << false;
    QTest::newRow("negative column") << true << intptr_t(1) << 0 << -1 << false;
    QTest::newRow("row past the end") << true << intptr_t(1) << 2 << 0 << false;
    QTest::newRow("column past the end") << true << intptr_t(1) << 0 << 2 << false;
}

void CGridCtrlTest::beginEditRefusals() {
    QFETCH(bool, withOwner);
    QFETCH(intptr_t, reply);
    QFETCH(int, row);
    QFETCH(int, column);
    QFETCH(bool, asked);

    GridDialog d({QStringLiteral("Alpha"), QStringLiteral("Beta")});
    d.owner.replies = {{GN_BEGINEDIT, reply}};
    if (!withOwner) d.grid->setOwner(nullptr);
    QCOMPARE(d.grid->beginEdit(row, column), nullptr);
    QCOMPARE(d.owner.count(GN_BEGINEDIT), asked ? 1 : 0);
    QVERIFY(!d.grid->findChild<CGridCtrlEditCell*>());
}

void CGridCtrlTest::doubleClickFocusesThenEdits() {
    GridDialog d({QStringLiteral("Alpha"), QStringLiteral("Beta"), QStringLiteral("Gamma")});
    QVERIFY(d.active());
    d.owner.replies = {{GN_BEGINEDIT, 1}};
    QItemSelectionModel* selection = d.grid->selectionModel();
    selection->setCurrentIndex(d.grid->model()->index(0, 0),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    d.grid->doubleClicked(2, 1);
    QCOMPARE(d.owner.count(GN_DBLCLICK), 1);
    QCOMPARE(d.owner.last(GN_DBLCLICK)->row, 2);
    QCOMPARE(d.owner.last(GN_DBLCLICK)->column, 1);
    QCOMPARE(d.owner.count(GN_BEGINEDIT), 0);
    QCOMPARE(selection->currentIndex().row(), 2);
    QVERIFY(selection->isRowSelected(2, QModelIndex()));
    QCOMPARE(d.grid->editCell(), nullptr);

    d.grid->doubleClicked(2, 1);
    QCOMPARE(d.owner.count(GN_BEGINEDIT), 1);
    QVERIFY(d.grid->editCell());
    QCOMPARE(d.grid->editCell()->row(), 2);
    QCOMPARE(d.grid->editCell()->column(), 1);
    d.grid->endEdit();

    // With the mouse (press, release, double click), the first press already focuses the row.
    QTest::mouseClick(d.grid->viewport(), Qt::LeftButton, {}, d.cellCenter(1, 0));
    QTest::mouseDClick(d.grid->viewport(), Qt::LeftButton, {}, d.cellCenter(1, 0));
    QCOMPARE(d.owner.last(GN_DBLCLICK)->row, 1);
    QCOMPARE(d.owner.last(GN_BEGINEDIT)->row, 1);
    QVERIFY(d.grid->editCell());
    QCOMPARE(d.grid->editCell()->text(), QStringLiteral("Beta"));
}

void CGridCtrlTest::doubleClickOnNoRowOrTakenOver() {
    GridDialog d({QStringLiteral("Alpha"), QStringLiteral("Beta")});
    QVERIFY(d.active());
    d.owner.replies = {{GN_BEGINEDIT, 1}};
    QItemSelectionModel* selection = d.grid->selectionModel();
    selection->setCurrentIndex(d.grid->model()->index(0, 0),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    // Below the last row, with the mouse.
    const QPoint below(10, d.grid->visualRect(d.grid->model()->index(1, 0)).bottom() + 20);
    QVERIFY(below.y() < d.grid->viewport()->height());
    QTest::mouseDClick(d.grid->viewport(), Qt::LeftButton, {}, below);
    QCOMPARE(d.owner.count(GN_DBLCLICK), 1);
    QCOMPARE(d.owner.last(GN_DBLCLICK)->row, -1);
    QCOMPARE(d.owner.count(GN_BEGINEDIT), 0);
    QCOMPARE(d.grid->editCell(), nullptr);

    // The owner takes it over: neither focus nor edit.
    selection->setCurrentIndex(d.grid->model()->index(0, 0),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    d.owner.doubleClickResult = 1;
    d.grid->doubleClicked(1, 0);
    d.grid->doubleClicked(0, 0);
    QCOMPARE(selection->currentIndex().row(), 0);
    QVERIFY(!selection->isRowSelected(1, QModelIndex()));
    QCOMPARE(d.owner.count(GN_BEGINEDIT), 0);
}

void CGridCtrlTest::rowColours_data() {
    QTest::addColumn<std::optional<GridRowStyle>>("style");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QColor>("text");  // invalid: the palette's own
    QTest::addColumn<QColor>("background");

    const QColor defaultColour;
    const GridRowStyle green{GridRowStyle::defaultColor, 0x0059FF83u, 0};
    const GridRowStyle redOnBlue{0x000000FFu, 0x00FF0000u, 0};
    QTest::newRow("no style") << std::optional<GridRowStyle>() << false << defaultColour << defaultColour;
    QTest::newRow("default colours") << std::optional<GridRowStyle>(GridRowStyle{}) << false << defaultColour
                                     << defaultColour;
    QTest::newRow("background only") << std::optional<GridRowStyle>(green) << false << defaultColour
                                     << QColor(0x83, 0xFF, 0x59);
    QTest::newRow("red on blue") << std::optional<GridRowStyle>(redOnBlue) << false << QColor(Qt::red)
                                 << QColor(Qt::blue);
    QTest::newRow("selected with style")
        << std::optional<GridRowStyle>(redOnBlue) << true << defaultColour << defaultColour;
    QTest::newRow("selected without style")
        << std::optional<GridRowStyle>() << true << defaultColour << defaultColour;
}

void CGridCtrlTest::rowColours() {
    QFETCH(std::optional<GridRowStyle>, style);
    QFETCH(bool, selected);
    QFETCH(QColor, text);
    QFETCH(QColor, background);

    GridDialog d({QStringLiteral("x"), QStringLiteral("y")});
    QVERIFY(d.active());
    if (style) QVERIFY(d.grid->setRowStyle(0, std::make_unique<GridRowStyle>(*style)));
    if (selected) d.grid->selectRow(0);
    d.other->setFocus();  // highlight colours do not depend on the list having the focus

    const QPalette& palette = d.grid->palette();
    if (!text.isValid())
        text = palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text);
    if (!background.isValid())
        background = palette.color(QPalette::Active, selected ? QPalette::Highlight : QPalette::Base);
    const GridCellColors colours = d.grid->paintColors(0);
    QCOMPARE(colours.text, text);
    QCOMPARE(colours.background, background);

    // What is on the screen: both cells of the row, away from the text.
    const QImage image = d.grid->grab().toImage();
    for (int column = 0; column < 2; ++column) {
        const QRect cell = d.grid->visualRect(d.grid->model()->index(0, column));
        const QPoint probe = d.grid->viewport()->mapTo(d.grid, QPoint(cell.right() - 4, cell.center().y()));
        QCOMPARE(QColor(image.pixel(probe)), background);
    }
}

void CGridCtrlTest::sorting_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<intptr_t>("kind");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("ascending");
    QTest::addColumn<QStringList>("descending");

    QTest::newRow("text ignores case")
        << "en_US" << intptr_t(1) << QStringList{"b", "C", "a", "B2"} << QStringList{"a", "b", "B2", "C"}
        << QStringList{"C", "B2", "b", "a"};
    QTest::newRow("any other nonzero kind is text")
        << "en_US" << intptr_t(-7) << QStringList{"10", "9", "100"} << QStringList{"10", "100", "9"}
        << QStringList{"9", "100", "10"};
    QTest::newRow("numeric by value")
        << "en_US" << intptr_t(2) << QStringList{"10", "9", "100", "-1.5", "abc", "2.5e1"}
        << QStringList{"-1.5", "abc", "9", "10", "2.5e1", "100"}
        << QStringList{"100", "2.5e1", "10", "9", "abc", "-1.5"};
    QTest::newRow("date, user's locale")
        << "en_US" << intptr_t(3) << QStringList{"3/1/2021", "12/31/2020", "1/15/2021"}
        << QStringList{"12/31/2020", "1/15/2021", "3/1/2021"}
        << QStringList{"3/1/2021", "1/15/2021", "12/31/2020"};
    QTest::newRow("date, Russian locale")
        << "ru_RU" << intptr_t(3) << QStringList{"01.03.2021", "31.12.2020", "15.01.2021"}
        << QStringList{"31.12.2020", "15.01.2021", "01.03.2021"}
        << QStringList{"01.03.2021", "15.01.2021", "31.12.2020"};
    // A text that is no date compares equal to every row, so it stays where it is.
    QTest::newRow("date, one invalid")
        << "en_US" << intptr_t(3) << QStringList{"not a date", "3/1/2021", "12/31/2020"}
        << QStringList{"not a date", "12/31/2020", "3/1/2021"}
        << QStringList{"not a date", "3/1/2021", "12/31/2020"};
    QTest::newRow("date, invalid last")
        << "en_US" << intptr_t(3) << QStringList{"3/1/2021", "31/31/2021"}
        << QStringList{"3/1/2021", "31/31/2021"} << QStringList{"3/1/2021", "31/31/2021"};
}

void CGridCtrlTest::sorting() {
    QFETCH(QString, locale);
    QFETCH(intptr_t, kind);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, ascending);
    QFETCH(QStringList, descending);

    const QLocale previous;
    QLocale::setDefault(QLocale(locale));
    auto restore = qScopeGuard([&] { QLocale::setDefault(previous); });

    // Each order starts from the same rows, so that a stable sort cannot hide a wrong one.
    for (bool wantAscending : {true, false}) {
        GridDialog d(rows);
        d.owner.replies = {{GN_SORT, kind}};
        d.grid->headerClicked(0);
        if (!wantAscending) d.grid->headerClicked(0);
        QCOMPARE(d.column(0), wantAscending ? ascending : descending);
        QCOMPARE(d.owner.last(GN_SORT)->ascending, wantAscending ? 1 : 0);
        QCOMPARE(d.grid->sortKind(), int(kind));
    }
}

void CGridCtrlTest::sortingKeepsRowsWhole() {
    GridDialog d({QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("c")});
    QVERIFY(d.active());
    d.owner.replies = {{GN_SORT, 1}};
    for (int row = 0; row < 3; ++row) d.grid->setItemText(row, 1, QString::number(3 - row));  // b 3, a 2, c 1
    d.grid->setRowStyle(0, std::make_unique<GridRowStyle>(GridRowStyle{0x000000FFu, 0x00FF0000u, 0}));
    d.grid->selectRow(0);
    QHeaderView* header = d.grid->horizontalHeader();

    // A real click on the first header: ascending.
    const QPoint first(header->sectionViewportPosition(0) + header->sectionSize(0) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, first);
    QCOMPARE(d.owner.count(GN_SORT), 1);
    QCOMPARE(d.column(0), (QStringList{"a", "b", "c"}));
    QCOMPARE(d.column(1), (QStringList{"2", "3", "1"}));
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    // The selection, the focus and the style went with row "b".
    QVERIFY(d.grid->selectionModel()->isRowSelected(1, QModelIndex()));
    QCOMPARE(d.grid->selectionModel()->currentIndex().row(), 1);
    QVERIFY(d.grid->rowStyle(1));
    QCOMPARE(d.grid->rowStyle(1)->textColor, 0x000000FFu);
    QCOMPARE(d.grid->rowStyle(0), nullptr);

    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, first);
    QCOMPARE(d.column(0), (QStringList{"c", "b", "a"}));
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);

    // Another column starts ascending.
    d.grid->headerClicked(1);
    QCOMPARE(d.owner.last(GN_SORT)->column, 1);
    QCOMPARE(d.owner.last(GN_SORT)->ascending, 1);
    QCOMPARE(d.column(1), (QStringList{"1", "2", "3"}));
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(d.grid->sortColumn(), 1);
    QVERIFY(d.grid->sortAscending());
}

void CGridCtrlTest::sortReplyZeroOrNoSortHeader() {
    GridDialog d({QStringLiteral("b"), QStringLiteral("a")});
    QVERIFY(d.active());
    QHeaderView* header = d.grid->horizontalHeader();
    const QPoint first(header->sectionViewportPosition(0) + 5, header->height() / 2);

    // Unanswered: asked, but nothing sorts and no arrow shows.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, first);
    QCOMPARE(d.owner.count(GN_SORT), 1);
    QCOMPARE(d.grid->sortKind(), 0);
    QCOMPARE(d.column(0), (QStringList{"b", "a"}));
    QVERIFY(!header->isSortIndicatorShown());

    // Sorted once, then unanswered: the arrow of the last sort stays.
    d.owner.replies = {{GN_SORT, 1}};
    d.grid->headerClicked(1);
    d.owner.replies.clear();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, first);
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);

    // A header that does not take clicks asks nothing.
    header->setSectionsClickable(false);
    const int asked = d.owner.count(GN_SORT);
    d.owner.replies = {{GN_SORT, 1}};
    d.grid->headerClicked(0);
    QCOMPARE(d.owner.count(GN_SORT), asked);
    QCOMPARE(d.column(0), (QStringList{"b", "a"}));
}

void CGridCtrlTest::deleteAllRowsFreesStyles() {
    GridDialog d({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    QVERIFY(d.active());
    for (int row = 0; row < 3; ++row)
        QVERIFY(d.grid->setRowStyle(row, std::make_unique<GridRowStyle>(GridRowStyle{0, 0x0059FF83u, 0})));
    QVERIFY(!d.grid->setRowStyle(3, std::make_unique<GridRowStyle>()));
    QCOMPARE(d.grid->styleCount(), std::size_t(3));

    // Replacing a style frees the old one; removing a row frees its style.
    d.grid->setRowStyle(0, std::make_unique<GridRowStyle>());
    QCOMPARE(d.grid->styleCount(), std::size_t(3));
    d.grid->model()->removeRow(2);
    QCOMPARE(d.grid->styleCount(), std::size_t(2));

    // The filters dialog's refill: column and rows go, then come back without styles.
    d.owner.replies = {{GN_BEGINEDIT, 1}};
    QVERIFY(d.grid->beginEdit(1, 0));
    d.grid->deleteColumn(1);
    d.grid->deleteColumn(0);
    d.grid->deleteAllRows();
    QCOMPARE(d.grid->styleCount(), std::size_t(0));
    QCOMPARE(d.grid->rowCount(), 0);
    QCOMPARE(d.grid->editCell(), nullptr);
    QCOMPARE(d.owner.count(GN_CELLCHANGED), 0);

    d.grid->insertColumn(0, QString(), 100);
    d.grid->insertRow(0, QStringLiteral("new"));
    QCOMPARE(d.grid->rowStyle(0), nullptr);
    QCOMPARE(d.grid->paintColors(0).background, d.grid->palette().color(QPalette::Active, QPalette::Base));
    d.grid->deleteAllRows();  // also with rows that have no style
    QCOMPARE(d.grid->rowCount(), 0);
}

void CGridCtrlTest::headerResizeAndMove() {
    GridDialog d({QStringLiteral("a")});
    QVERIFY(d.active());
    d.grid->insertColumn(2, QStringLiteral("Hidden"), 0);
    d.grid->insertColumn(3, QStringLiteral("Last"), 60);
    QHeaderView* header = d.grid->horizontalHeader();
    QWidget* port = header->viewport();
    const int y = header->height() / 2;

    // A real drag of the first column's divider.
    const int divider = header->sectionViewportPosition(0) + header->sectionSize(0) - 1;
    QTest::mousePress(port, Qt::LeftButton, {}, QPoint(divider, y));
    QTest::mouseMove(port, QPoint(divider + 30, y));
    QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(divider + 30, y));
    QCOMPARE(d.owner.count(GN_BEGINRESIZE), 1);
    QCOMPARE(d.owner.last(GN_BEGINRESIZE)->column, 0);
    QCOMPARE(d.owner.count(GN_ENDRESIZE), 1);
    QCOMPARE(d.owner.last(GN_ENDRESIZE)->column, 0);
    QCOMPARE(d.owner.last(GN_ENDRESIZE)->width, d.grid->columnWidth(0));
    QVERIFY(d.grid->columnWidth(0) > 120);

    // The owner prevents the drag.
    d.owner.replies = {{GN_BEGINRESIZE, 1}};
    const int before = d.grid->columnWidth(1);
    const int second = header->sectionViewportPosition(1) + header->sectionSize(1) - 1;
    QTest::mousePress(port, Qt::LeftButton, {}, QPoint(second, y));
    QTest::mouseMove(port, QPoint(second + 30, y));
    QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(second + 30, y));
    QCOMPARE(d.owner.count(GN_BEGINRESIZE), 2);
    QCOMPARE(d.owner.count(GN_ENDRESIZE), 1);
    QCOMPARE(d.grid->columnWidth(1), before);

    // A zero-width column is never resized, and the owner is not asked.
    d.owner.replies.clear();
    QVERIFY(!d.grid->beginColumnResize(2));
    const int hidden = header->sectionViewportPosition(3) + 1;  // just right of its divider
    QTest::mousePress(port, Qt::LeftButton, {}, QPoint(hidden, y));
    QTest::mouseMove(port, QPoint(hidden + 30, y));
    QTest::mouseRelease(port, Qt::LeftButton, {}, QPoint(hidden + 30, y));
    QTest::mouseDClick(port, Qt::LeftButton, {}, QPoint(hidden, y));
    QCOMPARE(d.grid->columnWidth(2), 0);
    QCOMPARE(d.owner.count(GN_BEGINRESIZE), 2);
    QVERIFY(!d.grid->beginColumnResize(7));

    // Moves are told for columns of nonzero width only.
    header->moveSection(header->visualIndex(3), 0);
    QCOMPARE(d.owner.count(GN_COLUMNMOVED), 1);
    QCOMPARE(d.owner.last(GN_COLUMNMOVED)->column, 3);
    QCOMPARE(d.owner.last(GN_COLUMNMOVED)->position, 0);
    header->moveSection(header->visualIndex(2), 0);
    QCOMPARE(d.owner.count(GN_COLUMNMOVED), 1);
}

void CGridCtrlTest::contextMenuPoint() {
    GridDialog d({QStringLiteral("a")});
    QVERIFY(d.active());
    QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(40, 40), QPoint(1, 1));
    QApplication::sendEvent(d.grid, &keyboard);
    QCOMPARE(d.owner.last(GN_CONTEXTMENU)->screenPos,
             d.grid->mapToGlobal(d.grid->contentsRect().topLeft() + QPoint(5, 5)));

    const QPoint local(30, 20);
    QContextMenuEvent mouse(QContextMenuEvent::Mouse, local, d.grid->viewport()->mapToGlobal(local));
    QApplication::sendEvent(d.grid->viewport(), &mouse);
    QCOMPARE(d.owner.count(GN_CONTEXTMENU), 2);
    QCOMPARE(d.owner.last(GN_CONTEXTMENU)->screenPos, d.grid->viewport()->mapToGlobal(local));
}

void CGridCtrlTest::rowSelectedOnlyOnChange() {
    GridDialog d({QStringLiteral("a"), QStringLiteral("b")});
    d.grid->selectRow(1);
    QCOMPARE(d.owner.count(GN_ROWSELECTED), 1);
    QCOMPARE(d.owner.last(GN_ROWSELECTED)->row, 1);
    QCOMPARE(d.owner.last(GN_ROWSELECTED)->column, 0);
    d.grid->selectionModel()->select(d.grid->model()->index(1, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(d.owner.count(GN_ROWSELECTED), 1);
    d.grid->doubleClicked(0, 0);  // focus and select
    QCOMPARE(d.owner.count(GN_ROWSELECTED), 2);
    QCOMPARE(d.owner.last(GN_ROWSELECTED)->row, 0);
}

void CGridCtrlTest::destroyedWhileEditing() {
    // The edit box outlives the grid's own members during destruction and then loses the focus.
    RecordingOwner owner;
    owner.replies = {{GN_BEGINEDIT, 1}, {GN_CELLCHANGED, 1}};
    auto grid = std::make_unique<CGridCtrl>();
    grid->setOwner(&owner);
    grid->insertColumn(0, QString(), 100);
    grid->insertRow(0, QStringLiteral("a"));
    grid->setRowStyle(0, std::make_unique<GridRowStyle>());
    grid->show();
    QVERIFY(QTest::qWaitForWindowActive(grid.get()));
    CGridCtrlEditCell* edit = grid->beginEdit(0, 0);
    QVERIFY(edit);
    QTest::keyClicks(edit, QStringLiteral("changed"));
    grid.reset();
    QCOMPARE(owner.count(GN_CELLCHANGED), 0);
}

QTEST_MAIN(CGridCtrlTest)
#include "CGridCtrlTest.moc"
