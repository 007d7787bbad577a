// tesmor-chrom: looks inside the host's chromatogram files and writes synthetic ones.
#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Text.h"
#include "results/CVelmarFile4.h"
#include "results/SyntheticChromatogram.h"

namespace {

const char* const kHelp = R"(Usage:
  tesmor-chrom show FILE [--json]
  tesmor-chrom synth OUT [options]
  tesmor-chrom --help

show FILE       Prints the format version, the passport (fixed fields, columns, properties),
                and each channel: its number, sample count, paramA, paramB and peak table.
  --json        Prints the same as one JSON document (texts in UTF-8).

synth OUT       Writes a synthetic chromatogram: Gaussian peaks on a noisy baseline, a peak
                table with component names and a passport with "operator", "place" and
                "numinseria". The same options give the same file.
  --channels N    detector channels, 0 to 256 (default 2)
  --samples N     samples per channel (default 6000)
  --peaks N       peaks per channel (default 6)
  --seed N        random seed, 0 to 4294967295 (default 1)
  --operator T    value of the property "operator" (default "Иванова А.П.")
  --place T       value of the property "place" (default "Лаборатория 1")
  --numinseria T  value of the property "numinseria" (default "1")
  --method T      the passport's method (default "Природный газ")
  --sample T      the passport's sample (default "Проба 1")

Exit status: 0 on success; 1 when the file cannot be read or written (the result code and
its meaning go to standard error); 2 on a usage error.

Examples:
  tesmor-chrom synth /tmp/a.chr --channels 3 --samples 20000 --peaks 8 --seed 7 --numinseria 12
  tesmor-chrom show /tmp/a.chr
  tesmor-chrom show /tmp/a.chr --json | jq '.passport.properties'
)";

std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::string u8(const std::u16string& s) { return tesmor::toUtf8(s); }

void printText(const CVelmarFile4& f) {
    const Passport& p = f.passport;
    std::cout << "version: " << int(f.version) << "\n"
              << "passport:\n"
              << "  assayid: " << u8(p.assayid) << "\n"
              << "  series: " << u8(p.series) << "\n"
              << "  andate: " << p.andate << "\n"
              << "  duration: " << number(p.duration) << "\n"
              << "  sample: " << u8(p.sample) << "\n"
              << "  method: " << u8(p.method) << "\n"
              << "  graduation: " << (p.graduation ? "true" : "false") << "\n"
              << "  date: " << p.date << "\n"
              << "  defect: " << (p.defect ? "true" : "false") << "\n"
              << "  mixture: " << u8(p.mixture) << "\n"
              << "  columns: " << p.columns.size() << "\n";
    for (const PassportColumn& c : p.columns) {
        std::cout << "    channel " << c.channel << ": name=" << u8(c.name) << " brand=" << u8(c.brand)
                  << " type=" << c.type << " diameter=" << number(c.diameter)
                  << " length=" << number(c.length) << " carrier=" << u8(c.carrier)
                  << " phase=" << u8(c.phase) << " percent=" << number(c.percent) << " unit=" << c.unit
                  << " fraction0=" << number(c.fraction0) << " fraction1=" << number(c.fraction1)
                  << " film=" << number(c.film) << " part=" << u8(c.part) << " serial=" << u8(c.serial)
                  << "\n";
    }
    std::cout << "  properties: " << p.properties.size() << "\n";
    for (const PassportProperty& pr : p.properties)
        std::cout << "    " << u8(pr.name) << " [" << u8(pr.title) << "] = " << u8(pr.value) << "\n";
    std::cout << "channels: " << f.channels.size() << "\n";
    for (const ChannelData& c : f.channels) {
        std::cout << "  channel " << c.number << ": samples=" << c.samples.size()
                  << " paramA=" << number(c.paramA) << " paramB=" << number(c.paramB)
                  << " peaks=" << c.peaks.size() << "\n";
        if (!c.peaks.empty())
            std::cout << "    #  time  area  height  concent  front  back  left  right  reference  "
                         "flags  "
                         "front_base_height  back_base_height  index  name\n";
        std::size_t i = 0;
        for (const PeakRecord& k : c.peaks) {
            std::cout << "    " << ++i << "  " << number(k.time) << "  " << number(k.area) << "  "
                      << number(k.height) << "  " << number(k.concent) << "  " << number(k.front) << "  "
                      << number(k.back) << "  " << k.left << "  " << k.right << "  "
                      << (k.reference ? "true" : "false") << "  " << k.flags << "  "
                      << number(k.front_base_height) << "  " << number(k.back_base_height) << "  "
                      << number(k.index) << "  " << u8(k.name) << "\n";
        }
    }
}

// JSON has no NaN or infinity; those become their text so nothing is lost silently.
nlohmann::json jsonNumber(double v) {
    if (v != v || v == std::numeric_limits<double>::infinity() ||
        v == -std::numeric_limits<double>::infinity())
        return number(v);
    return v;
}

void printJson(const CVelmarFile4& f) {
    using json = nlohmann::ordered_json;
    const Passport& p = f.passport;
    json columns = json::array();
    for (const PassportColumn& c : p.columns) {
        columns.push_back({{"channel", c.channel},
                           {"name", u8(c.name)},
                           {"brand", u8(c.brand)},
                           {"type", c.type},
                           {"diameter", jsonNumber(c.diameter)},
                           {"length", jsonNumber(c.length)},
                           {"carrier", u8(c.carrier)},
                           {"phase", u8(c.phase)},
                           {"percent", jsonNumber(c.percent)},
                           {"unit", c.unit},
                           {"fraction0", jsonNumber(c.fraction0)},
                           {"fraction1", jsonNumber(c.fraction1)},
                           {"film", jsonNumber(c.film)},
                           {"part", u8(c.part)},
                           {"serial", u8(c.serial)}});
    }
    json properties = json::array();
    for (const PassportProperty& pr : p.properties)
        properties.push_back({{"name", u8(pr.name)}, {"title", u8(pr.title)}, {"value", u8(pr.value)}});
    json channels = json::array();
    for (const ChannelData& c : f.channels) {
        json peaks = json::array();
        for (const PeakRecord& k : c.peaks) {
            peaks.push_back({{"front", jsonNumber(k.front)},
                             {"back", jsonNumber(k.back)},
                             {"time", jsonNumber(k.time)},
                             {"area", jsonNumber(k.area)},
                             {"height", jsonNumber(k.height)},
                             {"concent", jsonNumber(k.concent)},
                             {"name", u8(k.name)},
                             {"reference", k.reference},
                             {"left", k.left},
                             {"right", k.right},
                             {"flags", k.flags},
                             {"front_base_height", jsonNumber(k.front_base_height)},
                             {"back_base_height", jsonNumber(k.back_base_height)},
                             {"index", jsonNumber(k.index)}});
        }
        channels.push_back({{"number", c.number},
                            {"samples", c.samples.size()},
                            {"paramA", jsonNumber(c.paramA)},
                            {"paramB", jsonNumber(c.paramB)},
                            {"peaks", std::move(peaks)}});
    }
    const json out = {{"version", f.version},
                      {"passport",
                       {{"assayid", u8(p.assayid)},
                        {"series", u8(p.series)},
                        {"andate", p.andate},
                        {"duration", jsonNumber(p.duration)},
                        {"sample", u8(p.sample)},
                        {"method", u8(p.method)},
                        {"graduation", p.graduation},
                        {"date", p.date},
                        {"defect", p.defect},
                        {"mixture", u8(p.mixture)},
                        {"columns", std::move(columns)},
                        {"properties", std::move(properties)}}},
                      {"channels", std::move(channels)}};
    std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

int usage(const std::string& problem) {
    std::cerr << "tesmor-chrom: " << problem << "\n(tesmor-chrom --help explains the options)\n";
    return 2;
}

// getopt_long's answers besides a long option's value: an unknown option, an option without its
// value, an operand (with "-" first in the short options); Help stands for -h and --help.
enum : int { Unknown = '?', NoValue = ':', Operand = 1, Help = 'h' };

// getopt_long also takes an unambiguous prefix of a long option's name; we take the whole name
// only, so an option added later changes the meaning of no command line.
bool wholeName(std::string_view given, std::string_view name) {
    if (!given.starts_with("--")) return false;
    given.remove_prefix(2);
    return given.starts_with(name) && (given.size() == name.size() || given[name.size()] == '=');
}

// One parse of argv[1..] by getopt_long, in the order given (no reordering, so a command reads its
// arguments as they were typed; operands after "--" come last). handle(c, given, index) gets each
// option or operand with the whole argument it was read from, and may end the parse by returning
// an exit status.
template <typename Handler>
std::optional<int> parse(int argc, char** argv, const char* shortOptions, const option* options,
                         Handler handle) {
    optind = 0;  // start afresh: getopt_long keeps its place between calls
    opterr = 0;  // the messages are ours
    for (;;) {
        const int at = optind > 0 ? optind : 1;
        int index = -1;
        int c = getopt_long(argc, argv, shortOptions, options, &index);
        if (c == -1) break;
        const std::string given = at < argc ? argv[at] : "";
        if (index >= 0 && !wholeName(given, options[index].name)) c = Unknown;
        if (const auto status = handle(c, given, index)) return status;
    }
    for (int i = optind; i < argc; ++i)
        if (const auto status = handle(Operand, std::string(argv[i]), -1)) return status;
    return std::nullopt;
}

// --help and -h win wherever they stand, also where a value is expected.
bool asksForHelp(int argc, char** argv) {
    const option options[] = {{"help", no_argument, nullptr, Help}, {}};
    const auto stopAtHelp = [](int c, const std::string&, int) -> std::optional<int> {
        if (c == Help) return 0;
        return std::nullopt;
    };
    return parse(argc, argv, "-h", options, stopAtHelp).has_value();
}

template <typename T>
std::optional<T> parseUnsigned(std::string_view text, unsigned long long max) {
    unsigned long long v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc{} || r.ptr != text.data() + text.size() || v > max) return std::nullopt;
    return static_cast<T>(v);
}

// argv[0] is the command.
int show(int argc, char** argv) {
    enum : int { Json = 256 };
    const option options[] = {{"json", no_argument, nullptr, Json}, {}};
    std::optional<std::string> path;
    bool json = false;
    const auto take = [&](int c, const std::string& given, int) -> std::optional<int> {
        if (c == Json)
            json = true;
        else if (c == Operand && !path && given != "-")
            path = given;
        else
            return usage("show: unexpected argument '" + given + "'");
        return std::nullopt;
    };
    if (const auto status = parse(argc, argv, "-", options, take)) return *status;
    if (!path) return usage("show: no FILE given");
    CVelmarFile4 f;
    const std::int32_t result = f.load(tesmor::toUtf16(*path));
    if (result != 0) {
        std::cerr << "tesmor-chrom: " << *path << ": cannot read (code " << result << ": "
                  << velmarResultText(result) << ")\n";
        return 1;
    }
    if (json)
        printJson(f);
    else
        printText(f);
    return 0;
}

// argv[0] is the command.
int synth(int argc, char** argv) {
    enum : int { Channels = 256, Samples, Peaks, Seed, Operator, Place, Numinseria, Method, Sample };
    const option options[] = {{"channels", required_argument, nullptr, Channels},
                              {"samples", required_argument, nullptr, Samples},
                              {"peaks", required_argument, nullptr, Peaks},
                              {"seed", required_argument, nullptr, Seed},
                              {"operator", required_argument, nullptr, Operator},
                              {"place", required_argument, nullptr, Place},
                              {"numinseria", required_argument, nullptr, Numinseria},
                              {"method", required_argument, nullptr, Method},
                              {"sample", required_argument, nullptr, Sample},
                              {}};
    std::optional<std::string> out;
    SyntheticOptions o;
    const auto take = [&](int c, const std::string& given, int index) -> std::optional<int> {
        if (c == Operand) {
            if (out || given.empty() || given == "-")
                return usage("synth: unexpected argument '" + given + "'");
            out = given;
            return std::nullopt;
        }
        if (c == NoValue) return usage("synth: " + given + " needs a value");
        if (c == Unknown) return usage("synth: unknown option " + given);
        const std::string v = optarg;
        const std::string bad = "synth: bad value '" + v + "' for --" + options[index].name;
        if (c == Channels) {
            const auto n = parseUnsigned<int>(v, 256);
            if (!n) return usage(bad);
            o.channels = *n;
        } else if (c == Samples) {
            const auto n = parseUnsigned<std::size_t>(v, 0xFFFFFFFFu);
            if (!n) return usage(bad);
            o.samples = *n;
        } else if (c == Peaks) {
            const auto n = parseUnsigned<int>(v, 1000000);
            if (!n) return usage(bad);
            o.peaks = *n;
        } else if (c == Seed) {
            const auto n = parseUnsigned<std::uint32_t>(v, 0xFFFFFFFFu);
            if (!n) return usage(bad);
            o.seed = *n;
        } else if (c == Operator) {
            o.operatorName = tesmor::toUtf16(v);
        } else if (c == Place) {
            o.place = tesmor::toUtf16(v);
        } else if (c == Numinseria) {
            o.numinseria = tesmor::toUtf16(v);
        } else if (c == Method) {
            o.method = tesmor::toUtf16(v);
        } else if (c == Sample) {
            o.sample = tesmor::toUtf16(v);
        }
        return std::nullopt;
    };
    if (const auto status = parse(argc, argv, "-:", options, take)) return *status;
    if (!out) return usage("synth: no OUT given");
    CVelmarFile4 f = makeSyntheticChromatogram(o);
    const std::int32_t result = f.save(tesmor::toUtf16(*out));
    if (result != 0) {
        std::cerr << "tesmor-chrom: " << *out << ": cannot write (code " << result << ": "
                  << velmarResultText(result) << ")\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (asksForHelp(argc, argv)) {
        std::cout << kHelp;
        return 0;
    }
    if (argc < 2) return usage("no command given");
    const std::string command = argv[1];
    try {
        // The command stands where getopt_long expects the program's name.
        if (command == "show") return show(argc - 1, argv + 1);
        if (command == "synth") return synth(argc - 1, argv + 1);
    } catch (const std::bad_alloc&) {
        std::cerr << "tesmor-chrom: out of memory\n";
        return 1;
    }
    return usage("unknown command '" + command + "'");
}
