#include "HostCommands.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QWidget>
#include <cerrno>
#include <iostream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

#include "Console.h"
#include "HostCore.h"
#include "HostWindow.h"
#include "platform/Text.h"

namespace tesmor::host {

namespace {

void listDevices() {
    const auto devices = HostCore::instance().devices();
    if (devices.empty()) say("no devices");
    for (std::size_t i = 0; i < devices.size(); ++i)
        say("device " + std::to_string(i) + ": \"" + toUtf8(devices[i].name) + "\" mode " +
            std::to_string(devices[i].mode) + " error " + std::to_string(devices[i].lastError));
}

void deviceCommand(std::istringstream& in) {
    auto& core = HostCore::instance();
    std::string first;
    in >> first;
    std::string rest;
    std::getline(in >> std::ws, rest);
    if (first == "add" && !rest.empty()) {
        core.addDevice({toUtf16(rest), 0, 0});
        return listDevices();
    }
    const auto index = number(first);
    if (first == "remove") {
        const auto n = number(rest);
        if (!n || *n < 0 || !core.removeDevice(static_cast<std::size_t>(*n))) return say("no such device");
        return listDevices();
    }
    std::istringstream fields(rest);
    std::string what, text;
    fields >> what;
    std::getline(fields >> std::ws, text);
    if (!index || *index < 0) return say("usage: device N mode|error|name VALUE");
    bool ok = false;
    if (what == "name" && !text.empty()) {
        ok = core.updateDevice(*index, [&](Device& d) { d.name = toUtf16(text); });
    } else if (const auto v = number(text); v && (what == "mode" || what == "error")) {
        ok = core.updateDevice(*index, [&](Device& d) {
            (what == "mode" ? d.mode : d.lastError) = static_cast<std::int32_t>(*v);
        });
    } else {
        return say("usage: device N mode|error|name VALUE");
    }
    if (!ok) return say("no such device");
    listDevices();
}

void updateCommand(std::istringstream& in) {
    std::string id;
    in >> id;
    const auto n = number(id);
    if (!n) return say("usage: update ID");
    HostCore::instance().raise("System/DocumentUpdate", static_cast<intptr_t>(*n));
    say("document update " + std::to_string(*n) + " raised");
}

using Command = void (*)(std::istringstream& arguments, const Session& session);

// One row per command: its first word, how it is typed and what it does (the help text; none for
// an alias the help leaves out).
struct CommandRow {
    const char* word;
    const char* syntax;
    const char* description;
    Command run;
};

const std::vector<CommandRow>& commandRows() {
    static const std::vector<CommandRow> rows{
        {"update", "update ID", "raise System/DocumentUpdate with assay id ID",
         [](std::istringstream& in, const Session&) { updateCommand(in); }},
        {"menu", "menu", "run the plug-in's menu command",
         [](std::istringstream&, const Session& s) {
             const auto window = reinterpret_cast<intptr_t>(static_cast<QWidget*>(s.window));
             if (!HostCore::instance().runCommand("tesmor/MenuCommand", window))
                 say("no menu command registered");
         }},
        {"profile", "profile", "print the profile",
         [](std::istringstream&, const Session&) {
             std::cout << HostCore::instance().profileDump() << std::endl;
         }},
        {"devices", "devices", "list the devices",
         [](std::istringstream&, const Session&) { listDevices(); }},
        {"stats", "stats",
         "Modbus traffic, one line per transport (tcp, rtu, and tls while it is on): masters connected (TCP, "
         "TLS), requests answered, exceptions sent, frames dropped, last answer",
         [](std::istringstream&, const Session& s) {
             char text[512] = {};
             if (!s.stats || s.stats(text, sizeof text) == 0)
                 return say("the plug-in reports no Modbus statistics");
             std::cout << text << std::flush;
         }},
        {"device", "device N mode V",
         "set the mode of device N (from 0); also: device N error V, device N name TEXT, device add NAME, "
         "device remove N",
         [](std::istringstream& in, const Session& s) {
             deviceCommand(in);
             if (s.window) s.window->refreshDevices();
         }},
        {"help", "help", "this list", [](std::istringstream&, const Session& s) { std::cout << s.help; }},
        {"quit", "quit", "unload the plug-in and exit (also on SIGINT or SIGTERM)",
         [](std::istringstream&, const Session& s) { s.loop->quit(); }},
        {"exit", "exit", nullptr, [](std::istringstream&, const Session& s) { s.loop->quit(); }},
    };
    return rows;
}

// `text` broken into lines of at most `width` characters at the spaces.
std::vector<std::string> wrap(const std::string& text, std::size_t width) {
    std::vector<std::string> lines(1);
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) lines.emplace_back();
        lines.back() += (lines.back().empty() ? "" : " ") + word;
    }
    return lines;
}

}  // namespace

std::string commandsHelp() {
    constexpr std::size_t kIndent = 2, kLineWidth = 79;
    std::size_t column = 0;
    for (const auto& row : commandRows())
        if (row.description) column = std::max(column, kIndent + std::string(row.syntax).size() + 2);
    std::string text = "Commands on standard input:\n";
    for (const auto& row : commandRows()) {
        if (!row.description) continue;
        std::string lead = std::string(kIndent, ' ') + row.syntax;
        for (const auto& line : wrap(row.description, kLineWidth - column)) {
            text += lead + std::string(column - lead.size(), ' ') + line + "\n";
            lead.clear();
        }
    }
    return text;
}

void runCommand(const std::string& line, const Session& session) {
    static const std::map<std::string, Command> table = [] {
        std::map<std::string, Command> byWord;
        for (const auto& row : commandRows()) byWord[row.word] = row.run;
        return byWord;
    }();
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word.empty()) return;
    if (const auto command = table.find(word); command != table.end())
        command->second(in, session);
    else
        say("unknown command \"" + word + "\" (help lists the commands)");
}

CommandInput::CommandInput(Session session)
    : session_(std::move(session)), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readSome(); });
}

void CommandInput::readSome() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        // End of input: the host goes on until quit by a signal.
        notifier_.setEnabled(false);
        if (!pending_.empty()) runCommand(std::exchange(pending_, {}), session_);
        return;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        runCommand(line, session_);
    }
}

}  // namespace tesmor::host
