#pragma once
// The demo lab: a natural-gas laboratory in a folder of its own, with a host database, one
// chromatogram file per analysis, two simulated chromatographs and a register map that shows
// every data item and each float byte order, in the profile and as the map file map.csv.
#include <cstdint>
#include <string>
#include <vector>

#include "HostCore.h"

namespace tesmor::host {

class DemoLab {
public:
    // Creates the lab in `folder` when its database is missing (a few dozen analyses, the
    // profile with Modbus TCP on `port`); an existing lab is used as it is.
    // Throws std::runtime_error when the folder cannot be written.
    DemoLab(std::string folder, int port);

    std::string databasePath() const { return folder_ + "/lab.db"; }
    std::string profilePath() const { return folder_ + "/profile.json"; }
    // The demo's register map as a map file (written with the lab).
    std::string mapFilePath() const { return folder_ + "/map.csv"; }
    int port() const noexcept { return port_; }

    // Writes one more analysis (file and database rows) dated `when`; returns its id.
    std::int64_t addAnalysis(std::int64_t when);
    // The devices at second `tick` of the run: modes cycle idle, running, cooling; the second
    // chromatograph reports error 17 now and then.
    static std::vector<Device> devicesAt(std::int64_t tick);
    // Ready-to-paste commands that read what the demo publishes.
    std::string mbpollCommands() const;

private:
    void create();

    std::string folder_;
    int port_;
};

}  // namespace tesmor::host
