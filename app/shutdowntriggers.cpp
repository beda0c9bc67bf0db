#include "app/shutdowntriggers.h"

#include "app/signalwatcher.h"
#include "windows/frmmain.h"

#include <QGuiApplication>
#include <QPointer>

#include <cstdlib>

namespace {

QPointer<frmMain> windowAtExit;

void unloadAtExit()
{
    if (windowAtExit)
        windowAtExit->unload();
}

} // namespace

void installShutdownTriggers(frmMain *window)
{
    auto *signalWatcher = new SignalWatcher(window);
    QObject::connect(signalWatcher, &SignalWatcher::received, window, &QWidget::close);

    if (auto *app = qGuiApp) {
        // The session asks to save; the logout may still be cancelled, so the program stays.
        QObject::connect(app, &QGuiApplication::commitDataRequest, window, &frmMain::storePosition);
        // Last resort when the application is made to quit some other way.
        QObject::connect(app, &QCoreApplication::aboutToQuit, window, &frmMain::unload);
    }

    // When the X server goes away, Qt ends the process with exit() from inside the event loop.
    static const bool hooked [[maybe_unused]] = std::atexit(unloadAtExit) == 0;
    windowAtExit = window;
}
