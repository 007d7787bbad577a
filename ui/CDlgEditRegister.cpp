#include "ui/CDlgEditRegister.h"

#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <limits>

#include "modbus/RegisterEncoder.h"
#include "platform/MessageSink.h"
#include "platform/ResourceIds.h"
#include "platform/Text.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"

namespace tesmor::ui {

using namespace res;
using namespace res::editor;

namespace {

constexpr unsigned kCaptionIds[] = {
    kSourceDevice,     kSourceChromatogram, kSourcePeak,        kItemMode, kItemLastError,    kItemSampleTime,
    kItemSampleNumber, kItemSeriesNumber,   kItemConcentration, kItemArea, kItemRetentionTime};

// Registers in each table of the store.
constexpr int kStoreRegisters = 500;

// The first data item of a source's list.
DataItem firstItemOf(Source source) {
    return source == Source::Device         ? DataItem::Mode
           : source == Source::Chromatogram ? DataItem::SampleTime
                                            : DataItem::Concentration;
}

int indexOfText(const QComboBox* box, std::u16string_view text) {
    return box->findText(toQString(text), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

}  // namespace

CDlgEditRegister::CDlgEditRegister(const UiContext& context, QWidget* parent)
    : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("CDlgEditRegister"));
    setWindowTitle(dialogText(context, kEditorDialog, kCaption));
    setWindowIcon(moduleIcon());

    source_ = withId(new QComboBox(this), kSource);
    device_ = withId(new QComboBox(this), kDevice);
    component_ = withId(new QLineEdit(this), kComponent);
    address_ = withId(new QLineEdit(this), kAddress);
    addressHex_ = withId(new QLineEdit(this), kAddressHex);
    addressHex_->setReadOnly(true);
    addressHex_->setFrame(false);
    addressHex_->setFocusPolicy(Qt::ClickFocus);
    addressHex_->setFixedWidth(addressHex_->fontMetrics().horizontalAdvance(QStringLiteral("0xFFFFFFFF")) +
                               8);
    registerType_ = withId(new QComboBox(this), kRegisterType);
    dataType_ = withId(new QComboBox(this), kDataType);
    byteOrder_ = withId(new QComboBox(this), kByteOrder);
    dataItem_ = withId(new QComboBox(this), kDataItem);
    for (QComboBox* box : {source_, device_, registerType_, dataType_, byteOrder_, dataItem_})
        box->setMinimumContentsLength(22);

    auto* grid = new QGridLayout;
    auto addRow = [&](unsigned labelId, QWidget* control, int row) {
        auto* label = withId(new QLabel(dialogText(context, kEditorDialog, labelId), this), labelId);
        label->setBuddy(control);
        grid->addWidget(label, row, 0);
        grid->addWidget(control, row, 1, 1, control == address_ ? 1 : 2);
    };
    addRow(kSourceLabel, source_, 0);
    addRow(kDeviceLabel, device_, 1);
    addRow(kComponentLabel, component_, 2);
    addRow(kAddressLabel, address_, 3);
    grid->addWidget(addressHex_, 3, 2);
    addRow(kRegisterTypeLabel, registerType_, 4);
    addRow(kDataTypeLabel, dataType_, 5);
    addRow(kByteOrderLabel, byteOrder_, 6);
    addRow(kDataItemLabel, dataItem_, 7);
    grid->setColumnStretch(1, 1);

    // Stored maps may hold such entries, so they stay allowed; the user is told before OK.
    rangeNote_ = withId(new QLabel(dialogText(context, kEditorDialog, kRangeNote), this), kRangeNote);
    rangeNote_->setWordWrap(true);
    rangeNote_->setVisible(false);

    ok_ = withId(new QPushButton(dialogText(context, kEditorDialog, kOk), this), kOk);
    ok_->setDefault(true);
    cancel_ = withId(new QPushButton(dialogText(context, kEditorDialog, kCancel), this), kCancel);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(rangeNote_);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(source_, &QComboBox::activated, this, &CDlgEditRegister::sourceChosen);
    connect(device_, &QComboBox::activated, this, &CDlgEditRegister::deviceChosen);
    connect(registerType_, &QComboBox::activated, this, &CDlgEditRegister::registerTypeChosen);
    connect(dataType_, &QComboBox::activated, this, &CDlgEditRegister::dataTypeChosen);
    connect(byteOrder_, &QComboBox::activated, this, &CDlgEditRegister::byteOrderChosen);
    connect(dataItem_, &QComboBox::activated, this, &CDlgEditRegister::dataItemChosen);
    connect(ok_, &QPushButton::clicked, this, &CDlgEditRegister::accept);
    connect(cancel_, &QPushButton::clicked, this, &CDlgEditRegister::reject);
    component_->installEventFilter(this);
    address_->installEventFilter(this);
    connect(address_, &QLineEdit::textChanged, this, &CDlgEditRegister::updateRangeNote);
    for (QComboBox* box : {source_, registerType_, dataType_, dataItem_})
        connect(box, &QComboBox::activated, this, &CDlgEditRegister::updateRangeNote);
}

void CDlgEditRegister::updateRangeNote() {
    tesmor::RegisterInfo shown = register_;
    const ParsedAddress typed = parseAddress(address_->text());
    if (typed.value >= 0 && typed.value <= 65535) shown.address = static_cast<std::int32_t>(typed.value);
    // An incomplete entry still takes the register at its address.
    const int span = std::max(shown.span(), 1);
    const bool outside = shown.address < 0 || std::int64_t{shown.address} + span > kStoreRegisters;
    rangeNote_->setVisible(!address_->text().isEmpty() && outside);
}

CDlgEditRegister::ParsedAddress CDlgEditRegister::parseAddress(const QString& text) {
    const std::u16string units = toU16(text);
    if (units.size() >= 3 && units[0] == u'0' && (units[1] == u'x' || units[1] == u'X'))
        return {tesmor::leadingNumber(std::u16string_view(units).substr(2), 16), true};
    return {tesmor::leadingNumber(units), false};
}

void CDlgEditRegister::setVisible(bool visible) {
    if (visible && !isVisible()) initDialog();
    QDialog::setVisible(visible);
}

void CDlgEditRegister::initDialog() {
    for (int i = 0; i < CaptionCount; ++i) captions_[i] = loadString(context_, kCaptionIds[i]).left(255);

    source_->clear();
    source_->addItems({caption(SourceDevice), caption(SourceChromatogram), caption(SourcePeak)});
    device_->clear();
    if (context_.devices) {
        // One whole poll: the monitor swaps in a new list, never changes a published one.
        if (const auto devices = context_.devices())
            for (const tesmor::DeviceInfo& device : *devices) device_->addItem(toQString(device.name));
    }
    // Each list in its enum's order, None left out, so an index is the value less one.
    registerType_->clear();
    for (auto t : {Table::Coils, Table::DiscreteInputs, Table::InputRegisters, Table::HoldingRegisters})
        registerType_->addItem(toQString(tableText(t)));
    dataType_->clear();
    for (auto t : {DataType::Bool, DataType::Float, DataType::Int})
        dataType_->addItem(toQString(dataTypeText(t)));
    byteOrder_->clear();
    for (auto o : {ByteOrder::BigEndian, ByteOrder::LittleEndian, ByteOrder::BigEndianByteSwap,
                   ByteOrder::LittleEndianByteSwap})
        byteOrder_->addItem(toQString(byteOrderText(o)));
    dataItem_->clear();

    for (QComboBox* box : {source_, device_, registerType_, dataType_, byteOrder_, dataItem_})
        box->setCurrentIndex(-1);
    component_->clear();
    address_->clear();
    addressHex_->clear();
    takenAddressText_.reset();

    source_->setEnabled(true);
    device_->setEnabled(false);
    component_->setEnabled(false);
    address_->setEnabled(true);
    registerType_->setEnabled(true);
    dataType_->setEnabled(true);
    byteOrder_->setEnabled(false);
    dataItem_->setEnabled(false);
    source_->setFocus();

    if (editMode_) showRegister();
    takenAddressText_ = address_->text();
    if (addressFirst_) {
        address_->setFocus();
        address_->selectAll();
    }
    updateRangeNote();
}

void CDlgEditRegister::showRegister() {
    const Source source = register_.source;
    if (source == Source::Device) {
        source_->setCurrentIndex(0);
        device_->setEnabled(true);
        device_->setCurrentIndex(indexOfText(device_, register_.deviceName));
        component_->setEnabled(false);
    } else if (source == Source::Peak) {
        source_->setCurrentIndex(2);
        component_->setEnabled(true);
        component_->setText(toQString(register_.component));
        device_->setEnabled(false);
        register_.deviceName.clear();
    } else if (source == Source::Chromatogram) {
        source_->setCurrentIndex(1);
    }
    if (source != Source::None) {
        fillDataItems(source_->currentIndex());
        // An item of another source is not in the list: none shown, as for an unknown one.
        dataItem_->setCurrentIndex(sourceOf(register_.dataItem) == source
                                       ? static_cast<int>(register_.dataItem) -
                                             static_cast<int>(firstItemOf(source))
                                       : -1);
        if (source == Source::Chromatogram && register_.dataItem == DataItem::SampleTime)
            dataType_->setEnabled(false);
    }

    address_->setText(QString::number(register_.address));
    addressHex_->setText(hexAddressText(register_.address));

    const int type = static_cast<int>(register_.table) - 1;
    registerType_->setCurrentIndex(type);
    if (type == 0 || type == 1) {
        dataType_->setCurrentIndex(0);
        dataType_->setEnabled(false);
        byteOrder_->setEnabled(false);
    } else if (type == 2 || type == 3) {
        dataType_->setEnabled(true);
        byteOrder_->setEnabled(true);
        // Sample time is always five INT registers, whichever 16-bit table holds it.
        if (sampleTimeShown()) dataType_->setEnabled(false);
    }

    const int dataType = static_cast<int>(register_.dataType) - 1;
    dataType_->setCurrentIndex(dataType);
    if (dataType == 0 || dataType == 2)
        byteOrder_->setEnabled(false);
    else if (dataType == 1)
        byteOrder_->setEnabled(true);

    byteOrder_->setCurrentIndex(static_cast<int>(register_.byteOrder) - 1);
}

void CDlgEditRegister::fillDataItems(int source) {
    dataItem_->setEnabled(true);
    dataItem_->clear();
    switch (source) {
        case 0:
            dataItem_->addItems({caption(ItemMode), caption(ItemLastError)});
            break;
        case 1:
            dataItem_->addItems(
                {caption(ItemSampleTime), caption(ItemSampleNumber), caption(ItemSeriesNumber)});
            break;
        default:
            dataItem_->addItems({caption(ItemConcentration), caption(ItemArea), caption(ItemRetentionTime)});
            break;
    }
    dataItem_->setCurrentIndex(-1);
}

bool CDlgEditRegister::sampleTimeShown() const {
    return dataItem_->currentIndex() >= 0 && dataItem_->currentText() == caption(ItemSampleTime);
}

bool CDlgEditRegister::bitRegisterTypeShown() const {
    const int type = registerType_->currentIndex();
    return type == 0 || type == 1;
}

void CDlgEditRegister::clearByteOrder() {
    register_.byteOrder = ByteOrder::None;
    register_.unknown.byteOrder.clear();
    byteOrder_->setCurrentIndex(-1);
    byteOrder_->setEnabled(false);
}

void CDlgEditRegister::setTable(Table table) {
    register_.table = table;
    register_.unknown.registerType.clear();
}

void CDlgEditRegister::setDataType(DataType type) {
    register_.dataType = type;
    register_.unknown.dataType.clear();
}

void CDlgEditRegister::lockDataTypeToInt() {
    dataType_->setCurrentIndex(2);
    dataType_->setEnabled(false);
    setDataType(DataType::Int);
    clearByteOrder();
}

void CDlgEditRegister::warn(unsigned stringId, QWidget* focus) {
    tesmor::showMessage(context_.resources.loadString(stringId), tesmor::MessageIcon::Warning);
    if (focus) focus->setFocus();
}

void CDlgEditRegister::sourceChosen(int index) {
    if (index < 0 || index > 2) return;
    register_.source = static_cast<Source>(index + 1);
    register_.unknown.source.clear();
    if (index == 0) {
        device_->setEnabled(true);
    } else {
        device_->setEnabled(false);
        device_->setCurrentIndex(-1);
        register_.deviceName.clear();
    }
    if (index == 2) {
        component_->setEnabled(true);
    } else {
        component_->setEnabled(false);
        component_->clear();
        register_.component.clear();
    }
    fillDataItems(index);
}

void CDlgEditRegister::deviceChosen(int index) {
    if (index >= 0) register_.deviceName = toU16(device_->itemText(index));
}

void CDlgEditRegister::componentFocusLost() { register_.component = toU16(component_->text()); }

bool CDlgEditRegister::addressFocusLost() {
    const QString text = address_->text();
    const ParsedAddress parsed = parseAddress(text);
    parsedAddress_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        parsed.value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    if (parsed.value < 0 || parsed.value > 65535) {
        // The message box takes the focus; its focus changes are not the user leaving the box.
        inAddressCheck_ = true;
        warn(kAddressRange, address_);
        inAddressCheck_ = false;
        return false;
    }
    if (parsed.hexadecimal) address_->setText(QString::number(parsed.value));
    addressHex_->setText(hexAddressText(parsedAddress_));
    register_.address = parsedAddress_;
    takenAddressText_ = address_->text();
    return true;
}

void CDlgEditRegister::registerTypeChosen(int index) {
    if (index < 0 || index > 3) return;
    if ((index == 0 || index == 1) && sampleTimeShown()) {
        // A bit table cannot hold the five sample time registers: the same refusal as choosing
        // sample time on a bit type.
        registerType_->setCurrentIndex(2);
        setTable(Table::InputRegisters);
        lockDataTypeToInt();
        warn(kSampleTime16Bit, registerType_);
        return;
    }
    setTable(static_cast<Table>(index + 1));
    if (index == 0 || index == 1) {
        dataType_->setCurrentIndex(0);
        dataType_->setEnabled(false);
        setDataType(DataType::Bool);
        clearByteOrder();
    } else if (sampleTimeShown()) {
        lockDataTypeToInt();
    } else {
        dataType_->setCurrentIndex(-1);
        dataType_->setEnabled(true);
        setDataType(DataType::None);
        clearByteOrder();
    }
}

void CDlgEditRegister::dataTypeChosen(int index) {
    if (index < 0 || index > 2) return;
    setDataType(static_cast<DataType>(index + 1));
    if (index == 1) {
        byteOrder_->setCurrentIndex(0);
        byteOrder_->setEnabled(true);
        register_.byteOrder = ByteOrder::BigEndian;
        register_.unknown.byteOrder.clear();
    } else {
        clearByteOrder();
    }
}

void CDlgEditRegister::byteOrderChosen(int index) {
    if (index < 0 || index > 3) return;
    register_.byteOrder = static_cast<ByteOrder>(index + 1);
    register_.unknown.byteOrder.clear();
}

void CDlgEditRegister::dataItemChosen(int index) {
    if (index < 0) return;
    const auto listed = static_cast<Source>(source_->currentIndex() + 1);
    if (listed == Source::None || index >= dataItem_->count()) return;
    register_.dataItem = static_cast<DataItem>(static_cast<int>(firstItemOf(listed)) + index);
    register_.unknown.dataItem.clear();
    if (!sampleTimeShown()) {
        // A bit register type keeps its "BOOL".
        dataType_->setEnabled(!bitRegisterTypeShown());
        return;
    }
    lockDataTypeToInt();
    if (registerType_->currentIndex() < 0 || bitRegisterTypeShown()) {
        registerType_->setCurrentIndex(2);
        setTable(Table::InputRegisters);
        warn(kSampleTime16Bit, registerType_);
    }
}

void CDlgEditRegister::accept() {
    result_ = 1;
    // A device or chromatogram entry keeps the component text the disabled box never showed.
    if (component_->isEnabled()) componentFocusLost();
    if (takenAddressText_ != address_->text() && !addressFocusLost()) return;

    if (device_->currentText().isEmpty() && register_.source == Source::Device)
        return warn(kNeedDevice, device_);
    if (component_->text().isEmpty() && register_.source == Source::Peak)
        return warn(kNeedComponent, component_);
    if (address_->text().isEmpty()) return warn(kNeedAddress, address_);
    if (registerType_->currentIndex() < 0) return warn(kNoRegisterType, registerType_);
    if (dataType_->currentIndex() < 0) return warn(kNoDataType, dataType_);
    if (dataItem_->currentIndex() < 0)  // without a source the item list is disabled: go there
        return warn(kNoDataItem, dataItem_->isEnabled() ? dataItem_ : source_);
    QDialog::accept();
}

void CDlgEditRegister::reject() {
    result_ = 0;
    QDialog::reject();
}

bool CDlgEditRegister::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && !inAddressCheck_) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Leaving the window (a message box, another application) is not leaving the box.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == component_)
                componentFocusLost();
            else if (watched == address_ && isVisible())
                addressFocusLost();
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace tesmor::ui
