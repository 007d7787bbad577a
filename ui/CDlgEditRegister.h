#pragma once
// The register editor (kEditorDialog): one entry of the register map, with coupled choices. The
// map dialog owns one editor, sets its edit mode (and, for an edit, the register) before a run,
// runs it modally and reads the result flag and the register back.
//
// Every choice goes into the register as the value its list position stands for (the lists are
// in the enums' order); a field left alone keeps what it held, an unknown stored text included. The handlers
// are public so the coupling can be driven without exec(): show() the dialog (which opens it as exec() does),
// then call them or use the controls. GUI thread only. Refusals go through tesmor::showMessage as warnings. A
// note under the choices says when the entry's registers leave the store's 0..499; such an entry may still be
// saved.
#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "modbus/RegisterInfo.h"
#include "ui/UiContext.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tesmor::ui {

class CDlgEditRegister : public QDialog {
    Q_OBJECT
public:
    // `context` must outlive the dialog.
    explicit CDlgEditRegister(const UiContext& context, QWidget* parent = nullptr);

    // Set before a run: on, the controls show the register held; off, they start empty.
    void setEditMode(bool edit) { editMode_ = edit; }
    bool editMode() const { return editMode_; }
    // Set before a run: the address box takes the focus with its text selected (a register
    // refused for its address comes back to be moved).
    void setAddressFirst(bool first) { addressFirst_ = first; }
    // The register edited. It carries over from one run to the next; the editor writes only its
    // eight configuration fields.
    const tesmor::RegisterInfo& registerInfo() const { return register_; }
    void setRegisterInfo(const tesmor::RegisterInfo& entry) { register_ = entry; }
    // 1 when the last run closed with OK, 0 when it was cancelled.
    std::uint8_t resultFlag() const { return result_; }

    // The number an address text stands for: "0x"/"0X" and at least one more character reads
    // hexadecimal, anything else decimal (leading blanks and a sign allowed, reading stops at
    // the first character that is not a digit, nothing readable gives 0). Saturates far outside
    // the 32-bit range, so an overlong text never wraps into range.
    struct ParsedAddress {
        std::int64_t value = 0;
        bool hexadecimal = false;
    };
    static ParsedAddress parseAddress(const QString& text);

    // Puts the controls into their opening state and, in edit mode, shows the register. Runs
    // each time the dialog is shown.
    void initDialog();

    // Handlers of the controls.
    void sourceChosen(int index);
    void deviceChosen(int index);
    void componentFocusLost();
    // Returns false (after kAddressRange, with the focus back in the box) for an address outside
    // 0..65535; the register's address and the hexadecimal box are then left as they were.
    bool addressFocusLost();
    void registerTypeChosen(int index);
    void dataTypeChosen(int index);
    void byteOrderChosen(int index);
    void dataItemChosen(int index);

    // OK: takes the edit boxes' texts, then checks the choices in a fixed order and closes only
    // when all pass (kNeedDevice, kNeedComponent, kNeedAddress, kNoRegisterType, kNoDataType,
    // kNoDataItem).
    void accept() override;
    // Cancel or closing the window.
    void reject() override;
    void setVisible(bool visible) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum Caption {
        SourceDevice,
        SourceChromatogram,
        SourcePeak,
        ItemMode,
        ItemLastError,
        ItemSampleTime,
        ItemSampleNumber,
        ItemSeriesNumber,
        ItemConcentration,
        ItemArea,
        ItemRetentionTime,
        CaptionCount
    };

    QString caption(Caption which) const { return captions_[which]; }
    bool sampleTimeShown() const;
    bool bitRegisterTypeShown() const;
    void fillDataItems(int source);
    void lockDataTypeToInt();
    void setTable(tesmor::Table table);
    void setDataType(tesmor::DataType type);
    void clearByteOrder();
    void showRegister();
    void warn(unsigned stringId, QWidget* focus);
    void updateRangeNote();

    const UiContext& context_;
    std::array<QString, CaptionCount> captions_;
    std::int32_t parsedAddress_ = -1;
    std::uint8_t result_ = 0;
    bool editMode_ = false;
    bool addressFirst_ = false;
    tesmor::RegisterInfo register_;
    // The address text last taken into the register, so OK re-reads only a changed box.
    std::optional<QString> takenAddressText_;
    bool inAddressCheck_ = false;

    QComboBox* source_;
    QComboBox* device_;
    QLineEdit* component_;
    QLineEdit* address_;
    QLineEdit* addressHex_;
    QComboBox* registerType_;
    QComboBox* dataType_;
    QComboBox* byteOrder_;
    QComboBox* dataItem_;
    QLabel* rangeNote_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

}  // namespace tesmor::ui
