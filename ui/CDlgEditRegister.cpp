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
#include "platform/Text.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"

using tesmor::ui::dialogText;
using tesmor::ui::hexAddressText;
using tesmor::ui::loadString;
using tesmor::ui::toQString;
using tesmor::ui::toU16;
using tesmor::ui::withId;
namespace texts = tesmor::texts;

namespace {

// Labels of the template, which carry no id of their own there.
enum LabelId : unsigned {
    LabelSource = 2001,
    LabelDevice,
    LabelComponent,
    LabelAddress,
    LabelRegisterType,
    LabelDataType,
    LabelByteOrder,
    LabelDataItem,
};

enum StringId : unsigned {
    IDS_NEED_COMPONENT = 119,
    IDS_NEED_ADDRESS = 120,
    IDS_NO_REGISTER_TYPE = 121,
    IDS_NO_DATA_TYPE = 122,
    IDS_NO_DATA_ITEM = 123,
    IDS_ADDRESS_RANGE = 124,
    IDS_NEED_DEVICE = 146,
    IDS_SAMPLE_TIME_16BIT = 150,
};

constexpr unsigned kCaptionIds[] = {125, 126, 127, 138, 143, 144, 145, 151, 111, 129, 128};

// Registers in each table of the store.
constexpr int kStoreRegisters = 500;

int indexOfText(const QComboBox* box, std::u16string_view text) {
    return box->findText(toQString(text), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

}  // namespace

CDlgEditRegister::CDlgEditRegister(const tesmor::ui::UiContext& context, QWidget* parent)
    : QDialog(parent), m_context(context) {
    setObjectName(QStringLiteral("CDlgEditRegister"));
    setWindowTitle(dialogText(context, templateId, 0));
    setWindowIcon(tesmor::ui::moduleIcon());

    m_source = withId(new QComboBox(this), IDC_SOURCE);
    m_device = withId(new QComboBox(this), IDC_DEVICE);
    m_component = withId(new QLineEdit(this), IDC_COMPONENT);
    m_address = withId(new QLineEdit(this), IDC_ADDRESS);
    m_addressHex = withId(new QLineEdit(this), IDC_ADDRESS_HEX);
    m_addressHex->setReadOnly(true);
    m_addressHex->setFrame(false);
    m_addressHex->setFocusPolicy(Qt::ClickFocus);
    m_addressHex->setFixedWidth(m_addressHex->fontMetrics().horizontalAdvance(QStringLiteral("0xFFFFFFFF")) +
                                8);
    m_registerType = withId(new QComboBox(this), IDC_REGISTER_TYPE);
    m_dataType = withId(new QComboBox(this), IDC_DATA_TYPE);
    m_byteOrder = withId(new QComboBox(this), IDC_BYTE_ORDER);
    m_dataItem = withId(new QComboBox(this), IDC_DATA_ITEM);
    for (QComboBox* box : {m_source, m_device, m_registerType, m_dataType, m_byteOrder, m_dataItem})
        box->setMinimumContentsLength(22);

    auto* grid = new QGridLayout;
    auto addRow = [&](unsigned labelId, QWidget* control, int row) {
        auto* label = withId(new QLabel(dialogText(context, templateId, labelId), this), int(labelId));
        label->setBuddy(control);
        grid->addWidget(label, row, 0);
        grid->addWidget(control, row, 1, 1, control == m_address ? 1 : 2);
    };
    addRow(LabelSource, m_source, 0);
    addRow(LabelDevice, m_device, 1);
    addRow(LabelComponent, m_component, 2);
    addRow(LabelAddress, m_address, 3);
    grid->addWidget(m_addressHex, 3, 2);
    addRow(LabelRegisterType, m_registerType, 4);
    addRow(LabelDataType, m_dataType, 5);
    addRow(LabelByteOrder, m_byteOrder, 6);
    addRow(LabelDataItem, m_dataItem, 7);
    grid->setColumnStretch(1, 1);

    // Stored maps may hold such entries, so they stay allowed; the user is told before OK.
    m_rangeNote = withId(new QLabel(dialogText(context, templateId, IDC_RANGE_NOTE), this), IDC_RANGE_NOTE);
    m_rangeNote->setWordWrap(true);
    m_rangeNote->setVisible(false);

    m_ok = withId(new QPushButton(dialogText(context, templateId, 1), this), 1);
    m_ok->setDefault(true);
    m_cancel = withId(new QPushButton(dialogText(context, templateId, 2), this), 2);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(m_rangeNote);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_source, &QComboBox::activated, this, &CDlgEditRegister::sourceChosen);
    connect(m_device, &QComboBox::activated, this, &CDlgEditRegister::deviceChosen);
    connect(m_registerType, &QComboBox::activated, this, &CDlgEditRegister::registerTypeChosen);
    connect(m_dataType, &QComboBox::activated, this, &CDlgEditRegister::dataTypeChosen);
    connect(m_byteOrder, &QComboBox::activated, this, &CDlgEditRegister::byteOrderChosen);
    connect(m_dataItem, &QComboBox::activated, this, &CDlgEditRegister::dataItemChosen);
    connect(m_ok, &QPushButton::clicked, this, &CDlgEditRegister::accept);
    connect(m_cancel, &QPushButton::clicked, this, &CDlgEditRegister::reject);
    m_component->installEventFilter(this);
    m_address->installEventFilter(this);
    connect(m_address, &QLineEdit::textChanged, this, &CDlgEditRegister::updateRangeNote);
    for (QComboBox* box : {m_source, m_registerType, m_dataType, m_dataItem})
        connect(box, &QComboBox::activated, this, &CDlgEditRegister::updateRangeNote);
}

void CDlgEditRegister::updateRangeNote() {
    tesmor::RegisterInfo shown = m_register;
    const ParsedAddress typed = parseAddress(m_address->text());
    if (typed.value >= 0 && typed.value <= 65535) shown.address = static_cast<std::int32_t>(typed.value);
    // An incomplete entry still takes the register at its address.
    const int span = std::max(tesmor::registerSpan(shown, tesmor::loadItemCaptions(m_context.resources)), 1);
    const bool outside = shown.address < 0 || std::int64_t{shown.address} + span > kStoreRegisters;
    m_rangeNote->setVisible(!m_address->text().isEmpty() && outside);
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
    for (int i = 0; i < CaptionCount; ++i) m_captions[i] = loadString(m_context, kCaptionIds[i]).left(255);

    m_source->clear();
    m_source->addItems({caption(SourceDevice), caption(SourceChromatogram), caption(SourcePeak)});
    m_device->clear();
    if (m_context.devices) {
        // One whole poll: the monitor swaps in a new list, never changes a published one.
        if (const auto devices = m_context.devices())
            for (const tesmor::DeviceInfo& device : *devices) m_device->addItem(toQString(device.name));
    }
    m_registerType->clear();
    for (auto text : {texts::coilStatus, texts::inputStatus, texts::inputRegisters, texts::holdingRegisters})
        m_registerType->addItem(toQString(text));
    m_dataType->clear();
    for (auto text : {texts::typeBool, texts::typeFloat, texts::typeInt})
        m_dataType->addItem(toQString(text));
    m_byteOrder->clear();
    for (auto text :
         {texts::bigEndian, texts::littleEndian, texts::bigEndianByteSwap, texts::littleEndianByteSwap})
        m_byteOrder->addItem(toQString(text));
    m_dataItem->clear();

    for (QComboBox* box : {m_source, m_device, m_registerType, m_dataType, m_byteOrder, m_dataItem})
        box->setCurrentIndex(-1);
    m_component->clear();
    m_address->clear();
    m_addressHex->clear();
    m_takenAddressText.reset();

    m_source->setEnabled(true);
    m_device->setEnabled(false);
    m_component->setEnabled(false);
    m_address->setEnabled(true);
    m_registerType->setEnabled(true);
    m_dataType->setEnabled(true);
    m_byteOrder->setEnabled(false);
    m_dataItem->setEnabled(false);
    m_source->setFocus();

    if (m_editMode) showRegister();
    m_takenAddressText = m_address->text();
    updateRangeNote();
}

void CDlgEditRegister::showRegister() {
    const QString source = toQString(m_register.source);
    const QString item = toQString(m_register.dataItem);
    if (source == caption(SourceDevice)) {
        m_source->setCurrentIndex(0);
        m_device->setEnabled(true);
        m_device->setCurrentIndex(indexOfText(m_device, m_register.deviceName));
        m_component->setEnabled(false);
        fillDataItems(0);
        m_dataItem->setCurrentIndex(indexOfText(m_dataItem, m_register.dataItem));
    } else if (source == caption(SourceChromatogram)) {
        m_source->setCurrentIndex(1);
        fillDataItems(1);
        m_dataItem->setCurrentIndex(indexOfText(m_dataItem, m_register.dataItem));
        if (item == caption(ItemSampleTime)) m_dataType->setEnabled(false);
    } else if (source == caption(SourcePeak)) {
        m_source->setCurrentIndex(2);
        m_component->setEnabled(true);
        m_component->setText(toQString(m_register.component));
        m_device->setEnabled(false);
        m_register.deviceName.clear();
        fillDataItems(2);
        m_dataItem->setCurrentIndex(indexOfText(m_dataItem, m_register.dataItem));
    }

    m_address->setText(QString::number(m_register.address));
    m_addressHex->setText(hexAddressText(m_register.address));

    const int type = indexOfText(m_registerType, m_register.registerType);
    m_registerType->setCurrentIndex(type);
    if (type == 0 || type == 1) {
        m_dataType->setCurrentIndex(0);
        m_dataType->setEnabled(false);
        m_byteOrder->setEnabled(false);
    } else if (type == 2 || type == 3) {
        m_dataType->setEnabled(true);
        m_byteOrder->setEnabled(true);
        // Sample time is always five INT registers, whichever 16-bit table holds it.
        if (sampleTimeShown()) m_dataType->setEnabled(false);
    }

    const int dataType = indexOfText(m_dataType, m_register.dataType);
    m_dataType->setCurrentIndex(dataType);
    if (dataType == 0 || dataType == 2)
        m_byteOrder->setEnabled(false);
    else if (dataType == 1)
        m_byteOrder->setEnabled(true);

    m_byteOrder->setCurrentIndex(indexOfText(m_byteOrder, m_register.byteOrder));
}

void CDlgEditRegister::fillDataItems(int source) {
    m_dataItem->setEnabled(true);
    m_dataItem->clear();
    switch (source) {
        case 0:
            m_dataItem->addItems({caption(ItemMode), caption(ItemLastError)});
            break;
        case 1:
            m_dataItem->addItems(
                {caption(ItemSampleTime), caption(ItemSampleNumber), caption(ItemSeriesNumber)});
            break;
        default:
            m_dataItem->addItems({caption(ItemConcentration), caption(ItemArea), caption(ItemRetentionTime)});
            break;
    }
    m_dataItem->setCurrentIndex(-1);
}

bool CDlgEditRegister::sampleTimeShown() const {
    return m_dataItem->currentIndex() >= 0 && m_dataItem->currentText() == caption(ItemSampleTime);
}

bool CDlgEditRegister::bitRegisterTypeShown() const {
    const int type = m_registerType->currentIndex();
    return type == 0 || type == 1;
}

void CDlgEditRegister::clearByteOrder() {
    m_register.byteOrder.clear();
    m_byteOrder->setCurrentIndex(-1);
    m_byteOrder->setEnabled(false);
}

void CDlgEditRegister::lockDataTypeToInt() {
    m_dataType->setCurrentIndex(2);
    m_dataType->setEnabled(false);
    m_register.dataType = texts::typeInt;
    clearByteOrder();
}

void CDlgEditRegister::warn(unsigned stringId, QWidget* focus) {
    tesmor::showMessage(m_context.resources.loadString(stringId), tesmor::MessageIcon::Warning);
    if (focus) focus->setFocus();
}

void CDlgEditRegister::sourceChosen(int index) {
    if (index < 0 || index > 2) return;
    m_register.source = toU16(m_source->itemText(index));
    if (index == 0) {
        m_device->setEnabled(true);
    } else {
        m_device->setEnabled(false);
        m_device->setCurrentIndex(-1);
        m_register.deviceName.clear();
    }
    if (index == 2) {
        m_component->setEnabled(true);
    } else {
        m_component->setEnabled(false);
        m_component->clear();
        m_register.component.clear();
    }
    fillDataItems(index);
}

void CDlgEditRegister::deviceChosen(int index) {
    if (index >= 0) m_register.deviceName = toU16(m_device->itemText(index));
}

void CDlgEditRegister::componentFocusLost() { m_register.component = toU16(m_component->text()); }

bool CDlgEditRegister::addressFocusLost() {
    const QString text = m_address->text();
    const ParsedAddress parsed = parseAddress(text);
    m_parsedAddress = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        parsed.value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
    if (parsed.value < 0 || parsed.value > 65535) {
        // The message box takes the focus; its focus changes are not the user leaving the box.
        m_inAddressCheck = true;
        warn(IDS_ADDRESS_RANGE, m_address);
        m_inAddressCheck = false;
        return false;
    }
    if (parsed.hexadecimal) m_address->setText(QString::number(parsed.value));
    m_addressHex->setText(hexAddressText(m_parsedAddress));
    m_register.address = m_parsedAddress;
    m_takenAddressText = m_address->text();
    return true;
}

void CDlgEditRegister::registerTypeChosen(int index) {
    if (index < 0 || index > 3) return;
    if ((index == 0 || index == 1) && sampleTimeShown()) {
        // A bit table cannot hold the five sample time registers: the same refusal as choosing
        // sample time on a bit type.
        m_registerType->setCurrentIndex(2);
        m_register.registerType = texts::inputRegisters;
        lockDataTypeToInt();
        warn(IDS_SAMPLE_TIME_16BIT, m_registerType);
        return;
    }
    m_register.registerType = toU16(m_registerType->itemText(index));
    if (index == 0 || index == 1) {
        m_dataType->setCurrentIndex(0);
        m_dataType->setEnabled(false);
        m_register.dataType = texts::typeBool;
        clearByteOrder();
    } else if (sampleTimeShown()) {
        lockDataTypeToInt();
    } else {
        m_dataType->setCurrentIndex(-1);
        m_dataType->setEnabled(true);
        m_register.dataType.clear();
        clearByteOrder();
    }
}

void CDlgEditRegister::dataTypeChosen(int index) {
    if (index < 0 || index > 2) return;
    m_register.dataType = toU16(m_dataType->itemText(index));
    if (index == 1) {
        m_byteOrder->setCurrentIndex(0);
        m_byteOrder->setEnabled(true);
        m_register.byteOrder = texts::bigEndian;
    } else {
        clearByteOrder();
    }
}

void CDlgEditRegister::byteOrderChosen(int index) {
    if (index >= 0) m_register.byteOrder = toU16(m_byteOrder->itemText(index));
}

void CDlgEditRegister::dataItemChosen(int index) {
    if (index < 0) return;
    m_register.dataItem = toU16(m_dataItem->itemText(index));
    if (!sampleTimeShown()) {
        // A bit register type keeps its "BOOL".
        m_dataType->setEnabled(!bitRegisterTypeShown());
        return;
    }
    lockDataTypeToInt();
    if (m_registerType->currentIndex() < 0 || bitRegisterTypeShown()) {
        m_registerType->setCurrentIndex(2);
        m_register.registerType = texts::inputRegisters;
        warn(IDS_SAMPLE_TIME_16BIT, m_registerType);
    }
}

void CDlgEditRegister::accept() {
    m_result = 1;
    // A device or chromatogram entry keeps the component text the disabled box never showed.
    if (m_component->isEnabled()) componentFocusLost();
    if (m_takenAddressText != m_address->text() && !addressFocusLost()) return;

    if (m_device->currentText().isEmpty() && toQString(m_register.source) == caption(SourceDevice))
        return warn(IDS_NEED_DEVICE, m_device);
    if (m_component->text().isEmpty() && toQString(m_register.source) == caption(SourcePeak))
        return warn(IDS_NEED_COMPONENT, m_component);
    if (m_address->text().isEmpty()) return warn(IDS_NEED_ADDRESS, m_address);
    if (m_registerType->currentIndex() < 0) return warn(IDS_NO_REGISTER_TYPE, m_registerType);
    if (m_dataType->currentIndex() < 0) return warn(IDS_NO_DATA_TYPE, m_dataType);
    if (m_dataItem->currentIndex() < 0)  // without a source the item list is disabled: go there
        return warn(IDS_NO_DATA_ITEM, m_dataItem->isEnabled() ? m_dataItem : m_source);
    QDialog::accept();
}

void CDlgEditRegister::reject() {
    m_result = 0;
    QDialog::reject();
}

bool CDlgEditRegister::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut && !m_inAddressCheck) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Leaving the window (a message box, another application) is not leaving the box.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            if (watched == m_component)
                componentFocusLost();
            else if (watched == m_address && isVisible())
                addressFocusLost();
        }
    }
    return QDialog::eventFilter(watched, event);
}
