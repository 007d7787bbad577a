// The TLS server side against a real OpenSSL client, with certificates from tools/make-certs.sh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/FrameTrace.h"
#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
#include "support/MemoryProfile.h"
#include "support/TempDir.h"

#ifndef TESMOR_MAKE_CERTS
#error "TESMOR_MAKE_CERTS must name tools/make-certs.sh"
#endif

namespace tesmor {
namespace {

using namespace std::chrono_literals;

// Two authorities: "trusted" is the server's tlsCA, "stranger" signs masters nobody trusts.
class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        for (const char* name : {"trusted", "stranger"}) {
            const std::string command =
                std::string(TESMOR_MAKE_CERTS) + " " + (dir_->path() / name).string() + " >/dev/null";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string& authority, const std::string& name) {
        return (dir_->path() / authority / name).string();
    }
    static TlsFiles serverFiles() {
        return {file("trusted", "server.pem"), file("trusted", "server.key"), file("trusted", "ca.pem")};
    }
    static TlsContext serverContext() {
        auto context = TlsContext::load(serverFiles());
        EXPECT_TRUE(context) << context.problemText();
        return std::move(*context.value);
    }

    static TempDir* dir_;
};
TempDir* Tls::dir_ = nullptr;

// A blocking OpenSSL client on one end of a socket pair; the test drives the server on the other.
class Master {
public:
    // `certificate` empty: the master presents none.
    // Blocks SIGPIPE in the master's thread only: the server's own writes must do without.
    Master(int fd, const std::string& certificate, const std::string& key, const std::string& ca) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_load_verify_locations(ctx_.get(), ca.c_str(), nullptr);
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        if (!certificate.empty()) {
            SSL_CTX_use_certificate_chain_file(ctx_.get(), certificate.c_str());
            SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM);
        }
        ssl_.reset(SSL_new(ctx_.get()));
        SSL_set_fd(ssl_.get(), fd);
        SSL_set1_host(ssl_.get(), "localhost");
    }
    bool connect() { return SSL_connect(ssl_.get()) == 1; }
    bool send(const std::vector<std::uint8_t>& data) {
        std::size_t written = 0;
        return SSL_write_ex(ssl_.get(), data.data(), data.size(), &written) == 1 && written == data.size();
    }
    // Reads until `count` bytes arrived or the connection ended.
    std::vector<std::uint8_t> receive(std::size_t count) {
        std::vector<std::uint8_t> data(count);
        std::size_t have = 0;
        while (have < count) {
            std::size_t n = 0;
            if (SSL_read_ex(ssl_.get(), data.data() + have, count - have, &n) != 1) break;
            have += n;
        }
        data.resize(have);
        return data;
    }
    ~Master() { ERR_clear_error(); }

private:
    SslContextPtr ctx_;
    SslPtr ssl_;
};

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            server.reset(fds[0]);
            master.reset(fds[1]);
            ::fcntl(server.get(), F_SETFL, ::fcntl(server.get(), F_GETFL) | O_NONBLOCK);
        }
    }
    UniqueFd server, master;
};

// Calls `step` until it is no longer waiting, polling the socket as it asks; fails after 5 s.
template <class Step>
TlsStep drive(TlsSession& session, Step step) {
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (true) {
        const TlsStep s = step();
        if (s != TlsStep::wantRead && s != TlsStep::wantWrite) return s;
        if (std::chrono::steady_clock::now() > limit) return TlsStep::failed;
        pollfd p{session.fd(), static_cast<short>(s == TlsStep::wantRead ? POLLIN : POLLOUT), 0};
        ::poll(&p, 1, 100);
    }
}

struct HandshakeCase {
    const char* name;
    const char* authority;    // which authority signed the master's certificate
    const char* certificate;  // "" for none
    bool accepted;
    std::optional<std::string> role;
};
class TlsHandshake : public Tls, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(TlsHandshake, AcceptsOnlyTrustedMastersAndReadsTheirRole) {
    const auto& c = GetParam();
    const TlsContext context = serverContext();
    SocketPair pair;
    ASSERT_TRUE(pair.server);
    const int masterFd = pair.master.get();
    TlsSession session(context, pair.server.get());
    const std::string name = c.certificate;
    std::jthread master([&] {
        Master m(masterFd, name.empty() ? "" : file(c.authority, name + ".pem"),
                 name.empty() ? "" : file(c.authority, name + ".key"), file("trusted", "ca.pem"));
        // Under TLS 1.3 the master finishes before the server has judged its certificate; the
        // reply (or the closed connection) tells.
        if (m.connect() && m.send({0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x01})) m.receive(1);
    });
    const TlsStep step = drive(session, [&] { return session.handshake(); });
    if (c.accepted) {
        ASSERT_EQ(step, TlsStep::done) << session.error();
        EXPECT_EQ(session.role(), c.role);
        std::uint8_t buffer[16];
        std::size_t n = 0;
        ASSERT_EQ(drive(session, [&] { return session.read(buffer, n); }), TlsStep::done) << session.error();
        EXPECT_EQ(n, 7u);
        EXPECT_EQ(session.write(std::vector<std::uint8_t>{0x55}), TlsStep::done) << session.error();
    } else {
        EXPECT_EQ(step, TlsStep::failed);
        EXPECT_NE(session.error(), "");
        std::uint8_t buffer[16];
        std::size_t n = 0;
        EXPECT_EQ(session.read(buffer, n), TlsStep::failed) << "a refused master must stay refused";
    }
    // Ends the connection so the master's wait returns.
    session = TlsSession(context, -1);
    pair.server.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TlsHandshake,
    ::testing::Values(HandshakeCase{"TrustedOperator", "trusted", "operator", true, "operator"},
                      HandshakeCase{"TrustedWithoutRole", "trusted", "norole", true, std::nullopt},
                      HandshakeCase{"NoCertificate", "trusted", "", false, std::nullopt},
                      HandshakeCase{"UntrustedAuthority", "stranger", "operator", false, std::nullopt},
                      // Chains to the authority but is made for servers only (extended key usage).
                      HandshakeCase{"ServerCertificateAsMaster", "trusted", "server", false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tls, SendsLargeRepliesAcrossAFullSocket) {
    const TlsContext context = serverContext();
    SocketPair pair;
    ASSERT_TRUE(pair.server);
    const int masterFd = pair.master.get();
    TlsSession session(context, pair.server.get());
    std::vector<std::uint8_t> reply(4 << 20);
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> received;
    std::jthread master([&] {
        Master m(masterFd, file("trusted", "operator.pem"), file("trusted", "operator.key"),
                 file("trusted", "ca.pem"));
        if (!m.connect()) return;
        std::this_thread::sleep_for(200ms);  // lets the server fill the socket first
        received = m.receive(reply.size());
    });
    ASSERT_EQ(drive(session, [&] { return session.handshake(); }), TlsStep::done) << session.error();
    TlsStep step = session.write(reply);
    EXPECT_NE(step, TlsStep::failed) << session.error();
    EXPECT_TRUE(step == TlsStep::done || session.hasPendingOutput());
    if (step != TlsStep::done) step = drive(session, [&] { return session.flush(); });
    EXPECT_EQ(step, TlsStep::done) << session.error();
    EXPECT_FALSE(session.hasPendingOutput());
    master.join();
    EXPECT_TRUE(received == reply) << "received " << received.size() << " of " << reply.size() << " bytes";
}

TEST_F(Tls, ReportsAClosedMaster) {
    const TlsContext context = serverContext();
    SocketPair pair;
    ASSERT_TRUE(pair.server);
    TlsSession session(context, pair.server.get());
    {
        const int masterFd = pair.master.get();
        std::jthread master([&] {
            Master m(masterFd, file("trusted", "norole.pem"), file("trusted", "norole.key"),
                     file("trusted", "ca.pem"));
            m.connect();
        });
        ASSERT_EQ(drive(session, [&] { return session.handshake(); }), TlsStep::done) << session.error();
    }
    pair.master.reset();
    std::uint8_t buffer[16];
    std::size_t n = 0;
    EXPECT_EQ(drive(session, [&] { return session.read(buffer, n); }), TlsStep::closed) << session.error();
    EXPECT_EQ(session.write(std::vector<std::uint8_t>{1, 2, 3}), TlsStep::failed)
        << "a write to a vanished master fails without SIGPIPE";
}

// Bad files: one line naming the file and the reason.
TEST_F(Tls, ExplainsUnusableFiles) {
    const TempDir bad;
    const std::string garbage = bad.file("garbage.pem").string();
    std::ofstream(garbage) << "not a certificate\n";
    const std::string encrypted = bad.file("encrypted.key").string();
    const std::string command = "openssl pkey -in " + file("trusted", "server.key") +
                                " -aes256 -passout pass:x -out " + encrypted + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string missing = bad.file("missing.pem").string();
    const TlsFiles good = serverFiles();

    struct Row {
        const char* name;
        TlsFiles files;
        std::string error;
    } rows[] = {
        {"MissingCertificate",
         {missing, good.key, good.ca},
         "TLS certificate \"" + missing + "\" cannot be read: No such file or directory"},
        {"CertificateNotPem",
         {garbage, good.key, good.ca},
         "TLS certificate \"" + garbage + "\" holds no PEM certificate"},
        {"NoCertificateGiven", {"", good.key, good.ca}, "TLS certificate: no file given"},
        {"FolderAsKey",
         {good.certificate, bad.path().string(), good.ca},
         "TLS key \"" + bad.path().string() + "\" holds no unencrypted PEM private key"},
        {"KeyNotPem",
         {good.certificate, garbage, good.ca},
         "TLS key \"" + garbage + "\" holds no unencrypted PEM private key"},
        {"EncryptedKey",
         {good.certificate, encrypted, good.ca},
         "TLS key \"" + encrypted + "\" holds no unencrypted PEM private key"},
        {"KeyOfAnotherCertificate",
         {good.certificate, file("trusted", "operator.key"), good.ca},
         "TLS key \"" + file("trusted", "operator.key") + "\" does not match the certificate \"" +
             good.certificate + "\""},
        {"MissingCA",
         {good.certificate, good.key, missing},
         "TLS CA \"" + missing + "\" cannot be read: No such file or directory"},
        {"CANotPem",
         {good.certificate, good.key, garbage},
         "TLS CA \"" + garbage + "\" holds no PEM certificate"},
    };
    for (const auto& row : rows) {
        const auto loaded = TlsContext::load(row.files);
        EXPECT_FALSE(loaded) << row.name;
        EXPECT_EQ(loaded.problems, std::vector<std::string>{row.error}) << row.name;
    }
    const auto loaded = TlsContext::load(good);
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(loaded.problems.empty());
}

// A bundle is read whole or refused: a damaged block is never skipped, wherever it stands.
TEST_F(Tls, RefusesABundleWithADamagedBlock) {
    const TempDir dir;
    std::ifstream in(file("trusted", "ca.pem"));
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string damaged = good;
    damaged.replace(damaged.find("\n") + 5, 4, "!!!!");  // inside the base64 of the first block
    struct Row {
        const char* name;
        std::string content;
        const char* block;
    } rows[] = {
        {"DamagedAfterGood", good + damaged, "certificate block 2 is damaged"},
        {"DamagedFirst", damaged + good, "certificate block 1 is damaged"},
        {"CutShort", good + good.substr(0, good.size() / 2), "certificate block 2 is damaged"},
    };
    for (const auto& row : rows) {
        const std::string path = dir.file(std::string(row.name) + ".pem").string();
        std::ofstream(path) << row.content;
        for (const bool asCa : {true, false}) {
            TlsFiles files = serverFiles();
            (asCa ? files.ca : files.certificate) = path;
            const auto loaded = TlsContext::load(files);
            EXPECT_FALSE(loaded) << row.name;
            const std::string error = loaded.problemText();
            const std::string expected =
                std::string(asCa ? "TLS CA \"" : "TLS certificate \"") + path + "\": " + row.block;
            EXPECT_EQ(error.substr(0, expected.size()), expected) << row.name << ": " << error;
        }
    }
}

// pymodbus 3.0.0 reads Modbus/TCP Security only with its asyncio client and the MBAP framer.
constexpr const char* kPymodbusMaster = R"(
import asyncio, ssl, sys
from pymodbus.client import AsyncModbusTlsClient
from pymodbus.transaction import ModbusSocketFramer
port, ca, cert, key = sys.argv[1:5]
async def main():
    ctx = ssl.create_default_context(ssl.Purpose.SERVER_AUTH, cafile=ca)
    if cert:
        ctx.load_cert_chain(cert, key)
    c = AsyncModbusTlsClient("127.0.0.1", port=int(port), framer=ModbusSocketFramer, sslctx=ctx,
                             server_hostname="localhost", timeout=3, retries=0)
    try:
        await c.connect()
        r = await c.read_holding_registers(0, 2, slave=1)
        print("read", "error" if r.isError() else "ok", flush=True)
        w = await c.write_register(0, 7, slave=1)
        print("write", getattr(w, "exception_code", "ok"), flush=True)
    except Exception as e:
        print("refused", type(e).__name__, flush=True)
    closing = c.close()
    if asyncio.iscoroutine(closing):
        await closing
asyncio.run(main())
)";

class TlsServer : public Tls {
protected:
    void SetUp() override {
        port = test::freeTcpPort();
        profile.setInt(kSettingsSection, u"isTLS", 1);
        profile.setInt(kSettingsSection, u"tlsPort", port);
        profile.setString(kSettingsSection, u"tlsCertificate", toUtf16(file("trusted", "server.pem")));
        profile.setString(kSettingsSection, u"tlsKey", toUtf16(file("trusted", "server.key")));
        profile.setString(kSettingsSection, u"tlsCA", toUtf16(file("trusted", "ca.pem")));
        profile.setString(kSettingsSection, u"tlsWriteRoles", u"operator");
    }
    // Runs the pymodbus master with `name`'s certificate ("" for none); returns its output.
    std::string pymodbus(const std::string& authority, const std::string& name) {
        test::ChildProcess master({"/usr/bin/python3", "-c", kPymodbusMaster, std::to_string(port),
                                   file("trusted", "ca.pem"),
                                   name.empty() ? "" : file(authority, name + ".pem"),
                                   name.empty() ? "" : file(authority, name + ".key")});
        EXPECT_EQ(master.wait(20s), 0) << master.output();
        return master.output();
    }

    test::MemoryProfile profile;
    test::CaptionStrings strings;
    ModbusServer server{profile, strings};
    int port = 0;
};

TEST_F(TlsServer, PymodbusMastersReadAndOnlyWriteRolesWrite) {
    server.restart();
    ASSERT_TRUE(test::waitFor([&] { return server.tlsListening(); })) << "TLS server did not listen";
    EXPECT_EQ(pymodbus("trusted", "operator"), "read ok\nwrite ok\n");
    EXPECT_EQ(pymodbus("trusted", "norole"), "read ok\nwrite 1\n");
    EXPECT_NE(pymodbus("stranger", "operator").find("refused"), std::string::npos);
    const auto before = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

// Frames of unit 1: read holding register 0 (one value), write 7 into it.
const std::vector<std::uint8_t> kReadRequest = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
const std::vector<std::uint8_t> kWriteRequest = {0, 2, 0, 0, 0, 6, 1, 6, 0, 0, 0, 7};

// A TLS master over loopback with a certificate of the trusted authority.
struct LoopbackMaster {
    LoopbackMaster(int port, const std::string& certificate, const std::string& key, const std::string& ca,
                   const char* from = nullptr)
        : socket(test::connectLoopback(port, from)) {
        const timeval limit{5, 0};  // a fault must fail the test, not hang it
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        master = std::make_unique<Master>(socket.get(), certificate, key, ca);
        connected = socket && master->connect();
    }
    // The value of holding register 0, or -1 when no proper answer came.
    int readRegister() {
        if (!connected || !master->send(kReadRequest)) return -1;
        const auto reply = master->receive(11);
        return reply.size() == 11 && reply[7] == 3 ? reply[9] << 8 | reply[10] : -1;
    }

    UniqueFd socket;
    std::unique_ptr<Master> master;
    bool connected = false;
};

class TlsServerMasters : public TlsServer {
protected:
    LoopbackMaster connect(const std::string& name, const char* from = nullptr) {
        return LoopbackMaster(server.tlsPort(), file("trusted", name + ".pem"),
                              file("trusted", name + ".key"), file("trusted", "ca.pem"), from);
    }
    void start() {
        server.restart();
        ASSERT_TRUE(test::waitFor([&] { return server.tlsListening(); })) << "TLS server did not listen";
    }
};

TEST_F(TlsServerMasters, ServesBesidePlainTcpOnTheSameStore) {
    const int tcpPort = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", tcpPort);
    test::LogCapture log;
    setFrameTrace(true);
    start();
    ASSERT_TRUE(test::waitFor([&] { return server.tcpListening(); }));

    auto secure = connect("operator");
    ASSERT_TRUE(secure.connected);
    ASSERT_TRUE(secure.master->send(kWriteRequest));
    EXPECT_EQ(secure.master->receive(12), kWriteRequest) << "a write is echoed";
    setFrameTrace(false);

    const UniqueFd plain = test::connectLoopback(tcpPort);
    ASSERT_TRUE(plain);
    ASSERT_EQ(::send(plain.get(), kReadRequest.data(), kReadRequest.size(), 0), 12);
    std::uint8_t reply[11] = {};
    ASSERT_EQ(::recv(plain.get(), reply, sizeof reply, MSG_WAITALL), 11);
    EXPECT_EQ(reply[10], 7) << "plain TCP reads what the TLS master wrote";
    EXPECT_EQ(secure.readRegister(), 7);

    EXPECT_EQ(server.counters(Transport::Tls).requests, 2u);
    EXPECT_EQ(server.counters(Transport::Tls).masters, 1u);
    EXPECT_EQ(server.counters(Transport::Tcp).requests, 1u);
    EXPECT_EQ(log.count(" tls 127.0.0.1:"), 2u) << "the trace shows the write and its echo";
}

TEST_F(TlsServerMasters, StopsPromptlyWithMastersInAndBeforeTheHandshake) {
    profile.setInt(kSettingsSection, u"maxMasters", 2);
    start();
    auto reading = connect("operator");
    ASSERT_EQ(reading.readRegister(), 0);
    // A master stuck inside its first record.
    const UniqueFd stuck = test::connectLoopback(server.tlsPort());
    ASSERT_EQ(::send(stuck.get(), "\x16\x03\x01", 3, 0), 3);
    std::this_thread::sleep_for(100ms);  // taken into its handshake, where it is no master yet
    EXPECT_EQ(server.counters(Transport::Tls).masters, 1u);

    const auto before = std::chrono::steady_clock::now();
    server.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_EQ(server.counters(Transport::Tls).masters, 0u);
}

TEST_F(TlsServerMasters, AllowListRefusesBeforeTheHandshake) {
    profile.setString(kSettingsSection, u"allowedMasters", u"127.0.0.2");
    test::LogCapture log;
    start();
    EXPECT_FALSE(connect("operator", "127.0.0.1").connected);
    EXPECT_EQ(log.count("Modbus TLS: master 127.0.0.1 is not in \"allowedMasters\""), 1u);
    EXPECT_EQ(log.count("refused"), 0u) << "no handshake was tried";
    EXPECT_EQ(connect("operator", "127.0.0.2").readRegister(), 0);
}

TEST_F(TlsServerMasters, ServesMaxMastersAtOnceAndClosesTheNext) {
    profile.setInt(kSettingsSection, u"maxMasters", 2);
    start();
    auto first = connect("operator");
    auto second = connect("norole");
    ASSERT_EQ(first.readRegister(), 0);
    ASSERT_EQ(second.readRegister(), 0);
    EXPECT_EQ(server.counters(Transport::Tls).masters, 2u);
    auto third = connect("operator");
    EXPECT_EQ(third.readRegister(), -1) << "a third master is closed while the two are busy";
    EXPECT_EQ(first.readRegister(), 0);
    EXPECT_EQ(second.readRegister(), 0);
}

TEST_F(TlsServerMasters, LogsAFailedHandshakeOnceAMinutePerAddress) {
    test::LogCapture log;
    start();
    for (int i = 0; i < 3; ++i) {
        LoopbackMaster stranger(server.tlsPort(), file("stranger", "operator.pem"),
                                file("stranger", "operator.key"), file("trusted", "ca.pem"));
        EXPECT_EQ(stranger.readRegister(), -1);
    }
    EXPECT_TRUE(test::waitFor([&] { return log.count("Modbus TLS: master 127.0.0.1 refused:") == 1; }));
    EXPECT_EQ(connect("operator").readRegister(), 0) << "a trusted master still gets in";
    EXPECT_EQ(log.count("refused"), 1u);
}

TEST_F(TlsServerMasters, LogsANewReasonFromTheSameAddressAtOnce) {
    server.setTimeouts({500ms, 300ms, 10s});
    test::LogCapture log;
    start();
    LoopbackMaster stranger(server.tlsPort(), file("stranger", "operator.pem"),
                            file("stranger", "operator.key"), file("trusted", "ca.pem"));
    EXPECT_EQ(stranger.readRegister(), -1);
    ASSERT_TRUE(test::waitFor([&] { return log.count("Modbus TLS: master 127.0.0.1 refused:") == 1; }));
    // The same address, now with a connection that never starts its handshake.
    const UniqueFd silent = test::connectLoopback(server.tlsPort());
    EXPECT_TRUE(test::waitFor([&] { return log.count("refused: no handshake within 0.3 s") == 1; }));
}

// A master whose TLS library keeps its session, as most do: every reconnect resumes it.
class SessionMaster {
public:
    SessionMaster(const std::string& certificate, const std::string& key, const std::string& ca,
                  int version) {
        ctx_.reset(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_min_proto_version(ctx_.get(), version);
        SSL_CTX_set_max_proto_version(ctx_.get(), version);
        SSL_CTX_load_verify_locations(ctx_.get(), ca.c_str(), nullptr);
        SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_use_certificate_chain_file(ctx_.get(), certificate.c_str());
        SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM);
    }
    ~SessionMaster() { SSL_SESSION_free(session_); }

    struct Visit {
        bool connected = false;
        bool resumed = false;
        int writeException = -1;  // 0: the write was carried out
    };
    // Connects with the kept session, writes holding register 0 and keeps the session for the next visit.
    Visit visit(int port) {
        Visit v;
        const UniqueFd socket = test::connectLoopback(port);
        const timeval limit{5, 0};
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const SslPtr ssl(SSL_new(ctx_.get()));
        SSL_set_fd(ssl.get(), socket.get());
        SSL_set1_host(ssl.get(), "localhost");
        if (session_) SSL_set_session(ssl.get(), session_);
        v.connected = SSL_connect(ssl.get()) == 1;
        v.resumed = v.connected && SSL_session_reused(ssl.get()) == 1;
        std::size_t n = 0;
        if (v.connected && SSL_write_ex(ssl.get(), kWriteRequest.data(), kWriteRequest.size(), &n) == 1) {
            std::uint8_t reply[12] = {};
            std::size_t have = 0;
            while (have < 9 && SSL_read_ex(ssl.get(), reply + have, sizeof reply - have, &n) == 1) have += n;
            if (have >= 9) v.writeException = reply[7] & 0x80 ? reply[8] : 0;
        }
        // Under TLS 1.3 the tickets come after the handshake; the reply read above has taken them.
        if (SSL_SESSION* kept = SSL_get1_session(ssl.get())) {
            SSL_SESSION_free(session_);
            session_ = kept;
        }
        SSL_shutdown(ssl.get());
        ERR_clear_error();
        return v;
    }

private:
    SslContextPtr ctx_;
    SSL_SESSION* session_ = nullptr;
};

TEST_F(TlsServerMasters, ResumedSessionsAreServedWithTheirCertificatesRoleUntilARestart) {
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3");
        profile.setString(kSettingsSection, u"tlsWriteRoles", u"operator");
        start();
        SessionMaster writer(file("trusted", "operator.pem"), file("trusted", "operator.key"),
                             file("trusted", "ca.pem"), version);
        SessionMaster reader(file("trusted", "norole.pem"), file("trusted", "norole.key"),
                             file("trusted", "ca.pem"), version);
        const auto first = writer.visit(server.tlsPort());
        EXPECT_TRUE(first.connected && !first.resumed);
        EXPECT_EQ(first.writeException, 0);
        for (int i = 0; i < 3; ++i) {
            const auto again = writer.visit(server.tlsPort());
            EXPECT_TRUE(again.resumed) << "reconnect " << i;
            EXPECT_EQ(again.writeException, 0) << "the write role comes with the session";
        }
        reader.visit(server.tlsPort());
        const auto resumedReader = reader.visit(server.tlsPort());
        EXPECT_TRUE(resumedReader.resumed);
        EXPECT_EQ(resumedReader.writeException, 1) << "a certificate without the role may not write";

        // The write role taken away: sessions from before the restart are not resumed, nor do they write.
        profile.setString(kSettingsSection, u"tlsWriteRoles", u"engineer");
        start();
        const auto afterRestart = writer.visit(server.tlsPort());
        EXPECT_TRUE(afterRestart.connected);
        EXPECT_FALSE(afterRestart.resumed);
        EXPECT_EQ(afterRestart.writeException, 1);
        server.stop();
    }
}

TEST_F(TlsServerMasters, HandshakesInProgressNeverTakeOrEvictAMastersPlace) {
    profile.setInt(kSettingsSection, u"maxMasters", 4);
    server.setTimeouts({500ms, 3s, 300ms});
    start();
    // More bare connections than places, none of them ever starting a handshake.
    std::vector<UniqueFd> bare;
    for (int i = 0; i < 8; ++i) bare.push_back(test::connectLoopback(server.tlsPort()));
    auto master = connect("operator");
    ASSERT_EQ(master.readRegister(), 0) << "a master gets in while handshakes wait";
    std::this_thread::sleep_for(400ms);  // now silent long enough to be evicted
    for (int i = 0; i < 8; ++i) bare.push_back(test::connectLoopback(server.tlsPort()));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(master.readRegister(), 0) << "no bare connection evicts an authenticated master";
    EXPECT_EQ(server.counters(Transport::Tls).masters, 1u);
}

TEST_F(TlsServerMasters, OnlyAnAuthenticatedNewcomerEvictsAnIdleMaster) {
    profile.setInt(kSettingsSection, u"maxMasters", 1);
    server.setTimeouts({500ms, 3s, 300ms});
    start();
    auto idle = connect("operator");
    ASSERT_EQ(idle.readRegister(), 0);
    std::this_thread::sleep_for(400ms);
    const UniqueFd bare = test::connectLoopback(server.tlsPort());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(idle.readRegister(), 0);
    std::this_thread::sleep_for(400ms);
    auto newcomer = connect("norole");
    EXPECT_EQ(newcomer.readRegister(), 0) << "an authenticated newcomer takes the idle master's place";
    EXPECT_EQ(idle.readRegister(), -1);
}

// TLS records that stop halfway hold up nobody and end like a partial frame.
TEST_F(TlsServerMasters, ARecordThatStopsHalfwayEndsAfterTheByteTimeOut) {
    profile.setInt(kSettingsSection, u"maxMasters", 2);
    server.setTimeouts({300ms, 3s, 10s});
    start();
    auto stuck = connect("operator");
    ASSERT_EQ(stuck.readRegister(), 0);
    const std::uint64_t damagedBefore = server.counters(Transport::Tls).commErrors;
    // The header of an application data record of 32 bytes, and 3 of them, beside the session.
    const std::uint8_t partial[] = {0x17, 0x03, 0x03, 0x00, 0x20, 1, 2, 3};
    ASSERT_EQ(::send(stuck.socket.get(), partial, sizeof partial, 0), static_cast<ssize_t>(sizeof partial));
    auto other = connect("norole");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(other.readRegister(), 0) << "the other master is served meanwhile";
    EXPECT_TRUE(test::waitFor([&] {
        std::uint8_t buffer[64];
        return ::recv(stuck.socket.get(), buffer, sizeof buffer, MSG_DONTWAIT) == 0;
    })) << "the connection is closed";
    EXPECT_EQ(server.counters(Transport::Tls).commErrors, damagedBefore + 1);
    EXPECT_EQ(other.readRegister(), 0);
}

TEST_F(TlsServer, BadFilesLeaveTheServerOff) {
    profile.setString(kSettingsSection, u"tlsKey", toUtf16(file("trusted", "operator.key")));
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", test::freeTcpPort());
    test::LogCapture log;
    server.restart();
    EXPECT_TRUE(test::waitFor([&] { return log.count("does not match") == 1; }));
    EXPECT_TRUE(test::waitFor([&] { return server.tcpListening(); })) << "plain TCP runs on";
    EXPECT_FALSE(server.tlsListening());
}

TEST(TlsWriteRoles, AllowsOnlyListedRoles) {
    struct Row {
        std::u16string writeRoles;
        std::optional<std::string> role;
        bool mayWrite;
    } rows[] = {
        {u"operator", "operator", true},
        {u"engineer, operator ", "operator", true},
        {u" operator ,engineer", "engineer", true},
        {u"", "operator", false},
        {u"operators", "operator", false},
        {u"Operator", "operator", false},
        {u"operator", std::nullopt, false},
        {u"operator,", "", false},
        {u",,", "", false},
        {u"opérateur", "opérateur", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(tlsRoleMayWrite(row.writeRoles, row.role), row.mayWrite)
            << toUtf8(row.writeRoles) << " / " << row.role.value_or("(none)");
    }
}

}  // namespace
}  // namespace tesmor
