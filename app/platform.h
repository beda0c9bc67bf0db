// Choices that depend on the windowing platform the program runs on.
#pragma once

#include <QByteArray>

class QSize;
class QWidget;

struct SessionEnvironment
{
    QByteArray qtPlatform; // QT_QPA_PLATFORM, as the user set it
    QByteArray waylandDisplay; // WAYLAND_DISPLAY
    QByteArray x11Display; // DISPLAY
};

// A Wayland window can neither place itself nor read its position, and the program is about a
// remembered position. Where X11 is offered too (XWayland) and the user chose no platform, the
// program runs on X11, and on Wayland when no X server answers.
bool shouldPreferX11(const SessionEnvironment &environment);

// Applies shouldPreferX11() to this process; call before the application object exists.
void choosePlatform();

// Whether the running platform reports where a top-level window really is.
bool platformReportsWindowPosition();

// Gives a window its fixed size. Qt's own title bar on Wayland offers to maximise every window, and
// a window that cannot take the maximised size is a protocol error that ends the program: there
// the size is the least the window takes.
void setFixedWindowSize(QWidget *window, const QSize &size);
