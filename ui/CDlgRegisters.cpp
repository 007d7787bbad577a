#include "ui/CDlgRegisters.h"

#include <QAbstractTableModel>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>

#include "modbus/RegisterEncoder.h"
#include "platform/MessageSink.h"
#include "platform/ResourceIds.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/TextFit.h"

namespace tesmor::ui {

using namespace res;
using namespace res::registers;

namespace {

constexpr int kRefreshMs = 1000;

// The map's table of a StoreTable: the same order, None left out.
Table tableOf(StoreTable table) { return static_cast<Table>(int(table) + 1); }
constexpr ByteOrder kByteOrders[] = {ByteOrder::BigEndian, ByteOrder::LittleEndian,
                                     ByteOrder::BigEndianByteSwap, ByteOrder::LittleEndianByteSwap};

bool isBitTable(StoreTable table) {
    return table == StoreTable::Coils || table == StoreTable::DiscreteInputs;
}

enum class Column {
    AddressDecimal,
    AddressHex,
    Bit,
    ValueDecimal,
    ValueSigned,
    ValueHex,
    Float0,  // then one per byte order, in kByteOrders order
    Float1,
    Float2,
    Float3,
    Source,
    Device,
    Component,
    DataItem,
};

constexpr Column kBitColumns[] = {Column::AddressDecimal, Column::AddressHex, Column::Bit,     Column::Source,
                                  Column::Device,         Column::Component,  Column::DataItem};
constexpr Column kRegisterColumns[] = {
    Column::AddressDecimal, Column::AddressHex, Column::ValueDecimal, Column::ValueSigned, Column::ValueHex,
    Column::Float0,         Column::Float1,     Column::Float2,       Column::Float3,      Column::Source,
    Column::Device,         Column::Component,  Column::DataItem};

// The widest text a number column can show, so that its width stays as the values change; empty
// for the text columns.
QString widestText(Column column) {
    switch (column) {
        case Column::AddressDecimal:
        case Column::ValueDecimal:
            return QStringLiteral("65535");
        case Column::AddressHex:
        case Column::ValueHex:
            return QStringLiteral("0xFFFF");
        case Column::ValueSigned:
            return QStringLiteral("-32768");
        case Column::Float0:
        case Column::Float1:
        case Column::Float2:
        case Column::Float3:
            return QStringLiteral("-1.17549435e-38");  // as long as a float's shortest text gets
        default:
            return {};
    }
}

// Breaks a heading at its spaces into lines no wider than `width`, as far as its words allow.
// A last word alone takes the one before it along where both fit ("byte swap", not "swap").
QString wrapped(const QString& heading, const QFontMetrics& metrics, int width) {
    QStringList lines;
    for (const QString& word : heading.split(u' ', Qt::SkipEmptyParts)) {
        const QString longer = lines.isEmpty() ? word : lines.back() + u' ' + word;
        if (!lines.isEmpty() && metrics.horizontalAdvance(longer) <= width)
            lines.back() = longer;
        else
            lines << word;
    }
    if (lines.size() >= 2 && !lines.back().contains(u' ')) {
        QString& before = lines[lines.size() - 2];
        const qsizetype space = before.lastIndexOf(u' ');
        const QString last = before.mid(space + 1) + u' ' + lines.back();
        if (space > 0 && metrics.horizontalAdvance(last) <= width) {
            before.truncate(space);
            lines.back() = last;
        }
    }
    return lines.join(u'\n');
}

// Always ".", whatever the process locale says; the shortest text that reads back as the same float.
QString floatText(float value) {
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return r.ec == std::errc() ? QString::fromLatin1(buffer, r.ptr - buffer) : QString();
}

const RegisterSnapshot::Publisher* publisherAt(const RegisterSnapshot& s, int address) {
    const int i = s.publisher[std::size_t(address)];
    return i < 0 ? nullptr : &s.publishers[std::size_t(i)];
}

bool samePublisher(const RegisterSnapshot& a, const RegisterSnapshot& b, int address) {
    const auto* pa = publisherAt(a, address);
    const auto* pb = publisherAt(b, address);
    return pa == pb || (pa && pb && *pa == *pb);
}

}  // namespace

RegisterSnapshot takeSnapshot(ModbusServer& server, StoreTable table) {
    RegisterSnapshot s;
    const Table type = tableOf(table);
    const auto locked = server.lock();
    const modbus_mapping_t& store = locked.registers();
    switch (table) {
        case StoreTable::Coils:
            s.values.assign(store.tab_bits, store.tab_bits + store.nb_bits);
            break;
        case StoreTable::DiscreteInputs:
            s.values.assign(store.tab_input_bits, store.tab_input_bits + store.nb_input_bits);
            break;
        case StoreTable::InputRegisters:
            s.values.assign(store.tab_input_registers, store.tab_input_registers + store.nb_input_registers);
            break;
        case StoreTable::HoldingRegisters:
            s.values.assign(store.tab_registers, store.tab_registers + store.nb_registers);
            break;
    }
    s.publisher.assign(s.values.size(), -1);
    const MapCaptions& captions = locked.captions();
    for (const RegisterInfo& e : locked.registerMap()) {
        if (e.table != type || !e.fitsTables(int(s.values.size()))) continue;
        const EntryTexts t = captions.texts(e);
        s.publishers.push_back({t.source, e.deviceName, e.component, t.dataItem});
        std::fill_n(s.publisher.begin() + e.address, e.span(), int(s.publishers.size()) - 1);
    }
    if (isBitTable(table))
        for (std::uint16_t& bit : s.values) bit = bit ? 1 : 0;
    return s;
}

// The rows of one snapshot; texts are made when the view asks for them.
class CDlgRegisters::Model final : public QAbstractTableModel {
public:
    // `metrics`: the font of the headings.
    Model(const Resources& resources, const QFontMetrics& metrics, QObject* parent)
        : QAbstractTableModel(parent) {
        auto load = [&](unsigned id) { return toQString(resources.loadString(id)); };
        headings_[int(Column::AddressDecimal)] = load(kViewAddress);
        headings_[int(Column::AddressHex)] = load(kViewAddressHex);
        headings_[int(Column::Bit)] = load(kColumnValue);
        headings_[int(Column::ValueDecimal)] = load(kColumnValueDecimal);
        headings_[int(Column::ValueSigned)] = load(kViewSigned);
        headings_[int(Column::ValueHex)] = load(kColumnValueHex);
        for (int i = 0; i < 4; ++i)
            headings_[int(Column::Float0) + i] =
                load(kColumnFloat).arg(toQString(byteOrderText(kByteOrders[i])));
        headings_[int(Column::Source)] = load(kColumnSource);
        headings_[int(Column::Device)] = load(kColumnDevice);
        headings_[int(Column::Component)] = load(kColumnComponent);
        headings_[int(Column::DataItem)] = load(kColumnDataItem);
        // A number column is as narrow as its numbers when its heading takes several lines; the
        // window then fits a common screen.
        for (int c = 0; c <= int(Column::DataItem); ++c) {
            const QString widest = widestText(Column(c));
            if (!widest.isEmpty())
                headings_[c] = wrapped(headings_[c], metrics, metrics.horizontalAdvance(widest));
        }
    }

    void reset(bool bits, RegisterSnapshot snapshot) {
        beginResetModel();
        bits_ = bits;
        snapshot_ = std::move(snapshot);
        endResetModel();
    }

    // Takes the new snapshot and returns the rows whose texts changed.
    std::vector<int> update(RegisterSnapshot snapshot) {
        if (snapshot.values.size() != snapshot_.values.size()) {
            reset(bits_, std::move(snapshot));
            std::vector<int> all(snapshot_.values.size());
            for (std::size_t i = 0; i < all.size(); ++i) all[i] = int(i);
            return all;
        }
        std::vector<int> changed;
        const int n = int(snapshot.values.size());
        for (int r = 0; r < n; ++r) {
            auto differs = [&](int a) {
                return a < n && snapshot.values[std::size_t(a)] != snapshot_.values[std::size_t(a)];
            };
            // A row's floats read the next register too.
            if (differs(r) || (!bits_ && differs(r + 1)) || !samePublisher(snapshot, snapshot_, r))
                changed.push_back(r);
        }
        snapshot_ = std::move(snapshot);
        for (std::size_t i = 0; i < changed.size();) {
            std::size_t j = i + 1;
            while (j < changed.size() && changed[j] == changed[j - 1] + 1) ++j;
            emit dataChanged(index(changed[i], 0), index(changed[j - 1], columnCount() - 1),
                             {Qt::DisplayRole});
            i = j;
        }
        return changed;
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(snapshot_.values.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        if (parent.isValid()) return 0;
        return bits_ ? int(std::size(kBitColumns)) : int(std::size(kRegisterColumns));
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= columnCount())
            return QAbstractTableModel::headerData(section, orientation, role);
        return headings_[int(columnAt(section))];
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid()) return {};
        return cellText(index.row(), columnAt(index.column()));
    }

    Column columnAt(int section) const { return bits_ ? kBitColumns[section] : kRegisterColumns[section]; }

private:
    QString cellText(int row, Column column) const {
        const std::uint16_t value = snapshot_.values[std::size_t(row)];
        const auto* entry = publisherAt(snapshot_, row);
        switch (column) {
            case Column::AddressDecimal:
                return QString::number(row);
            case Column::AddressHex:
                return hexAddressText(row);
            case Column::Bit:
            case Column::ValueDecimal:
                return QString::number(value);
            case Column::ValueSigned:
                return QString::number(std::int16_t(value));
            case Column::ValueHex:
                return hexAddressText(value);
            case Column::Float0:
            case Column::Float1:
            case Column::Float2:
            case Column::Float3: {
                // The last register has no pair.
                if (std::size_t(row) + 1 >= snapshot_.values.size()) return {};
                float f = 0;
                const int order = int(column) - int(Column::Float0);
                decodeFloat({value, snapshot_.values[std::size_t(row) + 1]}, kByteOrders[order], f);
                return floatText(f);
            }
            case Column::Source:
                return entry ? toQString(entry->source) : QString();
            case Column::Device:
                return entry ? toQString(entry->deviceName) : QString();
            case Column::Component:
                return entry ? toQString(entry->component) : QString();
            case Column::DataItem:
                return entry ? toQString(entry->dataItem) : QString();
        }
        return {};
    }

    QString headings_[int(Column::DataItem) + 1];
    bool bits_ = false;
    RegisterSnapshot snapshot_;
};

CDlgRegisters::CDlgRegisters(const UiContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("CDlgRegisters"));
    setWindowTitle(text(kCaption));
    setWindowIcon(moduleIcon());

    auto* tableLabel = withId(new QLabel(text(kTableLabel), this), kTableLabel);
    tables_ = withId(new QComboBox(this), kTable);
    for (auto table : {StoreTable::Coils, StoreTable::DiscreteInputs, StoreTable::InputRegisters,
                       StoreTable::HoldingRegisters})
        tables_->addItem(toQString(tableText(tableOf(table))));
    tableLabel->setBuddy(tables_);
    auto* addressLabel = withId(new QLabel(text(kAddressLabel), this), kAddressLabel);
    address_ = withId(new QLineEdit(this), kAddress);
    address_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    addressLabel->setBuddy(address_);

    list_ = withId(new QTableView(this), kList);
    model_ = new Model(context_.resources, list_->horizontalHeader()->fontMetrics(), this);
    list_->setModel(model_);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->horizontalHeader()->setHighlightSections(false);
    // Columns start at their narrowest: the table's fitting only widens them, to their texts.
    list_->horizontalHeader()->setDefaultSectionSize(list_->horizontalHeader()->minimumSectionSize());

    auto* close = withId(new QPushButton(text(kClose), this), kClose);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(tableLabel);
    top->addWidget(tables_);
    top->addSpacing(16);
    top->addWidget(addressLabel);
    top->addWidget(address_);
    top->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(list_, 1);
    layout->addLayout(bottom);

    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("refreshTimer"));
    timer_->setInterval(kRefreshMs);
    connect(timer_, &QTimer::timeout, this, &CDlgRegisters::refresh);

    tables_->setCurrentIndex(int(table_));
    showTable(table_);
    connect(tables_, &QComboBox::currentIndexChanged, this, [this](int i) { showTable(StoreTable(i)); });

    // Wide enough for every column of the register tables where the screen allows.
    const int width = list_->horizontalHeader()->length() + 2 * list_->frameWidth() +
                      list_->verticalScrollBar()->sizeHint().width() + 24;
    resize(width, 560);
    fitScreen();
}

void CDlgRegisters::fitScreen() {
    const QScreen* shown = screen();
    if (!shown) return;
    // The frame is known once the window is shown; before that it counts as none.
    const QRect room = shown->availableGeometry();
    const int frameWidth = frameGeometry().width() - width();
    const int frameHeight = frameGeometry().height() - height();
    if (width() + frameWidth > room.width() || height() + frameHeight > room.height())
        resize(std::min(width(), room.width() - frameWidth), std::min(height(), room.height() - frameHeight));
}

CDlgRegisters::~CDlgRegisters() = default;

QString CDlgRegisters::text(unsigned control) const {
    return dialogText(context_, kRegistersDialog, control);
}

void CDlgRegisters::showTable(StoreTable table) {
    if (tables_->currentIndex() != int(table)) {
        tables_->setCurrentIndex(int(table));  // the drop-down comes back here
        return;
    }
    table_ = table;
    model_->reset(isBitTable(table), takeSnapshot(context_.server, table));
    // Each table's columns from their narrowest: the same section of another table held
    // another column.
    QHeaderView* header = list_->horizontalHeader();
    const int margins =
        2 * (list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1) + 1;
    std::vector<int> minimums;
    for (int c = 0; c < model_->columnCount(); ++c) {
        header->resizeSection(c, header->minimumSectionSize());
        const QString widest = widestText(model_->columnAt(c));
        minimums.push_back(widest.isEmpty() ? 0 : list_->fontMetrics().horizontalAdvance(widest) + margins);
    }
    fitColumns(*list_, minimums);
    header->setOffset(0);
}

void CDlgRegisters::refresh() {
    const std::vector<int> changed = model_->update(takeSnapshot(context_.server, table_));
    if (!changed.empty()) fitColumnsToRows(*list_, changed);
}

void CDlgRegisters::jumpTo(int address) {
    if (address < 0 || address >= model_->rowCount()) return;
    const QModelIndex index = model_->index(address, 0);
    list_->setCurrentIndex(index);
    list_->selectRow(address);
    list_->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void CDlgRegisters::goTo() {
    const QString typed = address_->text().trimmed();
    if (typed.isEmpty()) return;
    bool read = false;
    qlonglong address = -1;
    if (typed.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive)) {
        const QString digits = typed.mid(2);
        read = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(), [](QChar c) {
            return c.isDigit() || (c.toLower() >= u'a' && c.toLower() <= u'f');
        });
        if (read) address = digits.toLongLong(&read, 16);
    } else {
        address = typed.toLongLong(&read, 10);
    }
    if (!read) {
        showMessage(toU16(loadString(context_, kGoToUnreadable).arg(typed)), MessageIcon::Warning);
    } else if (address < 0 || address >= model_->rowCount()) {
        const QString last = QString::number(model_->rowCount() - 1);
        showMessage(toU16(loadString(context_, kGoToOutside).arg(typed, last)), MessageIcon::Warning);
    } else {
        jumpTo(int(address));
    }
}

void CDlgRegisters::showEvent(QShowEvent* event) {
    refresh();
    timer_->start();
    QDialog::showEvent(event);
    fitScreen();
}

void CDlgRegisters::hideEvent(QHideEvent* event) {
    timer_->stop();
    QDialog::hideEvent(event);
}

void CDlgRegisters::keyPressEvent(QKeyEvent* event) {
    // Enter in the address box jumps there instead of pressing the default button; the box has
    // read its text by the time the key reaches the window.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && address_->hasFocus()) {
        goTo();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace tesmor::ui
