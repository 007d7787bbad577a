#pragma once
// The Modbus map dialog (kMapDialog): the whole register map in a list, with add, copy, delete,
// delete all and edit (double click). It works on its own copy of the entries, taken from the
// server's map when it opens: every analysis reloads the server's map from the profile, so edits
// made there would be lost, and analyses meanwhile keep publishing with the saved map. OK writes
// exactly the rows shown to the profile, has the server load them and the main window rebuild its
// list; Cancel changes nothing.
//
// The server's lock is never held while a message or the register editor runs. GUI thread only.
#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "modbus/RegisterMap.h"
#include "ui/CDlgEditRegister.h"
#include "ui/UiContext.h"

class QLayout;
class QPushButton;
class QStandardItemModel;
class QTableView;

namespace tesmor::ui {

class CDlgMapSettings : public QDialog {
    Q_OBJECT
public:
    // `context` must outlive the dialog; `rebuildList` may be empty. The map is the server's, saved
    // with its own profile section.
    CDlgMapSettings(const UiContext& context, std::function<void()> rebuildList, QWidget* parent = nullptr);
    ~CDlgMapSettings() override;

    // How the register editor is run: by default modally (exec()). Tests drive it in place.
    using EditorRun = std::function<void(CDlgEditRegister& editor)>;
    void setEditorRun(EditorRun run);

    // Takes a fresh copy of the server's map, fills the list and makes a fresh editor. Runs each
    // time the dialog is shown.
    void initDialog();

    // The file the user picks for an import (save false) or an export (save true, `kind` set to
    // the kind chosen); an empty text when the user cancels. By default a file dialog.
    enum class FileKind { Map, TagList };
    using FileChooser = std::function<QString(bool save, FileKind& kind)>;
    void setFileChooser(FileChooser chooser);

    // "Импорт...": reads a map file; with errors, lists them and changes nothing; otherwise asks
    // whether to replace the map (Yes) or append to it (No). Like every edit here, it reaches the
    // profile with OK. "Экспорт...": writes the map shown as a map file or a tag list.
    void importMap();
    void exportMap();

    // Button handlers. A register refused as a duplicate comes back in the editor as typed.
    void addRegister();
    void copyRegister();
    void deleteRegister();
    void deleteAll();
    // A double click on the list, or Enter or F2 on its selected row; row -1 when there is none.
    void editRow(int row);
    // Delete on the list: asks, then deletes the selected row as the button does.
    void deleteAsked();
    // OK: saves the rows shown, has the server load them, calls the rebuild callback, closes.
    void accept() override;

    // The row the user selected last (-1 for none): the current row when it is selected.
    int selectionMark() const;
    // Deletes all rows, then adds one row per entry with the nine texts shown; every column
    // grows to its widest cell.
    void fillList();
    // Focuses the list and makes row n the selected and current row.
    void selectRow(int row);

    QTableView* list() const { return list_; }
    CDlgEditRegister* editor() const { return editor_.get(); }
    int lastRow() const { return lastRow_; }
    std::uint8_t lastEditorResult() const { return lastEditorResult_; }
    // The entries as the dialog shows them.
    const tesmor::RegisterMap& entries() const { return entries_; }

    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void runEditor();
    void fitScreen();
    // Import and Export, added to `actions`.
    std::pair<QPushButton*, QPushButton*> addFileButtons(QLayout* actions);
    QString chooseFile(bool save, FileKind& kind);

    std::int32_t lastRow_ = -1;
    std::uint8_t lastEditorResult_ = 0;
    const UiContext& context_;
    std::function<void()> rebuildList_;
    EditorRun editorRun_;
    FileChooser fileChooser_;
    std::unique_ptr<CDlgEditRegister> editor_;
    tesmor::RegisterMap entries_;

    QTableView* list_;
    QStandardItemModel* model_;
};

}  // namespace tesmor::ui
