// The command line that scripts the running window over the session bus.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>

#include <optional>

namespace ScriptCommand {

// Where the running window answers: its AppStream id as the bus name, the same dotted id as a
// path, and as the interface.
QString service();
QString objectPath();

enum Exit { Done = 0, Refused = 1, Usage = 2, NotRunning = 3 };

// The session bus a command talks to; never one started for it.
QDBusConnection sessionBus();

// Whether the arguments ask for a command rather than the window: the first one is a long
// option. Qt's own options (-platform, -style) still go to the window.
bool wanted(int argc, char **argv);

// The method call that "--set CH on|off", "--pulse CH MS" or "--status" (args without the
// program's name) asks for; nothing when the arguments are no such command. The call starts
// nothing: a bus name without an owner means that no Twinline runs.
std::optional<QDBusMessage> call(const QStringList &args);

struct Result
{
    int exitCode;
    QString text; // for stdout when the exit code is 0, else for stderr
};

// Runs the command in args against the Twinline on bus. Runs an event loop while it waits.
Result run(const QStringList &args, const QDBusConnection &bus);

} // namespace ScriptCommand
