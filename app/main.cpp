// Twinline: switches equipment wired to a serial port's RTS and DTR lines.

#include "app/platform.h"
#include "app/shutdowntriggers.h"
#include "version.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    choosePlatform();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(TWINLINE_TITLE));
    QApplication::setOrganizationName(QStringLiteral(TWINLINE_TITLE));
    QApplication::setApplicationVersion(QStringLiteral(TWINLINE_VERSION_STRING));
    QApplication::setDesktopFileName(QStringLiteral("twinline"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/twinline.png")));

    frmMain window;
    // Shut-down ends the program at once, even from inside a dialog's event loop.
    QObject::connect(&window, &frmMain::unloaded, &app, [] { QCoreApplication::exit(0); });

    installShutdownTriggers(&window);

    window.show();
    return app.exec();
}
