#pragma once
// tesmor-host's commands on standard input (update, menu, profile, devices, stats, device, help,
// quit), typed or piped in by a script, one a line.
#include <QSocketNotifier>
#include <cstdint>
#include <string>

class QCoreApplication;

namespace tesmor::host {

class HostWindow;

// What the commands act on.
struct Session {
    QCoreApplication* loop;
    HostWindow* window;                            // null when headless
    std::uint32_t (*stats)(char*, std::uint32_t);  // null when the plug-in has no such export
    std::string help;                              // what the help command prints
};

// The commands with what each does, for the help text: "Commands on standard input:" and a
// line or more per command.
std::string commandsHelp();

// Runs the command `line`; says so on standard output when there is no such command.
void runCommand(const std::string& line, const Session& session);

// Standard input, read on the event thread a line at a time, each line run as a command. At the
// end of the input the host goes on until quit by a signal.
class CommandInput {
public:
    explicit CommandInput(Session session);

private:
    void readSome();

    Session session_;
    std::string pending_;
    QSocketNotifier notifier_;
};

}  // namespace tesmor::host
