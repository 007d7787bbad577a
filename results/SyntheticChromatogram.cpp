#include "results/SyntheticChromatogram.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>

namespace {

constexpr std::array<const char16_t*, 12> kComponents = {u"Метан",   u"Этан",       u"Пропан",   u"изо-Бутан",
                                                         u"н-Бутан", u"изо-Пентан", u"н-Пентан", u"Гексан",
                                                         u"Азот",    u"Кислород",   u"CO2",      u"Гелий"};

std::u16string decimal(long long v) {
    std::u16string out;
    const std::string s = std::to_string(v);
    out.assign(s.begin(), s.end());
    return out;
}

}  // namespace

CVelmarFile4 makeSyntheticChromatogram(const SyntheticOptions& o) {
    CVelmarFile4 file;
    std::mt19937 random(o.seed);
    std::normal_distribution<double> noise(0.0, 2.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr double kBaseline = 1000.0;

    Passport& p = file.passport;
    p.assayid = u"6f1c2a4e-0000-4000-8000-" + decimal(100000000000LL + o.seed);
    p.series = u"Серия " + decimal(o.seed);
    p.andate = o.date;
    p.date = o.date;
    p.duration = o.sampleRate > 0 ? static_cast<double>(o.samples) / o.sampleRate : 0.0;
    p.sample = o.sample;
    p.method = o.method;
    p.mixture = u"ГСО 10541";
    for (int c = 0; c < std::min(o.channels, 2); ++c) {
        PassportColumn column;
        column.channel = c;
        column.name = c == 0 ? u"HayeSep Q" : u"NaX";
        column.brand = u"Хроматэк";
        column.type = 1;
        column.diameter = 3.0;
        column.length = 2.5;
        column.carrier = c == 0 ? u"He" : u"Ar";
        column.phase = u"—";
        column.percent = 100;
        column.unit = 1;
        column.serial = u"SN-" + decimal(1000 + c);
        p.columns.push_back(column);
    }
    p.properties = {{u"operator", u"Оператор", o.operatorName},
                    {u"place", u"Место отбора", o.place},
                    {u"numinseria", u"Номер в серии", o.numinseria}};

    for (int c = 0; c < o.channels; ++c) {
        ChannelData channel;
        channel.number = c;
        channel.paramA = o.sampleRate;
        channel.paramB = 0.001;
        std::vector<double> signal(o.samples, kBaseline);
        const double spacing = static_cast<double>(o.samples) / (o.peaks + 1);
        const bool listed = static_cast<std::size_t>(c) < o.peakList.size();
        const int count = listed ? static_cast<int>(o.peakList[static_cast<std::size_t>(c)].size()) : o.peaks;
        for (int k = 0; k < count; ++k) {
            const SyntheticPeak* given =
                listed ? &o.peakList[static_cast<std::size_t>(c)][static_cast<std::size_t>(k)] : nullptr;
            const double rate = o.sampleRate > 0 ? o.sampleRate : 1.0;
            const double centre =
                given ? given->time * 60.0 * rate : spacing * (k + 1) + (unit(random) - 0.5) * spacing * 0.2;
            const double width = given ? std::max(1.0, given->width * rate)
                                       : std::max(1.0, spacing * (0.04 + 0.04 * unit(random)));
            const double height = given ? given->height : 500.0 + 20000.0 * unit(random);
            const auto from =
                static_cast<std::size_t>(std::clamp(centre - 4 * width, 0.0, static_cast<double>(o.samples)));
            const auto to = static_cast<std::size_t>(
                std::clamp(centre + 4 * width + 1, 0.0, static_cast<double>(o.samples)));
            for (std::size_t i = from; i < to; ++i) {
                const double x = (static_cast<double>(i) - centre) / width;
                signal[i] += height * std::exp(-0.5 * x * x);
            }
            PeakRecord peak;
            peak.front = static_cast<double>(from);
            peak.back = static_cast<double>(to);
            peak.time = given ? given->time : (o.sampleRate > 0 ? centre / o.sampleRate : centre);
            peak.height = height;
            peak.area = height * width * std::sqrt(2 * 3.14159265358979323846);
            peak.concent = given ? given->concentration : std::round(peak.area / 1000.0) / 100.0;
            peak.name = given ? given->name : kComponents[static_cast<std::size_t>(k) % kComponents.size()];
            peak.reference = k == 0;
            peak.left = static_cast<std::int32_t>(from);
            peak.right = static_cast<std::int32_t>(to);
            peak.front_base_height = kBaseline;
            peak.back_base_height = kBaseline;
            peak.index = 100.0 * (k + 1);
            channel.peaks.push_back(peak);
        }
        channel.samples.resize(o.samples);
        for (std::size_t i = 0; i < o.samples; ++i)
            channel.samples[i] = static_cast<std::uint32_t>(std::max(0.0, signal[i] + noise(random)));
        file.channels.push_back(std::move(channel));
    }
    return file;
}
