// Modbus/TCP Security against plain Modbus TCP, both served by one ModbusServer from one store in
// the same run, with certificates from tools/make-certs.sh:
// - "read 125 holding registers" back to back on a kept connection, the two transports in
//   alternating bursts: requests/s, p50 and p99 latency of each, and the ratio TLS / plain
//   (target >= 0.5);
// - connect + one read + close, alternating the same way: plain cycles/s against full TLS
//   handshakes/s (a new session every time, never resumed).
// Both clients frame requests with the same code, one blocking socket each, so the ratio is the
// cost of TLS alone (libmodbus's client would add its own select() calls to the plain side only).
// `taskset -c 1 bench_tls` gives steady figures on a shared machine.
//   bench_tls [seconds per transport and figure, default 3] | --benchmark_list_tests
// Exit status 1 when a request or a cycle failed.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modbus/ModbusServer.h"
#include "modbus/TlsContext.h"
#include "support/Loopback.h"
#include "support/MemoryProfile.h"
#include "support/TempDir.h"

#ifndef TESMOR_MAKE_CERTS
#error "TESMOR_MAKE_CERTS must name tools/make-certs.sh"
#endif

namespace {

using namespace tesmor;
using Clock = std::chrono::steady_clock;

struct NoStrings : StringSource {
    std::u16string loadString(unsigned) const override { return {}; }
};

// The master's side: trusts the test authority, shows the operator's certificate, checks that
// the server is "localhost", keeps no sessions to resume.
SslContextPtr clientContext(const TempDir& certs) {
    SslContextPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx || SSL_CTX_load_verify_locations(ctx.get(), certs.file("ca.pem").c_str(), nullptr) != 1 ||
        SSL_CTX_use_certificate_chain_file(ctx.get(), certs.file("operator.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), certs.file("operator.key").c_str(), SSL_FILETYPE_PEM) != 1)
        return nullptr;
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    // One read takes a whole record, as one recv() takes a whole plain reply.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    return ctx;
}

// One master connection, plain or TLS; blocking, with a 2 s limit on every wait.
class Link {
public:
    // Empty when the connection or the handshake fails.
    static std::optional<Link> open(int port, SSL_CTX* tls) {
        Link link;
        link.fd_ = test::connectLoopback(port);
        if (!link.fd_) return std::nullopt;
        const int on = 1;
        ::setsockopt(link.fd_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const timeval limit{2, 0};
        ::setsockopt(link.fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(link.fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (tls) {
            link.ssl_.reset(SSL_new(tls));
            if (!link.ssl_ || SSL_set_fd(link.ssl_.get(), link.fd_.get()) != 1 ||
                SSL_set1_host(link.ssl_.get(), "localhost") != 1 || SSL_connect(link.ssl_.get()) != 1) {
                ERR_clear_error();
                return std::nullopt;
            }
        }
        return link;
    }
    Link() = default;
    Link(Link&&) = default;
    Link& operator=(Link&&) = default;
    ~Link() {
        if (ssl_) {
            SSL_shutdown(ssl_.get());  // close_notify, as a well-behaved master leaves
            ERR_clear_error();
        }
    }

    // Sends "read 125 holding registers from 0" and checks that the reply carries 250 bytes.
    bool read125() {
        ++transaction_;
        const std::uint8_t request[] = {static_cast<std::uint8_t>(transaction_ >> 8),
                                        static_cast<std::uint8_t>(transaction_),
                                        0,
                                        0,
                                        0,
                                        6,
                                        1,
                                        3,
                                        0,
                                        0,
                                        0,
                                        125};
        if (!send(request, sizeof request)) return false;
        // One call takes whatever has arrived, as a master with a buffer does; the MBAP length
        // says when the reply is complete.
        std::uint8_t reply[300];
        std::size_t have = 0;
        while (have < 6 || have < 6u + (reply[4] << 8 | reply[5])) {
            if (have == sizeof reply) return false;
            const long n = receive(reply + have, sizeof reply - have);
            if (n <= 0) return false;
            have += static_cast<std::size_t>(n);
        }
        return have == 259 && reply[0] == request[0] && reply[1] == request[1] && reply[7] == 3 &&
               reply[8] == 250;
    }
    std::string cipher() const {
        return ssl_ ? std::string(SSL_get_version(ssl_.get())) + ", " + SSL_get_cipher_name(ssl_.get())
                    : std::string("plain");
    }

private:
    bool send(const std::uint8_t* data, std::size_t size) {
        if (ssl_) {
            std::size_t written = 0;
            return SSL_write_ex(ssl_.get(), data, size, &written) == 1 && written == size;
        }
        return ::send(fd_.get(), data, size, MSG_NOSIGNAL) == static_cast<long>(size);
    }
    long receive(std::uint8_t* data, std::size_t size) {
        if (ssl_) {
            std::size_t n = 0;
            if (SSL_read_ex(ssl_.get(), data, size, &n) != 1) {
                ERR_clear_error();
                return -1;
            }
            return static_cast<long>(n);
        }
        return ::recv(fd_.get(), data, size, 0);
    }

    UniqueFd fd_;  // declared before ssl_, so the session is freed before its socket is closed
    SslPtr ssl_;
    std::uint16_t transaction_ = 0;
};

// Latencies and busy time of one transport.
struct Side {
    const char* name;
    std::vector<double> us;
    double seconds = 0;
    long failed = 0;

    // Runs `step` back to back for about `slice`.
    template <class Step>
    void burst(Clock::duration slice, Step step) {
        const auto start = Clock::now();
        for (auto t0 = start; t0 - start < slice;) {
            const bool ok = step();
            const auto t1 = Clock::now();
            if (ok)
                us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            else
                ++failed;
            t0 = t1;
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
    }
    double rate() const { return seconds > 0 ? static_cast<double>(us.size()) / seconds : 0; }
    double percentile(double p) {
        if (us.empty()) return 0;
        const auto k = static_cast<std::size_t>(p * static_cast<double>(us.size() - 1));
        std::nth_element(us.begin(), us.begin() + static_cast<long>(k), us.end());
        return us[k];
    }
    void print(const char* unit) {
        std::printf("%-6s %10.0f %s   p50 %8.1f us   p99 %8.1f us   %ld failed\n", name, rate(), unit,
                    percentile(0.5), percentile(0.99), failed);
    }
};

// Alternates 50 ms bursts of `plain` and `tls` until each side has run for `seconds`, so load from
// other processes falls on both alike.
template <class PlainStep, class TlsStep>
void alternate(Side& plain, Side& tls, double seconds, PlainStep plainStep, TlsStep tlsStep) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    while (plain.seconds < seconds || tls.seconds < seconds) {
        plain.burst(kSlice, plainStep);
        tls.burst(kSlice, tlsStep);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Google Benchmark's listing option, which the documentation check runs on every benchmark.
    if (argc > 1 && std::string(argv[1]) == "--benchmark_list_tests") {
        std::printf(
            "kept_connection/plain\nkept_connection/tls\nconnect_request_close/plain\n"
            "connect_request_close/tls\n");
        return 0;
    }
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_tls [seconds per transport and figure]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const TempDir certs;
    const std::string makeCerts =
        std::string(TESMOR_MAKE_CERTS) + " " + certs.path().string() + " >/dev/null";
    if (std::system(makeCerts.c_str()) != 0) {
        std::fprintf(stderr, "%s failed\n", makeCerts.c_str());
        return 1;
    }
    const SslContextPtr master = clientContext(certs);
    if (!master) {
        std::fprintf(stderr, "cannot load the master's certificate\n");
        return 1;
    }

    test::MemoryProfile profile;
    NoStrings strings;
    const int plainPort = test::freeTcpPort();
    const int tlsPort = test::freeTcpPort();
    profile.setInt(kSettingsSection, u"isTCP", 1);
    profile.setInt(kSettingsSection, u"localPort", plainPort);
    // A closed master may still be counted for a moment when the next one connects.
    profile.setInt(kSettingsSection, u"maxMasters", 8);
    profile.setInt(kSettingsSection, u"isTLS", 1);
    profile.setInt(kSettingsSection, u"tlsPort", tlsPort);
    profile.setString(kSettingsSection, u"tlsCertificate", certs.file16("server.pem"));
    profile.setString(kSettingsSection, u"tlsKey", certs.file16("server.key"));
    profile.setString(kSettingsSection, u"tlsCA", certs.file16("ca.pem"));
    ModbusServer server(profile, strings);
    server.restart();
    if (!test::waitFor([&] { return server.tcpListening() && server.tlsListening(); },
                       std::chrono::seconds(10))) {
        std::fprintf(stderr, "the server did not listen on both ports\n");
        return 1;
    }

    Side plain{"plain"}, tls{"TLS"};
    std::string cipher;
    {
        auto toPlain = Link::open(plainPort, nullptr);
        auto toTls = Link::open(tlsPort, master.get());
        if (!toPlain || !toTls) {
            std::fprintf(stderr, "cannot connect to the %s port\n", toPlain ? "TLS" : "plain");
            return 1;
        }
        cipher = toTls->cipher();
        alternate(
            plain, tls, seconds, [&] { return toPlain->read125(); }, [&] { return toTls->read125(); });
    }
    std::printf(
        "read 125 holding registers on a kept connection, one loopback master per transport,\n"
        "alternating 50 ms bursts, %.1f s each (%s)\n",
        seconds, cipher.c_str());
    plain.print("req/s");
    tls.print("req/s");
    const double ratio = plain.rate() > 0 ? tls.rate() / plain.rate() : 0;
    std::printf("ratio (TLS / plain)  %.3f   (target >= 0.5: %s)\n\n", ratio,
                ratio >= 0.5 ? "met" : "NOT met");

    Side plainCycles{"plain"}, handshakes{"TLS"};
    auto cycle = [](int port, SSL_CTX* tls) {
        auto link = Link::open(port, tls);
        return link && link->read125();
    };
    alternate(
        plainCycles, handshakes, seconds, [&] { return cycle(plainPort, nullptr); },
        [&] { return cycle(tlsPort, master.get()); });
    std::printf(
        "connect + read 125 holding registers + close, a full handshake every time on TLS,\n"
        "alternating 50 ms bursts, %.1f s each\n",
        seconds);
    plainCycles.print("cycles/s");
    handshakes.print("cycles/s");
    if (plainCycles.rate() > 0)
        std::printf("ratio (TLS / plain)  %.3f\n", handshakes.rate() / plainCycles.rate());
    server.stop();
    // Figures from a run with failed requests are not worth reporting.
    return plain.failed + tls.failed + plainCycles.failed + handshakes.failed == 0 ? 0 : 1;
}
