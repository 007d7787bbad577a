#include "DemoLab.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "LabDatabase.h"
#include "modbus/MapFile.h"
#include "platform/Text.h"
#include "results/SyntheticChromatogram.h"
#include "shell/BuiltInResources.h"

namespace tesmor::host {

namespace {

namespace fs = std::filesystem;

struct Component {
    const char* name;
    int channel;
    double time;     // minutes
    double typical;  // mole %
    double spread;
    double response;  // area per mole %
};

// Hydrocarbons on the first column, the permanent gases on the second.
constexpr Component kGas[] = {
    {"Метан", 0, 1.21, 94.2, 1.2, 5200.0},
    {"Этан", 0, 2.07, 2.9, 0.4, 9600.0},
    {"Пропан", 0, 3.58, 0.85, 0.15, 13800.0},
    {"изо-Бутан", 0, 5.16, 0.16, 0.03, 17500.0},
    {"н-Бутан", 0, 5.93, 0.19, 0.03, 17900.0},
    {"Азот", 1, 1.84, 1.1, 0.25, 4100.0},
    {"Диоксид углерода", 1, 3.12, 0.6, 0.12, 4800.0},
};

const char* const kOperators[] = {"Иванова А.П.", "Петров С.В.", "Сидоренко О.Н."};
const char* const kPlaces[] = {"Узел учёта газа № 1", "Узел учёта газа № 2", "Линия отбора ГРС-3"};
const char* const kMethods[] = {"ГОСТ 31371.7 Природный газ", "Природный газ (быстрый)"};

constexpr std::int64_t kFirstDate = 1765152000;  // 2025-12-08 00:00 UTC
constexpr std::int64_t kSpacing = 3 * 3600;      // one analysis every three hours

std::string uuidFor(std::int64_t n) {
    std::mt19937_64 random(static_cast<std::uint64_t>(n) * 7919u + 17u);
    char text[40];
    const auto a = random(), b = random();
    std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>(a >> 16) & 0xFFFF, static_cast<unsigned>(a) & 0xFFF,
                  0x8000u | (static_cast<unsigned>(b >> 48) & 0x3FFF),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return text;
}

nlohmann::ordered_json entry(const std::string& source, const std::string& device,
                             const std::string& component, int address, const std::string& table,
                             const std::string& type, const std::string& order, const std::string& item) {
    return {{"source", source}, {"device", device}, {"component", component}, {"address", address},
            {"table", table},   {"type", type},     {"order", order},         {"item", item}};
}

}  // namespace

DemoLab::DemoLab(std::string folder, int port) : folder_(std::move(folder)), port_(port) {
    std::error_code error;
    fs::create_directories(folder_ + "/chromatograms", error);
    if (error) throw std::runtime_error(folder_ + ": " + error.message());
    if (!fs::exists(databasePath())) create();
}

std::int64_t DemoLab::addAnalysis(std::int64_t when) {
    LabDatabase db(databasePath());
    std::mt19937 random(static_cast<unsigned>(when));
    std::normal_distribution<double> unit(0.0, 1.0);

    // The number of this analysis: one more than the analyses there are.
    std::string error;
    const auto next = static_cast<std::int64_t>(visibleAssays(databasePath(), error).size()) + 1;

    std::vector<LabPeak> peaks;
    SyntheticOptions options;
    options.channels = 2;
    options.samples = 4800;  // 8 minutes at 10 samples a second
    options.seed = static_cast<std::uint32_t>(next);
    options.date = when;
    options.operatorName = toUtf16(kOperators[next % 3]);
    options.place = toUtf16(kPlaces[next % 3]);
    options.numinseria = toUtf16(std::to_string((next - 1) % 12 + 1));
    options.method = toUtf16(kMethods[next % 2 ? 0 : 1]);
    options.sample = toUtf16("Проба " + std::to_string(next));
    options.peakList.resize(2);
    double total = 0;
    std::vector<double> amounts;
    for (const auto& c : kGas) {
        amounts.push_back(std::max(0.001, c.typical + c.spread * unit(random)));
        total += amounts.back();
    }
    for (std::size_t i = 0; i < std::size(kGas); ++i) {
        const auto& c = kGas[i];
        const double percent = amounts[i] * 100.0 / total;
        const double area = percent * c.response * (1.0 + 0.002 * unit(random));
        const double time = c.time + 0.004 * unit(random);
        const double width = 1.2 + 0.6 * c.time;
        const double height = area / (width * 2.5066282746);
        options.peakList[static_cast<std::size_t>(c.channel)].push_back(
            {toUtf16(c.name), time, height * 10.0, width, percent});
        peaks.push_back({c.name, c.channel + 1, time, area, percent, height});
    }
    const std::string file = folder_ + "/chromatograms/analysis-" + std::to_string(next) + ".chr";
    auto chromatogram = makeSyntheticChromatogram(options);
    // The file's peak tables tell the same areas and heights as the database.
    for (auto& channel : chromatogram.channels) {
        for (auto& record : channel.peaks) {
            for (const auto& p : peaks)
                if (toUtf16(p.name) == record.name) {
                    record.area = p.area;
                    record.height = p.height;
                }
        }
    }
    if (chromatogram.save(toUtf16(file)) != 0)
        throw std::runtime_error(file + ": cannot write the chromatogram");

    LabAssay assay;
    assay.date = when;
    assay.uuid = uuidFor(next);
    assay.filename = file;
    assay.sample = "Проба " + std::to_string(next);
    assay.method = kMethods[next % 2 ? 0 : 1];
    assay.mixture = next % 8 == 0 ? "ГСО 10541" : "";
    assay.iscalibration = next % 8 == 0 ? 1 : 0;
    assay.atmpressure = 100.6 + 0.8 * unit(random);
    assay.airtemp = 21.0 + 1.5 * unit(random);
    return db.addAssay(assay, peaks);
}

void DemoLab::create() {
    {
        LabDatabase db(databasePath());
        for (const char* method : kMethods) db.addMethod(method);
        db.addMethod("Воздух рабочей зоны");
        db.addMixture("ГСО 10541");
        db.addMixture("ГСО 10543");
    }
    for (int i = 0; i < 36; ++i) addAnalysis(kFirstDate + i * kSpacing);

    const std::string device = "Устройство", chrom = "Хроматограмма", peak = "Пик хроматограммы";
    const std::string holding = "Holding Registers (4x)", input = "Input Registers (3x)";
    std::vector<nlohmann::ordered_json> map = {
        entry(chrom, "", "", 0, holding, "INT", "", "Время отбора пробы"),
        entry(chrom, "", "", 5, holding, "INT", "", "Номер пробы"),
        entry(chrom, "", "", 6, holding, "INT", "", "Номер в серии"),
        entry(peak, "", "Метан", 10, holding, "FLOAT", "Big-endian", "Концентрация пика"),
        entry(peak, "", "Метан", 12, holding, "FLOAT", "Little-endian", "Концентрация пика"),
        entry(peak, "", "Метан", 14, holding, "FLOAT", "Big-endian byte swap", "Концентрация пика"),
        entry(peak, "", "Метан", 16, holding, "FLOAT", "Little-endian byte swap", "Концентрация пика"),
    };
    int address = 20;
    for (const auto& c : kGas)
        if (std::string(c.name) != "Метан") {
            map.push_back(
                entry(peak, "", c.name, address, holding, "FLOAT", "Big-endian", "Концентрация пика"));
            address += 2;
        }
    map.push_back(entry(peak, "", "Метан", 40, holding, "FLOAT", "Big-endian", "Площадь пика"));
    map.push_back(entry(peak, "", "Метан", 42, holding, "FLOAT", "Big-endian", "Время выхода пика"));
    map.push_back(entry(peak, "", "Метан", 44, holding, "INT", "", "Площадь пика"));
    map.push_back(entry(device, "Хроматограф-1", "", 50, holding, "INT", "", "Режим устройства"));
    map.push_back(entry(device, "Хроматограф-1", "", 51, holding, "INT", "", "Код последней ошибки"));
    map.push_back(entry(device, "Хроматограф-2", "", 52, holding, "INT", "", "Режим устройства"));
    map.push_back(entry(device, "Хроматограф-2", "", 53, holding, "INT", "", "Код последней ошибки"));
    map.push_back(entry(chrom, "", "", 0, input, "INT", "", "Номер пробы"));
    map.push_back(entry(peak, "", "Диоксид углерода", 1, input, "FLOAT", "Big-endian", "Концентрация пика"));
    map.push_back(entry(peak, "", "Метан", 0, "Coil Status (0x)", "BOOL", "", "Концентрация пика"));
    map.push_back(entry(peak, "", "Азот", 0, "Input Status (1x)", "BOOL", "", "Концентрация пика"));

    nlohmann::ordered_json settings = {{"TCPId", 1},
                                       {"localPort", port_},
                                       {"RTUId", 1},
                                       {"portName", "COM1"},
                                       {"baud", 9600},
                                       {"dataBits", 8},
                                       {"parity", "None"},
                                       {"stopBits", 1},
                                       {"isRTU", 0},
                                       {"isTCP", 1},
                                       // two mbpoll windows and a SCADA trial may read it at once
                                       {"maxMasters", 4},
                                       // nobody watches the demo: a rejected analysis must not stop it
                                       {"rejectNotice", 1}};
    nlohmann::ordered_json mapSection = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < map.size(); ++i) {
        const auto n = std::to_string(i);
        const auto& e = map[i];
        mapSection["regVelmarData_" + n] = e["source"];
        mapSection["regDeviceName_" + n] = e["device"];
        mapSection["regComponent_" + n] = e["component"];
        mapSection["regAddress_" + n] = e["address"];
        mapSection["regType_" + n] = e["table"];
        mapSection["regDataType_" + n] = e["type"];
        mapSection["regFloatOrder_" + n] = e["order"];
        mapSection["regData_" + n] = e["item"];
    }
    nlohmann::ordered_json profile;
    profile["plugins"]["tesmor"]["Settings"] = settings;
    profile["plugins"]["tesmor"]["MapSettings"] = mapSection;
    profile["plugins"]["tesmor"]["Filters"] = {{"chrmType", -1}};
    std::ofstream(profilePath()) << profile.dump(2) << "\n";

    // The same map as a file, for a spreadsheet, another analyser or tesmor-host --import-map.
    const Resources russian(builtInResourceTable());
    const MapCaptions captions(russian);
    RegisterMap file;
    for (const auto& e : map) {
        auto text = [&](const char* key) { return toUtf16(e[key].get<std::string>()); };
        file.push_back(
            captions.parse({text("source"), text("device"), text("component"), e["address"].get<int>(),
                            text("table"), text("type"), text("order"), text("item")}));
    }
    std::ofstream(mapFilePath(), std::ios::binary) << writeMapFile(file, MapLanguages{&russian, {}});
}

std::vector<Device> DemoLab::devicesAt(std::int64_t tick) {
    // 0 idle, 1 running, 2 cooling: each phase lasts 20 seconds.
    const auto phase = [](std::int64_t t) { return static_cast<std::int32_t>((t / 20) % 3); };
    return {
        {u"Хроматограф-1", 0, phase(tick)},
        {u"Хроматограф-2", (tick % 60) < 8 ? 17 : 0, phase(tick + 20)},
    };
}

std::string DemoLab::mbpollCommands() const {
    const std::string base = "mbpoll -m tcp -p " + std::to_string(port_) + " -a 1 -0 -1 ";
    std::ostringstream out;
    out << "Read what the demo publishes (register numbers from 0):\n"
        << "  sample time d/m/y h:m, sample number, number in series:\n"
        << "    " << base << "-t 4 -r 0 -c 7 127.0.0.1\n"
        << "  methane concentration in the four byte orders (raw words):\n"
        << "    " << base << "-t 4:hex -r 10 -c 8 127.0.0.1\n"
        << "  the same as floats (Big-endian, then Little-endian byte swap):\n"
        << "    " << base << "-t 4:float -B -r 10 -c 1 127.0.0.1\n"
        << "    " << base << "-t 4:float -r 16 -c 1 127.0.0.1\n"
        << "  other components (Big-endian floats: ethane, propane, i-butane, n-butane, N2, CO2):\n"
        << "    " << base << "-t 4:float -B -r 20 -c 6 127.0.0.1\n"
        << "  chromatograph modes and error codes:\n"
        << "    " << base << "-t 4 -r 50 -c 4 127.0.0.1\n";
    return out.str();
}

}  // namespace tesmor::host
