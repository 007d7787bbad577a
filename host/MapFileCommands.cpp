#include "MapFileCommands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "JsonProfile.h"
#include "PluginProfile.h"
#include "modbus/MapFile.h"
#include "platform/Language.h"
#include "platform/ModulePath.h"
#include "platform/SharedLibrary.h"
#include "platform/Text.h"
#include "shell/BuiltInResources.h"

namespace tesmor::host {

namespace {

constexpr std::uint16_t kRussian = 1049;
constexpr std::uint16_t kEnglish = 1033;

// The resource table of a language library beside the plug-in; null when there is none. The
// library stays loaded: its table is static data of it.
const TesmorResourceTable* libraryTable(const std::string& pluginPath, std::uint16_t language) {
    const auto abbreviation = languageAbbreviation(language);
    if (!abbreviation) return nullptr;
    SharedLibrary library(languageLibraryPath(pluginPath, *abbreviation));
    const TesmorResourceTable* table = resourceTableOf(library);
    if (table) library.keepLoaded();
    return table;
}

// The language in use, as the plug-in chooses it, and the others a map file may be written in.
struct Languages {
    Resources russian{builtInResourceTable()};
    Resources current{nullptr};
    Resources english{nullptr};
    MapLanguages map;

    Languages(std::optional<std::uint16_t> language, const std::string& pluginPath) {
        const TesmorResourceTable* chosen =
            language && *language != kRussian ? libraryTable(pluginPath, *language) : nullptr;
        current = Resources(chosen ? chosen : builtInResourceTable());
        map.current = &current;
        if (chosen) map.others.push_back(&russian);
        const TesmorResourceTable* enu = libraryTable(pluginPath, kEnglish);
        english = Resources(enu);
        if (enu && enu != chosen) map.others.push_back(&english);
    }
};

bool readFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    bytes = content.str();
    return !in.bad();
}

// Written beside the target and renamed over it, so a reader never sees half a file.
bool writeFile(const std::string& path, const std::string& bytes) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ::fchmod(fd, 0644) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
}

int refuse(const std::string& message) {
    std::cerr << "tesmor-host: " << message << std::endl;
    return 1;
}

}  // namespace

int runMapFileCommand(const MapFileCommand& command, const std::string& profilePath,
                      std::optional<std::uint16_t> language, const std::string& pluginPath) {
    auto opened = JsonProfile::open(profilePath);
    if (!opened) {
        std::cerr << "tesmor-host: " << opened.problemText() << std::endl;
        return 2;
    }
    JsonProfile& json = *opened.value;
    PluginProfile profile(json);
    const Languages languages(language, pluginPath);
    const MapCaptions captions(*languages.map.current, languages.map.others);
    const std::string& file = command.file;

    if (command.action == MapFileAction::ImportMap) {
        std::string bytes;
        if (!readFile(file, bytes)) return refuse(file + ": " + std::strerror(errno));
        const MapFileImport imported = readMapFile(bytes, languages.map);
        if (!imported.errors.empty()) {
            std::cerr << formatMapFileErrors(file, imported.errors) << std::flush;
            return refuse(file + " refused; the profile " + profilePath + " is unchanged");
        }
        json.beginBatch();
        saveRegisterMap(profile, imported.entries, captions);
        if (!json.commit()) return refuse("cannot write the profile " + profilePath + "; it is unchanged");
        std::cout << "tesmor-host: imported " << imported.entries.size() << " map entries from " << file
                  << " into " << profilePath << std::endl;
        return 0;
    }

    const RegisterMap map = loadRegisterMap(profile, captions);
    const bool tags = command.action == MapFileAction::ExportTags;
    if (!writeFile(file, tags ? writeTagList(map, languages.map) : writeMapFile(map, languages.map)))
        return refuse(file + ": " + std::strerror(errno));
    std::cout << "tesmor-host: wrote " << (tags ? "the tag list of " : "") << map.size() << " map entries to "
              << file << std::endl;
    return 0;
}

}  // namespace tesmor::host
