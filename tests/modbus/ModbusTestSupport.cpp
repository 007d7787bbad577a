#include "ModbusTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "modbus/SerialSpeed.h"

extern char** environ;

namespace tesmor::test {

using namespace std::chrono;

struct LogCapture::State {
    mutable std::mutex m;
    std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
    previous_ = setLogSink([s = state_](std::string_view line) {
        std::lock_guard l(s->m);
        s->lines.emplace_back(line);
    });
}

LogCapture::~LogCapture() { setLogSink(std::move(previous_)); }

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard l(state_->m);
    return state_->lines;
}

std::size_t LogCapture::count(std::string_view containing) const {
    auto all = lines();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& l) { return l.find(containing) != std::string::npos; });
}

ChildProcess::ChildProcess(std::vector<std::string> argv, bool pipeStdin) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    int in[2] = {-1, -1};
    if (pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (pipeStdin)
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    if (pipeStdin) {
        ::close(in[0]);
        in_ = in[1];
    }
}

ChildProcess::~ChildProcess() {
    terminate();
    if (out_ >= 0) ::close(out_);
    closeStdin();
}

void ChildProcess::closeStdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void ChildProcess::terminate() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGTERM);
    if (wait(milliseconds(2000)) == -1 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
}

void ChildProcess::readAvailable(int timeoutMs) {
    if (out_ < 0) return;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    const auto n = ::read(out_, buf, sizeof buf);
    if (n > 0)
        output_.append(buf, static_cast<std::size_t>(n));
    else {
        ::close(out_);
        out_ = -1;
    }
}

bool ChildProcess::waitForLine(std::string_view text, milliseconds limit) {
    const auto end = steady_clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        if (steady_clock::now() > end || out_ < 0) return output_.find(text) != std::string::npos;
        readAvailable(20);
    }
    return true;
}

int ChildProcess::wait(milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = steady_clock::now() + limit;
    while (!reaped_) {
        readAvailable(10);
        if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            break;
        }
        if (steady_clock::now() > end) return -1;
    }
    while (out_ >= 0) readAvailable(50);
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

PtyPair::PtyPair() {
    char tmpl[] = "/tmp/tesmor-pty-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    dir_ = tmpl;
    ready_ = start();
}

bool PtyPair::start() {
    socat_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"socat", "pty,raw,echo=0,link=" + a(), "pty,raw,echo=0,link=" + b()});
    if (!socat_->started()) return false;
    return waitFor([&] { return std::filesystem::exists(a()) && std::filesystem::exists(b()); });
}

void PtyPair::vanish() {
    socat_.reset();
    std::error_code ec;
    std::filesystem::remove(a(), ec);
    std::filesystem::remove(b(), ec);
}

bool PtyPair::reappear() {
    ready_ = start();
    return ready_;
}

PtyPair::~PtyPair() {
    socat_.reset();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

Master tcpMaster(int port, int unitId, milliseconds timeout) {
    Master m(modbus_new_tcp("127.0.0.1", port));
    if (!m) return nullptr;
    modbus_set_slave(m.get(), unitId);
    const auto us = duration_cast<microseconds>(timeout).count();
    modbus_set_response_timeout(m.get(), static_cast<uint32_t>(us / 1000000),
                                static_cast<uint32_t>(us % 1000000));
    if (modbus_connect(m.get()) != 0) return nullptr;
    return m;
}

Master tcpMasterFrom(const char* source, int port, int unitId, milliseconds timeout) {
    Master m = tcpMaster(port, unitId, timeout);
    if (!m) return nullptr;
    // libmodbus cannot bind the source address itself: it is handed a socket connected from it.
    modbus_close(m.get());
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    modbus_set_socket(m.get(), fd);
    return m;
}

std::optional<std::vector<std::uint16_t>> readHoldingEventually(int port, int address, int count,
                                                                milliseconds limit) {
    const auto end = steady_clock::now() + limit;
    std::vector<std::uint16_t> regs(static_cast<std::size_t>(count));
    while (steady_clock::now() < end) {
        if (auto m = tcpMaster(port)) {
            if (modbus_read_registers(m.get(), address, count, regs.data()) == count) return regs;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return std::nullopt;
}

Master rtuMaster(const std::string& device, int unitId, milliseconds timeout, int baud) {
    Master m(modbus_new_rtu(device.c_str(), baud, 'N', 8, 1));
    if (!m) return nullptr;
    modbus_set_slave(m.get(), unitId);
    const auto us = duration_cast<microseconds>(timeout).count();
    modbus_set_response_timeout(m.get(), static_cast<uint32_t>(us / 1000000),
                                static_cast<uint32_t>(us % 1000000));
    if (modbus_connect(m.get()) != 0 || setSerialSpeed(modbus_get_socket(m.get()), baud)) return nullptr;
    // A reply that came too late for the previous master on this line must not answer our first
    // request (a serial master flushes its input when it opens the port).
    modbus_flush(m.get());
    return m;
}

}  // namespace tesmor::test
