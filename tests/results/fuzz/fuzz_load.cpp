// libFuzzer entry: any bytes as a chromatogram file. load must return a result code without
// reading past a buffer; a file it accepts must save and load back with the same samples.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Text.h"
#include "results/CVelmarFile4.h"

namespace {

std::string tempFile(const char* stem) {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    close(fd);
    return pattern;
}

struct Files {
    std::string input = tempFile("tesmor-fuzz-in");
    std::string output = tempFile("tesmor-fuzz-out");
    ~Files() {
        std::remove(input.c_str());
        std::remove(output.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Files files;
    std::FILE* f = std::fopen(files.input.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    CVelmarFile4 file;
    const std::int32_t result = file.load(tesmor::toUtf16(files.input));
    if (result < -7 || result > 0) std::abort();
    if (result != 0) return 0;

    if (file.save(tesmor::toUtf16(files.output)) != 0) std::abort();
    CVelmarFile4 again;
    if (again.load(tesmor::toUtf16(files.output)) != 0) std::abort();
    if (again.version != file.version || again.channels.size() != file.channels.size()) std::abort();
    for (std::size_t i = 0; i < file.channels.size(); ++i) {
        if (again.channels[i].samples != file.channels[i].samples ||
            again.channels[i].number != file.channels[i].number)
            std::abort();
    }
    return 0;
}
