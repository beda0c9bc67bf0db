#include "app/scriptbus.h"

#include "app/module1.h"
#include "app/pulseclock.h"
#include "app/scriptcommand.h"
#include "windows/frmmain.h"

#include "windows/textbox.h"

#include <cerrno>
#include <cstring>
#include <utility>

static const QString closed = QStringLiteral(TWINLINE_TITLE " was closed.");

ScriptBus::ScriptBus(frmMain *window, const QDBusConnection &bus)
    : QObject(window)
    , m_window(window)
    , m_bus(bus)
{
    for (int channel : {1, 2}) {
        m_clocks[channel - 1] = new PulseClock(this);
        connect(m_clocks[channel - 1], &PulseClock::timeout, this,
                [this, channel] { endPulse(channel); });
    }
    connect(window, &frmMain::channelChanged, this, &ScriptBus::ChannelChanged);
    connect(window, &frmMain::channelsIdled, this, [this](const QString &why) {
        for (int channel : {1, 2})
            endPulse(channel, why);
    });
    connect(window, &frmMain::unloaded, this, &ScriptBus::withdraw);
    m_registered = m_bus.registerObject(ScriptCommand::objectPath(), this,
                                        QDBusConnection::ExportScriptableSlots
                                            | QDBusConnection::ExportScriptableSignals)
        && m_bus.registerService(ScriptCommand::service());
    if (!m_registered)
        m_bus.unregisterObject(ScriptCommand::objectPath());
}

// The window is gone already: a pulse still running is only answered.
ScriptBus::~ScriptBus()
{
    for (QDBusMessage &call : m_calls)
        if (call.type() == QDBusMessage::MethodCallMessage)
            m_bus.send(std::exchange(call, {}).createErrorReply(QDBusError::Failed, closed));
    withdraw();
}

// The program is ending: no pulse will be restored, and no command is taken any more.
void ScriptBus::withdraw()
{
    for (int channel : {1, 2})
        endPulse(channel, closed);
    if (std::exchange(m_registered, false)) {
        m_bus.unregisterService(ScriptCommand::service());
        m_bus.unregisterObject(ScriptCommand::objectPath());
    }
}

// Sends the reason back and returns true when the window would not change the channel now.
bool ScriptBus::refused(int channel)
{
    if (channel != 1 && channel != 2) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("The channel is 1 or 2."));
        return true;
    }
    const QString why = m_window->refusal(channel);
    if (!why.isEmpty())
        sendErrorReply(QDBusError::Failed, why);
    return !why.isEmpty();
}

void ScriptBus::SetChannel(int channel, bool on)
{
    const BoolWord flag = channel == 1 ? Module1::flgCH1 : Module1::flgCH2;
    if (refused(channel) || (flag != wordFalse) == on)
        return;
    // The buttons say nothing when the line cannot be changed; a script is told.
    if (const QString error = m_window->toggleChannel(channel); !error.isEmpty())
        sendErrorReply(QDBusError::Failed, error);
}

void ScriptBus::Pulse(int channel, int milliseconds)
{
    if (milliseconds < 1 || milliseconds > 60000) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("A pulse lasts 1 to 60000 ms."));
        return;
    }
    if (refused(channel))
        return;
    // Timed from just before the line changes, as the change itself takes a while.
    if (!m_clocks[channel - 1]->start(milliseconds)) {
        sendErrorReply(QDBusError::Failed,
                       QStringLiteral("No timer for the pulse: %1.")
                           .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    setDelayedReply(true);
    m_calls[channel - 1] = message();
    m_window->setPulsing(channel, true);
    m_window->toggleChannel(channel); // may find the adapter gone: then the pulse fails at once
}

// Restores the channel unless the pulse failed, whose port has already idled it.
void ScriptBus::endPulse(int channel, const QString &failure)
{
    QDBusMessage &call = m_calls[channel - 1];
    if (call.type() != QDBusMessage::MethodCallMessage)
        return; // none running
    m_clocks[channel - 1]->stop();
    m_window->setPulsing(channel, false);
    const QString error = failure.isEmpty() ? m_window->toggleChannel(channel) : failure;
    m_bus.send(error.isEmpty() ? call.createReply()
                               : call.createErrorReply(QDBusError::Failed, error));
    call = QDBusMessage();
}

QString ScriptBus::Status()
{
    const QString why = m_window->refusal(0);
    if (!why.isEmpty()) {
        sendErrorReply(QDBusError::Failed, why);
        return {};
    }
    const auto state = [](BoolWord flag) { return flag ? "on" : "off"; };
    return QStringLiteral("%1: CH 1 %2, CH 2 %3")
        .arg(m_window->Text1()->text(), state(Module1::flgCH1), state(Module1::flgCH2));
}
