#include "CDlgMain.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QSizePolicy>
#include <QStringList>
#include <QTime>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/ResourceIds.h"
#include "ui/CAboutDlg.h"
#include "ui/CDlgFilters.h"
#include "ui/CDlgMapSettings.h"
#include "ui/CDlgRegisters.h"
#include "ui/CDlgSettings.h"
#include "ui/CGridCtrl.h"
#include "ui/CGridCtrlEditCell.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/TextFit.h"

namespace tesmor::ui {

using namespace res;
using namespace res::window;

namespace {

constexpr int kValueColumn = 6;

struct Column {
    unsigned caption;
    int width;
};
constexpr Column kColumns[] = {{kColumnSource, 120},  {kColumnDevice, 150},    {kColumnComponent, 100},
                               {kColumnAddress, 100}, {kColumnAddressHex, 80}, {kColumnDataItem, 150},
                               {kColumnValue, 100}};

void fitListColumns(CGridCtrl& list) {
    int minimums[std::size(kColumns)];
    for (std::size_t i = 0; i < std::size(kColumns); ++i) minimums[i] = kColumns[i].width;
    // Room for a sample time from the start, so the window's opening size takes it in and the
    // first analysis brings no scroll bar.
    minimums[kValueColumn] =
        std::max(minimums[kValueColumn],
                 list.fontMetrics().horizontalAdvance(QStringLiteral("2026-12-31 23:59")) + 16);
    tesmor::ui::fitColumns(list, minimums);
}

// The entry with the analysis values the last publication wrote for its configuration; the
// entry itself when none was published for it.
RegisterInfo asPublished(const RegisterInfo& entry, std::size_t index, const RegisterMap& published) {
    const RegisterInfo* from = nullptr;
    if (index < published.size() && published[index].sameConfiguration(entry))
        from = &published[index];
    else
        for (const RegisterInfo& p : published)
            if (p.sameConfiguration(entry)) {
                from = &p;
                break;
            }
    RegisterInfo shown = entry;
    if (from) {
        // The device values are the monitor's, newer than any publication.
        const CurrentValues device = shown.values;
        shown.values = from->values;
        shown.values.mode = device.mode;
        shown.values.lastError = device.lastError;
    }
    return shown;
}

QString ascii(const char* begin, const char* end) { return QString::fromLatin1(begin, end - begin); }

QString integerText(long long value) { return QString::number(value); }

QString localTimeText(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&time, &local)) return {};
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &local);
    return ascii(buffer, buffer + n);
}

QPushButton* button(QWidget* parent, unsigned id, const QString& text) {
    return withId(new QPushButton(text, parent), id);
}

}  // namespace

QString valueText(const RegisterInfo& entry) {
    const DataItem item = entry.dataItem;
    const CurrentValues& v = entry.values;
    const float* peakValue = item == DataItem::Concentration   ? &v.concentration
                             : item == DataItem::Area          ? &v.area
                             : item == DataItem::RetentionTime ? &v.retentionTime
                                                               : nullptr;
    if (peakValue && entry.dataType == DataType::Bool)
        return *peakValue != 0 ? QStringLiteral("1") : QStringLiteral("0");
    if (peakValue && entry.dataType == DataType::Float) {
        // Always ".", whatever the process locale says.
        char buffer[400];
        const auto r =
            std::to_chars(buffer, buffer + sizeof buffer, double(*peakValue), std::chars_format::fixed, 7);
        return r.ec == std::errc() ? ascii(buffer, r.ptr) : QString();
    }
    if (entry.dataType != DataType::Int) return {};
    if (item == DataItem::SampleTime) return v.sampleTime == -1 ? QString() : localTimeText(v.sampleTime);
    if (item == DataItem::SampleNumber) return integerText(v.sampleNumber);
    if (item == DataItem::SeriesNumber) return integerText(v.seriesNumber);
    if (peakValue) {
        const double v = *peakValue;
        // std::llround rounds halves away from zero; a value with no integer to show stays empty.
        if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) return {};
        return integerText(std::llround(v));
    }
    return {};
}

void CDlgMain::RefreshGate::post() {
    std::lock_guard lock(mutex);
    if (!window || queued.exchange(true)) return;
    CDlgMain* target = window;
    QMetaObject::invokeMethod(
        target, [target] { target->applyDeviceValues(); }, Qt::QueuedConnection);
}

namespace {

// The form of a counted word (strings `first` to `first` + 3): exactly 1, ending in 1 but not
// 11, ending in 2-4 but not 12-14, other. Russian needs all four; English uses two of them.
QString counted(const StringSource& strings, unsigned first, std::uint64_t n) {
    unsigned form = 3;
    if (n == 1)
        form = 0;
    else if (n % 10 == 1 && n % 100 != 11)
        form = 1;
    else if (n % 10 >= 2 && n % 10 <= 4 && (n % 100 < 12 || n % 100 > 14))
        form = 2;
    // Thousands grouped with the language's separator: "12 345", "12,345".
    const QString separator = toQString(strings.loadString(kThousandsSeparator));
    QString digits = QString::number(n);
    for (int at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, separator);
    return digits + u' ' + toQString(strings.loadString(first + form));
}

QString trafficPart(const StringSource& strings, const char* name, const CounterSnapshot& c, bool masters) {
    QString line = QString::fromLatin1(name) + QStringLiteral(": ");
    if (masters) line += counted(strings, kMaster1, c.masters) + QStringLiteral(", ");
    line += counted(strings, kRequest1, c.requests) + QStringLiteral(", ") +
            counted(strings, kException1, c.exceptions) + QStringLiteral(", ");
    if (c.dropped != 0) line += counted(strings, kDropped1, c.dropped) + QStringLiteral(", ");
    if (c.lastAnsweredMs == 0) return line + toQString(strings.loadString(kNoAnswers));
    const QTime last = QDateTime::fromMSecsSinceEpoch(c.lastAnsweredMs).time();
    return line + toQString(strings.loadString(kLastAnswer)).arg(last.toString(QStringLiteral("HH:mm:ss")));
}

}  // namespace

CDlgMain::CDlgMain(const UiContext& context, QWidget* parent)
    : QDialog(parent), context_(context), gate_(std::make_shared<RefreshGate>()) {
    gate_->window = this;
    setObjectName(QStringLiteral("CDlgMain"));
    setWindowTitle(text(kCaption));
    setModal(false);

    // Created first, so the list comes first in the tab order.
    list_ = new CGridCtrl(this);
    list_->setControlId(kList);
    for (int i = 0; i < int(std::size(kColumns)); ++i)
        list_->insertColumn(i, toQString(context_.resources.loadString(kColumns[i].caption)),
                            kColumns[i].width);

    auto* buttons = new QHBoxLayout;
    auto* map = button(this, kMap, text(kMap));
    auto* settings = button(this, kSettings, text(kSettings));
    auto* filters = button(this, kFilters, text(kFilters));
    auto* reconnectButton = button(this, kReconnect, text(kReconnect));
    auto* registers = button(this, kRegisters, text(kRegisters));
    for (QPushButton* b : {map, settings, filters, reconnectButton, registers}) buttons->addWidget(b);
    buttons->addStretch();

    // The about box's entry, where a window menu of the desktop cannot hold it: a labelled button.
    const QString about = toQString(context_.resources.loadString(kAboutMenu));
    if (!about.isEmpty()) {
        auto* aboutButton = button(this, kAbout, about);
        connect(aboutButton, &QPushButton::clicked, this, &CDlgMain::showAbout);
        buttons->addWidget(aboutButton);
    }

    setWindowIcon(moduleIcon());
    settings_ = new CDlgSettings(context_, this);
    map_ = new CDlgMapSettings(
        context_, [this] { rebuildList(); }, this);
    filters_ = new CDlgFilters(context_, this);
    registers_ = new CDlgRegisters(context_, this);

    traffic_ = new QLabel(this);
    traffic_->setObjectName(controlName(kTraffic));
    traffic_->setTextFormat(Qt::RichText);
    // Wrapped, so that growing counters make the line taller, never the window wider (a long path
    // in a TLS failure is cut rather than that).
    traffic_->setWordWrap(true);
    traffic_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    refreshTraffic();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addWidget(traffic_);
    layout->addLayout(buttons);

    connect(map, &QPushButton::clicked, this, &CDlgMain::showMapDialog);
    connect(settings, &QPushButton::clicked, this, &CDlgMain::showSettingsDialog);
    connect(filters, &QPushButton::clicked, this, &CDlgMain::showFiltersDialog);
    connect(reconnectButton, &QPushButton::clicked, this, &CDlgMain::reconnect);
    connect(registers, &QPushButton::clicked, this, &CDlgMain::showRegistersDialog);

    context_.server.loadRegisterMap();
    rebuildList();
    resize(std::max(840, list_->horizontalHeader()->length() + 2 * list_->frameWidth() + 40), 420);
}

CDlgMain::~CDlgMain() {
    std::lock_guard lock(gate_->mutex);
    gate_->window = nullptr;
}

QString CDlgMain::text(unsigned control) const {
    return toQString(context_.resources.dialogText(kMainWindow, control));
}

void CDlgMain::rebuildList() {
    struct Row {
        QString cells[std::size(kColumns)];
    };
    std::vector<Row> rows;
    {
        const MapCaptions captions = mapCaptions(context_);
        auto locked = context_.server.lock();
        const RegisterMap& entries = locked.registerMap();
        rows.reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const RegisterInfo& e = entries[i];
            const EntryTexts t = captions.texts(e);
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(e.address));
            rows.push_back({{toQString(t.source), toQString(e.deviceName), toQString(e.component),
                             integerText(e.address), QString::fromLatin1(hex), toQString(t.dataItem),
                             valueText(asPublished(e, i, locked.publishedMap()))}});
        }
    }
    list_->deleteAllRows();
    for (int r = 0; r < int(rows.size()); ++r) {
        list_->insertRow(r, rows[r].cells[0]);
        for (int c = 1; c < int(std::size(kColumns)); ++c) list_->setItemText(r, c, rows[r].cells[c]);
    }
    fitListColumns(*list_);
}

void CDlgMain::refreshDeviceValues() { gate_->post(); }

std::function<void()> CDlgMain::deviceRefresher() const {
    return [gate = gate_] { gate->post(); };
}

void CDlgMain::applyDeviceValues() {
    gate_->queued = false;
    std::vector<std::pair<int, QString>> cells;
    {
        auto locked = context_.server.lock();
        const RegisterMap& entries = locked.registerMap();
        for (int i = 0; i < int(entries.size()); ++i) {
            const RegisterInfo& e = entries[std::size_t(i)];
            if (e.dataItem == DataItem::Mode)
                cells.emplace_back(i, integerText(e.values.mode));
            else if (e.dataItem == DataItem::LastError)
                cells.emplace_back(i, integerText(e.values.lastError));
        }
    }
    for (const auto& [row, value] : cells) list_->setItemText(row, kValueColumn, value);
    if (!cells.empty()) fitListColumns(*list_);
    refreshTraffic();
}

QString CDlgMain::trafficText() const { return trafficPlain_; }

void CDlgMain::setRejection(const Rejection& rejection) {
    rejection_ = rejection;
    refreshTraffic();
}

void CDlgMain::refreshTraffic() {
    const ModbusServer& server = context_.server;
    static constexpr struct {
        Transport transport;
        const char* name;
    } kShown[] = {{Transport::Tcp, "TCP"}, {Transport::Tls, "TLS"}, {Transport::Rtu, "RTU"}};
    QStringList plain, rich;
    for (const auto& t : kShown) {
        if (!server.running(t.transport)) continue;
        if (t.transport == Transport::Tls) {
            const std::string failure = server.tlsFailure();
            if (!failure.empty()) {
                const QString part = toQString(context_.resources.loadString(kTlsNotRunning))
                                         .arg(QString::fromStdString(failure));
                plain << part;
                rich << QStringLiteral("<span style=\"color:#c00000\">%1</span>").arg(part.toHtmlEscaped());
                continue;
            }
        }
        const QString part = trafficPart(context_.resources, t.name, server.counters(t.transport),
                                         t.transport != Transport::Rtu);
        plain << part;
        rich << part.toHtmlEscaped();
    }
    if (!rejection_.message.isEmpty()) {
        const QString part =
            toQString(context_.resources.loadString(kRejectedAt))
                .arg(rejection_.at.time().toString(QStringLiteral("HH:mm:ss")), rejection_.message);
        plain << part;
        rich << part.toHtmlEscaped();
    }
    trafficPlain_ = plain.join(QStringLiteral("; "));
    traffic_->setText(rich.join(QStringLiteral("; ")));
}

bool CDlgMain::settingsSaved() const { return settings_->settingsSaved(); }

void CDlgMain::clearSettingsSaved() { settings_->clearSettingsSaved(); }

void CDlgMain::reconnect() {
    if (settingsSaved()) context_.server.restart();
}

void CDlgMain::showSettingsDialog() { settings_->exec(); }

void CDlgMain::showMapDialog() { map_->exec(); }

void CDlgMain::showFiltersDialog() { filters_->exec(); }

// Window-modal without a nested event loop: the view refreshes itself from its timer.
void CDlgMain::showRegistersDialog() { registers_->open(); }

void CDlgMain::showAbout() {
    // Held by a guard: the window may be destroyed while the box is open (the plug-in unloaded).
    QPointer<CAboutDlg> about = new CAboutDlg(context_.resources, this);
    about->exec();
    delete about.data();
}

void CDlgMain::keyPressEvent(QKeyEvent* event) {
    // Enter on a button presses it; anywhere else it closes (hides) the window like Esc.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        !qobject_cast<QPushButton*>(focusWidget())) {
        event->accept();
        reject();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace tesmor::ui
