// Several connections on one state file: two objects in one process, two processes, and a
// process killed just after a publication.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RecordTestSupport.h"
#include "record/StateFile.h"
#include "support/TempDir.h"

namespace tesmor {
namespace {

using test::analysisOf;

TEST(StateFileSharing, TwoObjectsOnOneFileShareTheNumbering) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite").string();
    StateFile a = StateFile::open(path);
    StateFile b = StateFile::open(path);
    ASSERT_TRUE(a.ok() && b.ok()) << a.failure() << b.failure();

    std::vector<std::uint32_t> taken;
    for (int i = 0; i < 3; ++i) {
        taken.push_back(a.record(analysisOf(10 + i), 10).value_or(0));
        EXPECT_EQ(b.latestSequence(), taken.back());
        taken.push_back(b.record(analysisOf(20 + i), 10).value_or(0));
        EXPECT_EQ(a.latestSequence(), taken.back());
    }
    EXPECT_EQ(taken, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
    // Each reads what the other wrote; a smaller depth from one trims for both.
    ASSERT_TRUE(a.find(2));
    EXPECT_EQ(a.find(2)->assayId, 20);
    ASSERT_TRUE(b.setMeta("k", "v"));
    EXPECT_EQ(a.meta("k"), "v");
    ASSERT_EQ(a.record(analysisOf(30), 2), 7u);
    EXPECT_EQ(b.held(), (StateFile::Held{6, 2}));
}

// Another connection in the middle of a write on a new file: switching the file to write-ahead
// logging meets its lock without SQLite's busy wait, and the open must wait all the same.
TEST(StateFileSharing, AnOpenWaitsForAnotherWriterOnANewFile) {
    TempDir dir;
    const std::filesystem::path path = dir.file("state.sqlite");
    test::RawDb other(path);
    other.exec("BEGIN IMMEDIATE");
    std::jthread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        other.exec("ROLLBACK");
    });
    StateFile file = StateFile::open(path.string());
    release.join();
    ASSERT_TRUE(file.ok()) << file.failure();
    EXPECT_EQ(file.record(analysisOf(1), 1), 1u);
}

// Both processes open the file at the same moment (a new file: both may try to create the
// schema) and publish as fast as they can.
TEST(StateFileSharing, TwoProcessesNeverRepeatOrLoseANumber) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite").string();
    constexpr int kEach = 200;
    // A writer checks its own numbers: rising, and holding its own analysis when read back.
    auto writer = [&](std::int32_t firstAssay) {
        StateFile file = StateFile::open(path);
        auto failed = [&](int code) {
            std::fprintf(stderr, "writer %d: %s\n", firstAssay, file.failure().c_str());
            return code;
        };
        if (!file.ok()) return failed(1);
        std::uint32_t previous = 0;
        for (int i = 0; i < kEach; ++i) {
            const auto s = file.record(analysisOf(firstAssay + i), 100000);
            if (!s || *s <= previous) return failed(2);
            const auto back = file.find(*s);
            if (!back || back->assayId != firstAssay + i) return failed(3);
            previous = *s;
        }
        return 0;
    };
    // The child and the parent write side by side, from the open on.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(writer(2000000));
    const int parentStatus = writer(1000000);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const int childStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    EXPECT_EQ(parentStatus, 0);
    EXPECT_EQ(childStatus, 0);

    StateFile file = StateFile::open(path);
    EXPECT_EQ(file.latestSequence(), static_cast<std::uint32_t>(2 * kEach));
    EXPECT_EQ(file.held(), (StateFile::Held{1, 2 * kEach}));
    std::set<std::int32_t> assays;
    std::map<std::int32_t, std::int32_t> lastOfWriter;
    for (std::uint32_t s = 1; s <= 2 * kEach; ++s) {
        const auto found = file.find(s);
        ASSERT_TRUE(found) << s << ": " << file.failure();
        assays.insert(found->assayId);
        // Each writer's analyses appear in the order it published them.
        const std::int32_t writerId = found->assayId / 1000000;
        EXPECT_GT(found->assayId, lastOfWriter[writerId]);
        lastOfWriter[writerId] = found->assayId;
    }
    EXPECT_EQ(assays.size(), static_cast<std::size_t>(2 * kEach));
    EXPECT_EQ(test::RawDb(dir.file("state.sqlite")).text("PRAGMA integrity_check"), "ok");
}

std::uintmax_t walFrames(const std::string& path) {
    constexpr std::uintmax_t kFrame = 24 + 4096;  // frame header and one page of the default size
    return std::filesystem::file_size(path + "-wal") / kFrame;
}

// By default record() keeps the log near 1000 pages; a publisher that leaves the copying to
// another connection lets it grow until that one copies, after which the log starts over.
TEST(StateFileSharing, TheLogIsCopiedByRecordOrByAnotherConnection) {
    TempDir dir;
    const std::string byRecord = dir.file("a.sqlite").string(), apart = dir.file("b.sqlite").string();
    StateFile first = StateFile::open(byRecord), publisher = StateFile::open(apart);
    ASSERT_TRUE(first.ok() && publisher.ok()) << first.failure() << publisher.failure();
    publisher.setCheckpointInRecord(false);
    for (int i = 0; i < 400; ++i) {
        ASSERT_TRUE(first.record(analysisOf(i), 100000)) << first.failure();
        ASSERT_TRUE(publisher.record(analysisOf(i), 100000)) << publisher.failure();
    }
    EXPECT_LT(walFrames(byRecord), 1100u);
    const std::uintmax_t grown = walFrames(apart);
    EXPECT_GT(grown, 1100u);

    StateFile copier = StateFile::open(apart);
    ASSERT_TRUE(copier.checkpoint()) << copier.failure();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(publisher.record(analysisOf(i), 100000));
    EXPECT_EQ(walFrames(apart), grown);
    EXPECT_EQ(copier.held(), (StateFile::Held{1, 450}));
}

TEST(StateFileSharing, APublicationSurvivesTheProcessBeingKilledRightAfterIt) {
    TempDir dir;
    const std::string path = dir.file("state.sqlite").string();
    const int status = test::inChild([&] {
        StateFile file = StateFile::open(path);
        for (int i = 1; i <= 5; ++i)
            if (!file.record(analysisOf(i), 10)) return 1;
        ::raise(SIGKILL);
        return 2;
    });
    EXPECT_EQ(status, -1);  // killed, never exited
    StateFile file = StateFile::open(path);
    ASSERT_TRUE(file.ok()) << file.failure();
    EXPECT_EQ(file.latestSequence(), 5u);
    ASSERT_TRUE(file.find(5));
    EXPECT_EQ(file.find(5)->image, analysisOf(5).image);
    EXPECT_EQ(file.record(analysisOf(6), 10), 6u);
}

}  // namespace
}  // namespace tesmor
