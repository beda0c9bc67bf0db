// Twinline: switches equipment wired to a serial port's RTS and DTR lines.

#include "app/platform.h"
#include "app/scriptbus.h"
#include "app/scriptcommand.h"
#include "app/shutdowntriggers.h"
#include "app/signalwatcher.h"
#include "serial/portguard.h"
#include "version.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QIcon>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // A command talks to the Twinline already running: no display, no port.
    if (ScriptCommand::wanted(argc, argv)) {
        QCoreApplication app(argc, argv);
        const auto [code, text] =
            ScriptCommand::run(QCoreApplication::arguments().mid(1), ScriptCommand::sessionBus());
        std::fputs(qPrintable(text), code == ScriptCommand::Done ? stdout : stderr);
        return code;
    }

    choosePlatform();
    // Before the port is first opened: a termination signal then waits for the event loop and
    // ends the program through its shut-down, which releases the port.
    if (!SignalWatcher::catchSignals()) {
        std::fprintf(stderr,
                     "Twinline: cannot watch for termination signals (%s); not started, "
                     "since the port could not be released on SIGTERM.\n",
                     std::strerror(errno));
        return 1;
    }
    // The window opens the port; the table of locks it checks first is read meanwhile.
    PortGuard guard;
    guard.readLocksAhead();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(TWINLINE_TITLE));
    QApplication::setOrganizationName(QStringLiteral(TWINLINE_TITLE));
    QApplication::setApplicationVersion(QStringLiteral(TWINLINE_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("twinline"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/twinline.png")));

    frmMain window(PortNumbering(), guard);
    guard.dropLocksAhead();
    // Shut-down ends the program at once, even from inside a dialog's event loop.
    QObject::connect(&window, &frmMain::unloaded, &app, [] { QCoreApplication::exit(0); });

    installShutdownTriggers(&window);
    new ScriptBus(&window);

    window.show();
    return app.exec();
}
