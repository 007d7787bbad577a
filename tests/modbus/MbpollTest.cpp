// mbpoll, an independent master, against the test server over TCP and RTU.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"

#ifndef TESMOR_TEST_SERVER
#error "TESMOR_TEST_SERVER must name the test server executable"
#endif

namespace tesmor {
namespace {

using namespace std::chrono_literals;

bool haveMbpoll() { return ::access("/usr/bin/mbpoll", X_OK) == 0; }

// Runs mbpoll; `exitCode` is its exit status (0 only when every poll was answered). A TCP
// master may meet the listener while it is opened anew after the previous master: it is run again.
std::string mbpoll(std::vector<std::string> args, int& exitCode) {
    args.insert(args.begin(), "mbpoll");
    for (int attempt = 0;; ++attempt) {
        test::ChildProcess p(args);
        exitCode = p.wait(10s);
        if (p.output().find("Connection refused") == std::string::npos || attempt == 20) return p.output();
        std::this_thread::sleep_for(50ms);
    }
}

TEST(Mbpoll, TcpUnitOneAnsweredUnitTwoSilent) {
    if (!haveMbpoll()) GTEST_SKIP() << "mbpoll missing";
    const int port = test::freeTcpPort();
    test::ChildProcess server({TESMOR_TEST_SERVER, "--tcp", std::to_string(port), "--tcp-id", "1"});
    ASSERT_TRUE(server.waitForLine("ready", 5s)) << server.output();

    int rc = -1;
    auto out = mbpoll({"-m", "tcp", "-p", std::to_string(port), "-a", "1", "-t", "4", "-r", "1", "-c", "5",
                       "-1", "-o", "3", "127.0.0.1"},  // generous: only silence may fail it
                      rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("[1]: \t11"), std::string::npos) << out;
    EXPECT_NE(out.find("[5]: \t55"), std::string::npos) << out;

    out = mbpoll({"-m", "tcp", "-p", std::to_string(port), "-a", "2", "-t", "4", "-r", "1", "-c", "5", "-1",
                  "-o", "0.5", "127.0.0.1"},
                 rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(out.find("[1]:"), std::string::npos) << out;
    EXPECT_NE(out.find("timed out"), std::string::npos) << out;
}

TEST(Mbpoll, RtuAnsweredAtItsIdSilentForOthers) {
    if (!haveMbpoll()) GTEST_SKIP() << "mbpoll missing";
    test::PtyPair pty;
    if (!pty.ready()) GTEST_SKIP() << "socat could not make a pty pair";
    test::ChildProcess server({TESMOR_TEST_SERVER, "--rtu", pty.a(), "--rtu-id", "17"});
    ASSERT_TRUE(server.waitForLine("ready", 5s)) << server.output();

    const std::vector<std::string> common{"-m", "rtu", "-b", "9600", "-P", "none", "-t",
                                          "4",  "-r",  "1",  "-c",   "5",  "-1"};
    auto with = [&](const char* id) {
        auto a = common;
        // Generous for the answered id, so only silence can fail it; short for the silent one.
        a.insert(a.end(), {"-o", std::string(id) == "17" ? "3" : "0.5"});
        a.insert(a.end(), {"-a", id, pty.b()});
        return a;
    };
    int rc = -1;
    auto out = mbpoll(with("17"), rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("[3]: \t33"), std::string::npos) << out;
    out = mbpoll(with("18"), rc);
    EXPECT_NE(rc, 0) << out;
    EXPECT_EQ(out.find("[3]:"), std::string::npos) << out;
}

}  // namespace
}  // namespace tesmor
