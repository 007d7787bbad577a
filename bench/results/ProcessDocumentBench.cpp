// Publishing one assay: processDocument (peak names folded once each, looked up by folded name)
// against the same work with the pairwise loop that folds both names for every entry and peak.
// Both read the same database and write the same registers in the same run; the ratio of the two
// and the growth with the peak count are printed at the end.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "LabDatabase.h"
#include "modbus/ModbusTestSupport.h"
#include "platform/Resources.h"
#include "platform/Text.h"
#include "publish/DocumentProcessing.h"
#include "results/DataBaseConnection.h"
#include "results/TextFolding.h"

namespace {

using namespace tesmor;

// A profile holding only a map of peak entries, INT in holding registers 0, 1, 2, ...
class MapProfile : public Profile {
public:
    explicit MapProfile(int entries) : entries_(entries) {}

    std::int32_t getInt(std::u16string_view, std::u16string_view key, std::int32_t def) override {
        const int i = index(key);
        return key.starts_with(u"regAddress_") && i < entries_ ? i : def;
    }
    std::u16string getString(std::u16string_view, std::u16string_view key, std::u16string_view def) override {
        const int i = index(key);
        if (i >= entries_) return std::u16string(def);
        if (key.starts_with(u"regVelmarData_")) return u"Пик хроматограммы";
        // Every tenth entry names no peak; the others name one, in another letter case.
        if (key.starts_with(u"regComponent_"))
            return i % 10 ? u"КОМПОНЕНТ " + toUtf16(std::to_string(i * 7)) : u"гелий";
        if (key.starts_with(u"regType_")) return u"Holding Registers (4x)";
        if (key.starts_with(u"regDataType_")) return u"INT";
        if (key.starts_with(u"regData_")) return u"Площадь пика";
        return std::u16string(def);
    }
    bool setInt(std::u16string_view, std::u16string_view, std::int32_t) override { return false; }
    bool setString(std::u16string_view, std::u16string_view, std::u16string_view) override { return false; }
    bool delKey(std::u16string_view) override { return false; }

private:
    int entries_;
    static int index(std::u16string_view key) {
        const auto underscore = key.rfind(u'_');
        return underscore == std::u16string_view::npos ? 0 : leadingInteger(key.substr(underscore + 1));
    }
};

struct Lab {
    explicit Lab(int peaks) {
        std::string pattern = (std::filesystem::temp_directory_path() / "tesmor-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir = pattern;
        host::LabDatabase db((dir / "lab.db").string());
        std::vector<host::LabPeak> list;
        for (int i = 0; i < peaks; ++i)
            list.push_back({"Компонент " + std::to_string(i), i % 2, 0.01 * i, 1.0 * i, 0.5, 1.0});
        host::LabAssay assay;
        assay.uuid = "123e4567-e89b-12d3-a456-426614174000";
        id = static_cast<std::int32_t>(db.addAssay(assay, list));
    }
    ~Lab() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::filesystem::path dir;
    std::int32_t id = 0;
};

// The same steps as processDocument, with the matching done pair by pair.
void processPairwise(const DataBaseConnection& location, ModbusServer& server, std::int32_t assayId,
                     const FilterSettings& filters) {
    DataBase::SqlDatabase database;
    database.open(location.connectionUri());
    const auto assay = readAssay(database, assayId);
    if (!assay || filters.check(*assay) != FilterVerdict::Passed) return;
    const std::uint16_t sampleNumber = crc16(toUtf8(assay->uuid));
    const auto locked = server.lock();
    for (auto& entry : locked.registerMap()) {
        CurrentValues& v = entry.values;
        if (entry.dataItem == DataItem::SampleTime) {
            v.sampleTime = assay->date;
        } else if (entry.dataItem == DataItem::SampleNumber) {
            v.sampleNumber = sampleNumber;
        } else if (entry.dataItem == DataItem::SeriesNumber) {
            v.seriesNumber = assay->numinseria;
        } else {
            for (const auto& peak : assay->peaks) {
                if (foldCase(entry.component) == foldCase(peak.name)) {
                    v.concentration = static_cast<float>(peak.concentration);
                    v.area = static_cast<float>(peak.area);
                    v.retentionTime = static_cast<float>(peak.time);
                }
            }
        }
        locked.writeRegister(entry);
    }
}

template <void (*Process)(const DataBaseConnection&, ModbusServer&, std::int32_t, const FilterSettings&)>
void publish(benchmark::State& state) {
    const Lab lab(static_cast<int>(state.range(0)));
    DataBaseConnection database;
    database.setConnectionUri(toUtf16((lab.dir / "lab.db").string()).c_str());
    MapProfile profile(static_cast<int>(state.range(1)));
    test::CaptionStrings captions;
    ModbusServer server(profile, captions);
    server.reloadConfiguration();
    const FilterSettings filters;
    for (auto _ : state) Process(database, server, lab.id, filters);
    if (server.lock().registers().tab_registers[1] != 7) state.SkipWithError("entry 1 was not published");
}

void processIndexed(const DataBaseConnection& location, ModbusServer& server, std::int32_t assayId,
                    const FilterSettings& filters) {
    processDocument(location, server, assayId, filters);
}
void Indexed(benchmark::State& state) { publish<&processIndexed>(state); }
void Pairwise(benchmark::State& state) { publish<&processPairwise>(state); }

// {peaks, map entries}: the peak count grows at a 500-entry map, the map at 5,000 peaks.
void sizes(benchmark::internal::Benchmark* b) {
    for (auto [peaks, entries] : {std::pair{500, 500}, {5000, 500}, {50000, 500}, {5000, 50}, {5000, 250}})
        b->Args({peaks, entries});
}
BENCHMARK(Indexed)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Pairwise)->Apply(sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

class Reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                time[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> time;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const char* size : {"500/500", "5000/500", "50000/500", "5000/50", "5000/250"}) {
        const double indexed = reporter.time[std::string("Indexed/") + size + "/real_time"];
        const double pairwise = reporter.time[std::string("Pairwise/") + size + "/real_time"];
        if (indexed > 0 && pairwise > 0)
            std::cout << "peaks/entries " << size << ": processDocument " << indexed << " ms, pairwise "
                      << pairwise << " ms, pairwise / processDocument = " << pairwise / indexed << "\n";
    }
    benchmark::Shutdown();
    return 0;
}
