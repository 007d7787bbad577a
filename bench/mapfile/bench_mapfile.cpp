// A 500-entry register map: importing its map file into a JSON profile (the work of
// tesmor-host --import-map after start-up) against writing the same map to that profile alone,
// and opening the map dialog on it against opening it on an empty map. Prints each pair's ratio.
// Without a display the dialog is drawn offscreen.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "PluginProfile.h"
#include "modbus/MapFile.h"
#include "modbus/ModbusServer.h"
#include "shell/BuiltInResources.h"
#include "support/MemoryProfile.h"
#include "ui/CDlgMapSettings.h"

namespace {

using namespace tesmor;
using namespace tesmor::ui;

const Resources& russian() {
    static const Resources r{builtInResourceTable()};
    return r;
}

// 500 entries: sample time, numbers and device items, and FLOAT peaks in both register tables.
RegisterMap mapOf500() {
    RegisterMap map;
    for (int i = 0; i < 500; ++i) {
        RegisterInfo e;
        if (i % 5 == 0) {
            e.source = Source::Device;
            e.deviceName = u"Хроматограф-" + std::u16string(1, char16_t(u'0' + i % 10));
            e.dataItem = i % 2 ? DataItem::LastError : DataItem::Mode;
            e.dataType = DataType::Int;
        } else {
            e.source = Source::Peak;
            e.component = u"Компонент " + std::u16string(1, char16_t(u'А' + i % 32));
            e.dataItem = DataItem::Concentration;
            e.dataType = DataType::Float;
            e.byteOrder = ByteOrder::BigEndian;
        }
        e.table = i < 250 ? Table::HoldingRegisters : Table::InputRegisters;
        e.address = (i % 250) * 2;
        map.push_back(std::move(e));
    }
    return map;
}

const std::string& mapFile() {
    static const std::string file = writeMapFile(mapOf500(), MapLanguages{&russian(), {}});
    return file;
}

std::string profilePath() {
    static const std::string path =
        (std::filesystem::temp_directory_path() / ("bench-mapfile-" + std::to_string(::getpid()) + ".json"))
            .string();
    return path;
}

void writeProfile(const RegisterMap& map) {
    auto json = host::JsonProfile::open(profilePath()).value.value();
    host::PluginProfile profile(json);
    json.beginBatch();
    saveRegisterMap(profile, map, MapCaptions(russian()));
    if (!json.commit()) std::abort();
}

void ProfileWriteBaseline(benchmark::State& state) {
    const RegisterMap map = mapOf500();
    for (auto _ : state) writeProfile(map);
}
BENCHMARK(ProfileWriteBaseline)->Unit(benchmark::kMillisecond);

void ReadMapFile500(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(readMapFile(mapFile(), MapLanguages{&russian(), {}}));
}
BENCHMARK(ReadMapFile500)->Unit(benchmark::kMillisecond);

void ImportMapFile500(benchmark::State& state) {
    for (auto _ : state) {
        const MapFileImport imported = readMapFile(mapFile(), MapLanguages{&russian(), {}});
        if (!imported.errors.empty() || imported.entries.size() != 500) std::abort();
        writeProfile(imported.entries);
    }
}
BENCHMARK(ImportMapFile500)->Unit(benchmark::kMillisecond);

void openDialog(benchmark::State& state, const RegisterMap& stored) {
    test::MemoryProfile profile;
    saveRegisterMap(profile, stored, MapCaptions(russian()));
    ModbusServer server(profile, russian());
    ui::UiContext context{server, profile, russian(), std::string(),
                          [] { return std::shared_ptr<const DeviceList>(); }};
    CDlgMapSettings dialog(context, {});
    for (auto _ : state) {
        dialog.show();  // loads the map and fills the list
        QApplication::processEvents();
        state.PauseTiming();
        dialog.hide();
        QApplication::processEvents();
        state.ResumeTiming();
    }
}

void OpenDialogEmptyBaseline(benchmark::State& state) { openDialog(state, {}); }
BENCHMARK(OpenDialogEmptyBaseline)->Unit(benchmark::kMillisecond);

void OpenDialog500(benchmark::State& state) { openDialog(state, mapOf500()); }
BENCHMARK(OpenDialog500)->Unit(benchmark::kMillisecond);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto ratio = [&](const char* a, const char* b) {
            if (times_.count(a) && times_.count(b) && times_[b] > 0)
                std::printf("%s / %s: %.2f\n", a, b, times_[a] / times_[b]);
        };
        ratio("ImportMapFile500", "ProfileWriteBaseline");
        ratio("OpenDialog500", "OpenDialogEmptyBaseline");
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove(profilePath());
    return 0;
}
