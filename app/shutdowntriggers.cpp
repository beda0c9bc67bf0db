#include "app/shutdowntriggers.h"

#include "app/signalwatcher.h"
#include "windows/frmmain.h"

#include <QGuiApplication>

void installShutdownTriggers(frmMain *window)
{
    auto *signalWatcher = new SignalWatcher(window);
    QObject::connect(signalWatcher, &SignalWatcher::received, window, &QWidget::close);

    if (auto *app = qGuiApp) {
        QObject::connect(app, &QGuiApplication::commitDataRequest, window, &QWidget::close);
        // Last resort when the application is made to quit some other way.
        QObject::connect(app, &QCoreApplication::aboutToQuit, window, &frmMain::unload);
    }
}
