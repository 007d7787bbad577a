// What the state file does with what it cannot use: bad places, a locked file, a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "record/StateFile.h"
#include "support/TempDir.h"

namespace tesmor {
namespace {

namespace fs = std::filesystem;
using test::analysisOf;

void makeStateFile(const fs::path& path) {
    StateFile file = StateFile::open(path.string());
    if (!file.record(analysisOf(1), 5)) throw std::runtime_error(file.failure());
}

// True when this process may write to path despite its permissions (root).
bool writableAnyway(const fs::path& path) { return ::access(path.c_str(), W_OK) == 0; }

// A place the state file cannot use. prepare makes it inside a fresh folder and gives the path
// to open, or nullopt when the row means nothing for this process (root ignores permissions).
struct PlaceCase {
    const char* name;
    std::function<std::optional<fs::path>(const fs::path& dir)> prepare;
    std::string reason;  // what follows "cannot open: ", with {dir} for the folder
};
void PrintTo(const PlaceCase& row, std::ostream* out) { *out << row.name; }

class BadPlace : public ::testing::TestWithParam<PlaceCase> {};

// Every file and folder under dir with its bytes, to see that nothing was written or left.
std::map<std::string, std::vector<unsigned char>> snapshot(const fs::path& dir) {
    std::map<std::string, std::vector<unsigned char>> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(entry.path(), dir).string();
        files[name] = entry.is_regular_file() ? readBytes(entry.path()) : std::vector<unsigned char>{};
    }
    return files;
}

TEST_P(BadPlace, FailsWithTheReasonAndChangesNothing) {
    TempDir dir;
    const std::optional<fs::path> path = GetParam().prepare(dir.path());
    if (!path) GTEST_SKIP() << "this process writes whatever the permissions say (root)";
    const auto before = snapshot(dir.path());

    const StateFile file = StateFile::open(path->string());

    EXPECT_FALSE(file.ok());
    std::string reason = GetParam().reason;
    if (const auto at = reason.find("{dir}"); at != std::string::npos)
        reason.replace(at, 5, dir.path().string());
    EXPECT_EQ(file.failure(), "state file " + path->string() + ": cannot open: " + reason);
    EXPECT_EQ(snapshot(dir.path()), before);
    // A failed open answers every call with its "nothing", never a crash.
    StateFile closed = StateFile::open(path->string());
    EXPECT_FALSE(closed.record(analysisOf(1), 1));
    EXPECT_EQ(closed.latestSequence(), 0u);
    EXPECT_FALSE(closed.find(1));
    EXPECT_EQ(closed.held(), StateFile::Held{});
    EXPECT_FALSE(closed.meta("x"));
    EXPECT_FALSE(closed.setMeta("x", "y"));
    EXPECT_FALSE(closed.checkpoint());
    closed.setCheckpointInRecord(false);
}

std::vector<unsigned char> textBytes(const std::string& text) { return {text.begin(), text.end()}; }

INSTANTIATE_TEST_SUITE_P(
    Rows, BadPlace,
    ::testing::Values(PlaceCase{"EmptyPath", [](const fs::path&) { return fs::path(); }, "no path given"},
                      PlaceCase{"ADirectory",
                                [](const fs::path& dir) {
                                    fs::create_directory(dir / "state.sqlite");
                                    return dir / "state.sqlite";
                                },
                                "is a directory"},
                      PlaceCase{"AFifo",
                                [](const fs::path& dir) {
                                    ::mkfifo((dir / "state.sqlite").c_str(), 0600);
                                    return dir / "state.sqlite";
                                },
                                "is not a regular file"},
                      PlaceCase{"AReadOnlyFile",
                                [](const fs::path& dir) -> std::optional<fs::path> {
                                    makeStateFile(dir / "state.sqlite");
                                    fs::permissions(dir / "state.sqlite", fs::perms(0444));
                                    if (writableAnyway(dir / "state.sqlite")) return std::nullopt;
                                    return dir / "state.sqlite";
                                },
                                "is read-only"},
                      PlaceCase{"ATextFile",
                                [](const fs::path& dir) {
                                    std::string text;
                                    for (int i = 0; i < 200; ++i)
                                        text += "line " + std::to_string(i) + " of notes\n";
                                    writeBytes(dir / "notes.txt", textBytes(text));
                                    return dir / "notes.txt";
                                },
                                "file is not a database"},
                      PlaceCase{"AShortBinaryFile",
                                [](const fs::path& dir) {
                                    writeBytes(dir / "state.sqlite", {0x00, 0x01, 0xFF});
                                    return dir / "state.sqlite";
                                },
                                "file is not a database"},
                      PlaceCase{"AnotherProgramsDatabase",
                                [](const fs::path& dir) {
                                    test::RawDb(dir / "lab.db")
                                        .exec("CREATE TABLE assay(id INTEGER); INSERT INTO assay VALUES(7);");
                                    return dir / "lab.db";
                                },
                                "is another program's database"},
                      PlaceCase{"ANewerSchema",
                                [](const fs::path& dir) {
                                    makeStateFile(dir / "state.sqlite");
                                    test::RawDb(dir / "state.sqlite").exec("PRAGMA user_version = 2");
                                    return dir / "state.sqlite";
                                },
                                "written by a newer version (schema 2, this one reads 1)"},
                      PlaceCase{"UnderAFile",
                                [](const fs::path& dir) {
                                    writeBytes(dir / "plain", textBytes("x"));
                                    return dir / "plain" / "sub" / "state.sqlite";
                                },
                                "{dir}/plain is not a folder"},
                      PlaceCase{"UnderAFolderThatCannotBeWritten",
                                [](const fs::path& dir) -> std::optional<fs::path> {
                                    fs::create_directory(dir / "locked");
                                    fs::permissions(dir / "locked", fs::perms(0555));
                                    if (writableAnyway(dir / "locked")) return std::nullopt;
                                    return dir / "locked" / "sub" / "state.sqlite";
                                },
                                "cannot create folder {dir}/locked/sub: Permission denied"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StateFileFolders, MissingFoldersAreMadePrivateAndExistingOnesLeftAlone) {
    TempDir dir;
    fs::create_directory(dir.path() / "shared");
    fs::permissions(dir.path() / "shared", fs::perms(0755));
    const fs::path path = dir.path() / "shared" / "a" / "b" / "state.sqlite";
    StateFile file = StateFile::open(path.string());
    ASSERT_TRUE(file.ok()) << file.failure();
    EXPECT_TRUE(file.record(analysisOf(1), 1));
    auto mode = [](const fs::path& p) { return static_cast<unsigned>(fs::status(p).permissions()) & 0777u; };
    EXPECT_EQ(mode(dir.path() / "shared"), 0755u);
    EXPECT_EQ(mode(dir.path() / "shared" / "a"), 0700u);
    EXPECT_EQ(mode(dir.path() / "shared" / "a" / "b"), 0700u);
}

TEST(StateFileFolders, ARelativePathAndANameThatLooksLikeAUri) {
    TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    {
        StateFile file = StateFile::open("file:state.sqlite?mode=ro");
        EXPECT_TRUE(file.ok()) << file.failure();
        EXPECT_EQ(file.record(analysisOf(1), 1), 1u) << file.failure();
    }
    fs::current_path(before);
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "file:state.sqlite?mode=ro"));
}

TEST(StateFileLocked, AWriterThatHoldsTheLockMakesCallsFailAfterTheWaitNotHang) {
    TempDir dir;
    const fs::path path = dir.file("state.sqlite");
    makeStateFile(path);
    StateFile file = StateFile::open(path.string(), std::chrono::milliseconds(50));
    ASSERT_TRUE(file.ok()) << file.failure();
    {
        test::RawDb other(path);
        other.exec("BEGIN IMMEDIATE; UPDATE meta SET value = 'other' WHERE key = 'x'");
        EXPECT_FALSE(file.record(analysisOf(2), 5));
        EXPECT_EQ(file.failure(), "state file " + path.string() + ": cannot record: database is locked");
        EXPECT_FALSE(file.setMeta("x", "y"));
        EXPECT_EQ(file.failure(), "state file " + path.string() + ": cannot write: database is locked");
        // Readers go on reading beside a writer.
        EXPECT_EQ(file.latestSequence(), 1u);
        EXPECT_TRUE(file.find(1));
        // Opening beside a writer works; its first write waits like any other.
        StateFile late = StateFile::open(path.string(), std::chrono::milliseconds(50));
        EXPECT_TRUE(late.ok()) << late.failure();
        EXPECT_FALSE(late.record(analysisOf(2), 5));
        other.exec("ROLLBACK");
    }
    // The failed call took no number.
    EXPECT_EQ(file.record(analysisOf(2), 5), 2u) << file.failure();
}

// The full-disk run happens in a child with a mount namespace of its own, where a 256 KiB tmpfs
// can fill up without touching the machine's disks. It reports what it saw as "key value" lines.
std::map<std::string, std::string> fullDiskRun(const fs::path& mountPoint) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    const int status = test::inChild([&]() -> int {
        ::close(pipeEnds[0]);
        std::ostringstream report;
        auto send = [&] {
            const std::string text = report.str();
            return ::write(pipeEnds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0
                                                                                                       : 1;
        };
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            report << "skip cannot make a mount namespace of its own: " << std::strerror(errno) << "\n";
            return send();
        }
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) {
            report << "skip cannot mount a tmpfs: " << std::strerror(errno) << "\n";
            return send();
        }
        const fs::path path = mountPoint / "state" / "analyses.sqlite";
        std::vector<std::uint32_t> taken;
        {
            StateFile file = StateFile::open(path.string());
            for (int i = 0; i < 3; ++i) taken.push_back(file.record(analysisOf(i), 1000).value_or(0));

            // Fill what is left with a file of its own.
            const fs::path filler = mountPoint / "filler";
            {
                std::ofstream out(filler, std::ios::binary);
                const std::string block(4096, 'x');
                while (out.write(block.data(), block.size()) && out.flush()) {
                }
            }
            std::optional<std::string> failure;
            int attempts = 0;
            while (!failure && attempts < 500) {
                ++attempts;
                const std::uint32_t before = file.latestSequence();
                if (const auto s = file.record(analysisOf(100 + attempts), 1000)) {
                    if (*s != before + 1) report << "gap " << before << " " << *s << "\n";
                    taken.push_back(*s);
                } else {
                    failure = file.failure();
                }
            }
            report << "failure " << failure.value_or("none") << "\n";
            // Trying again on a full disk fails again and takes nothing.
            report << "again " << (file.record(analysisOf(1), 1000) ? "recorded" : "failed") << "\n";
            report << "latest " << file.latestSequence() << "\n";
            report << "last_taken " << taken.back() << "\n";
            const StateFile fresh = StateFile::open((mountPoint / "other.sqlite").string());
            report << "new_file_on_full_disk " << (fresh.ok() ? "opened" : fresh.failure()) << "\n";

            fs::remove(filler);
            const auto after = file.record(analysisOf(999), 1000);
            report << "after_freeing " << after.value_or(0) << "\n";
            if (after) taken.push_back(*after);
        }
        StateFile reopened = StateFile::open(path.string());
        int held = 0;
        for (const std::uint32_t s : taken) held += reopened.find(s).has_value();
        report << "taken " << taken.size() << "\n";
        report << "found " << held << "\n";
        report << "integrity " << test::RawDb(path).text("PRAGMA integrity_check") << "\n";
        ::umount(mountPoint.c_str());
        return send();
    });
    ::close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(pipeEnds[0]);
    std::map<std::string, std::string> seen{{"status", std::to_string(status)}};
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        seen[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return seen;
}

TEST(StateFileFullDisk, RecordFailsCleanlyAndGoesOnWhenThereIsSpaceAgain) {
    TempDir dir;
    fs::create_directory(dir.path() / "mnt");
    auto seen = fullDiskRun(dir.path() / "mnt");
    if (seen.count("skip")) GTEST_SKIP() << seen["skip"];
    ASSERT_EQ(seen["status"], "0");
    const std::string file = (dir.path() / "mnt" / "state" / "analyses.sqlite").string();
    EXPECT_EQ(seen["failure"], "state file " + file + ": cannot record: database or disk is full");
    EXPECT_EQ(seen["again"], "failed");
    EXPECT_EQ(seen.count("gap"), 0u) << seen["gap"];
    // The failed calls took no number: the latest is the last one handed out, and the next
    // after freeing space follows it.
    EXPECT_EQ(seen["latest"], seen["last_taken"]);
    EXPECT_EQ(seen["after_freeing"], std::to_string(std::stoul(seen["last_taken"]) + 1));
    EXPECT_EQ(seen["found"], seen["taken"]);
    EXPECT_EQ(seen["integrity"], "ok");
    EXPECT_EQ(seen["new_file_on_full_disk"], "state file " + (dir.path() / "mnt" / "other.sqlite").string() +
                                                 ": cannot open: database or disk is full");
}

}  // namespace
}  // namespace tesmor
