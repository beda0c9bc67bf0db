#include "app/platform.h"

#include <QGuiApplication>
#include <QWidget>

bool shouldPreferX11(const SessionEnvironment &environment)
{
    return environment.qtPlatform.isEmpty() && !environment.waylandDisplay.isEmpty()
        && !environment.x11Display.isEmpty();
}

void choosePlatform()
{
    const SessionEnvironment environment{qgetenv("QT_QPA_PLATFORM"), qgetenv("WAYLAND_DISPLAY"),
                                         qgetenv("DISPLAY")};
    // Wayland stays the fallback: a DISPLAY left over from another session may name no X server.
    if (shouldPreferX11(environment))
        qputenv("QT_QPA_PLATFORM", "xcb;wayland");
}

bool platformReportsWindowPosition()
{
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

void setFixedWindowSize(QWidget *window, const QSize &size)
{
    window->setMinimumSize(size);
    window->setMaximumSize(
        platformReportsWindowPosition() ? size : QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
}
