#include "app/scriptcommand.h"

#include "version.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QFileInfo>

#include <cstring>

namespace ScriptCommand {

namespace {

const char usage[] =
    "Usage: twinline --set CH on|off    switch channel CH (1 RTS, 2 DTR) on or off\n"
    "       twinline --pulse CH MS      invert CH for MS ms (1..60000), then "
    "restore it\n"
    "       twinline --status           print the port and both channels\n"
    "Each command talks to the Twinline already running for this user.\n"
    "Exit status: 0 done, 1 refused, 2 usage, 3 not running.\n";

std::optional<int> number(const QString &text, int lowest, int highest)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<QDBusMessage> call(const QStringList &args)
{
    const auto method = [](const char *name, const QVariantList &arguments) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(service(), objectPath(), service(), QLatin1String(name));
        message.setArguments(arguments);
        message.setAutoStartService(false); // a command never starts anything
        return message;
    };
    const QString option = args.value(0);
    if (args.size() == 1 && option == u"--status")
        return method("Status", {});
    if (args.size() != 3)
        return std::nullopt;
    const auto channel = number(args[1], 1, 2);
    if (option == u"--set" && channel && (args[2] == u"on" || args[2] == u"off"))
        return method("SetChannel", {*channel, args[2] == u"on"});
    if (option == u"--pulse" && channel)
        if (const auto ms = number(args[2], 1, 60000))
            return method("Pulse", {*channel, *ms});
    return std::nullopt;
}

QString service()
{
    return QStringLiteral(TWINLINE_APP_ID);
}

QString objectPath()
{
    return u'/' + service().replace(u'.', u'/');
}

QDBusConnection sessionBus()
{
    // Without an address libdbus would launch a bus of its own for the display; a command starts
    // nothing, so it only tries the one the user's session manager runs.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection::sessionBus();
    const QString socket = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !QFileInfo(socket).exists())
        return QDBusConnection(QStringLiteral("none")); // not connected
    return QDBusConnection::connectToBus(QStringLiteral("unix:path=") + socket,
                                         QStringLiteral("session"));
}

bool wanted(int argc, char **argv)
{
    return argc > 1 && std::strncmp(argv[1], "--", 2) == 0;
}

Result run(const QStringList &args, const QDBusConnection &bus)
{
    if (args == QStringList{QStringLiteral("--help")})
        return {Done, QString::fromLatin1(usage)};
    const std::optional<QDBusMessage> message = call(args);
    if (!message)
        return {Usage, QString::fromLatin1(usage)};
    // A pulse answers once it is over, up to a minute later.
    const int timeout = 25000 + (message->member() == u"Pulse" ? args[2].toInt() : 0);
    const QDBusMessage reply = bus.call(*message, QDBus::BlockWithGui, timeout);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        // No owner of the name: the bus answers so at once, as nothing may be started for it.
        if (!bus.isConnected() || reply.errorName() == u"org.freedesktop.DBus.Error.NameHasNoOwner"
            || reply.errorName() == u"org.freedesktop.DBus.Error.ServiceUnknown")
            return {NotRunning, QStringLiteral("Twinline is not running; start it first\n")};
        return {Refused, reply.errorMessage() + u'\n'};
    }
    if (message->member() == u"Status")
        return {Done, reply.arguments().value(0).toString() + u'\n'};
    return {Done, {}};
}

} // namespace ScriptCommand
