// The running window's scripting interface on the session bus.
#pragma once

#include "version.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>

#include <array>

class frmMain;
class PulseClock;

// Offers SetChannel, Pulse and Status, and ChannelChanged for every change of a channel, under
// the program's AppStream id on the given bus (the session bus: this user only). Every change
// goes through the window's own channel toggle, so flags, lamps and lines follow as for the
// buttons. A pulse is timed by the event loop (see PulseClock) and answered once its channel is
// restored; the window stays live meanwhile. Without a bus, or while another Twinline holds the
// name, the window simply has no scripting interface. The name goes when the window unloads.
class ScriptBus : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", TWINLINE_APP_ID)

public:
    explicit ScriptBus(frmMain *window, const QDBusConnection &bus = QDBusConnection::sessionBus());
    ~ScriptBus() override;

public slots:
    Q_SCRIPTABLE void SetChannel(int channel, bool on);
    Q_SCRIPTABLE void Pulse(int channel, int milliseconds);
    Q_SCRIPTABLE QString Status();

signals:
    Q_SCRIPTABLE void ChannelChanged(int channel, bool on);

private:
    bool refused(int channel);
    void endPulse(int channel, const QString &failure = QString());
    void withdraw();

    frmMain *m_window;
    QDBusConnection m_bus;
    bool m_registered = false;
    std::array<PulseClock *, 2> m_clocks{};

    std::array<QDBusMessage, 2> m_calls; // each running pulse's call, answered when it ends
};
