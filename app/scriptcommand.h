// The command line that scripts the running window over the session bus.
#pragma once

#include <QDBusConnection>
#include <QStringList>

class QTextStream;

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

// Runs "--set CH on|off", "--pulse CH MS" or "--status" (args without the program's name) against
// the Twinline on bus, and returns the exit code. Never starts anything: a bus name without an
// owner means that no Twinline runs. Runs an event loop while it waits for the answer.
int run(const QStringList &args, const QDBusConnection &bus, QTextStream &out, QTextStream &err);

} // namespace ScriptCommand
