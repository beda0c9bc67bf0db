#include "serial/mscomm.h"

#include "serial/comerror.h"
#include "serial/openerror.h"
#include "serial/portmap.h"

#include <QFileInfo>
#include <QSerialPort>

MSComm::MSComm(QObject *parent)
    : QObject(parent)
    , m_port(new QSerialPort(this))
{
    setObjectName(QStringLiteral("MSComm1"));
}

MSComm::~MSComm()
{
    if (m_port->isOpen())
        close();
}

void MSComm::setCommPort(qint16 port)
{
    if (port < 1)
        throw ComError(
            QStringLiteral("Invalid port number %1: the port number must be 1 or more.").arg(port));
    if (portOpen())
        throw ComError(QStringLiteral("Com%1 is open: close it before changing the port number.")
                           .arg(m_commPort));
    m_commPort = port;
}

bool MSComm::portOpen() const
{
    return m_port->isOpen();
}

void MSComm::setPortOpen(bool open)
{
    if (open)
        this->open();
    else
        close();
}

void MSComm::setDTREnable(bool asserted)
{
    m_dtr = asserted;
    if (portOpen() && !m_port->setDataTerminalReady(asserted))
        throw ComError(QStringLiteral("Com%1: cannot set DTR on %2: %3.")
                           .arg(m_commPort)
                           .arg(m_device, m_port->errorString()));
}

void MSComm::setRTSEnable(bool asserted)
{
    m_rts = asserted;
    if (portOpen() && !m_port->setRequestToSend(asserted))
        throw ComError(QStringLiteral("Com%1: cannot set RTS on %2: %3.")
                           .arg(m_commPort)
                           .arg(m_device, m_port->errorString()));
}

QString MSComm::openDevice() const
{
    return portOpen() ? m_device : QString();
}

void MSComm::open()
{
    if (portOpen())
        throw ComError(QStringLiteral("Com%1 is already open.").arg(m_commPort));

    const QString device = PortMap::device(m_commPort);
    const QFileInfo info(device);
#ifdef Q_OS_UNIX
    // Open a by-id or other link by its target, so that the lock QSerialPort takes is the one
    // another program opening the same device by another name will find.
    const bool exists = info.exists();
    m_device = exists ? info.canonicalFilePath() : device;
#else
    const bool exists = true;
    m_device = device;
#endif
    m_port->setPortName(m_device);
    if (!exists || !m_port->open(QIODevice::WriteOnly)) {
        const auto cause = OpenError::classify(m_port->error(), m_port->errorString(), exists);
        const auto holder =
            cause == OpenError::Cause::InUse ? OpenError::lockHolder(m_device) : std::nullopt;
        throw ComError(
            OpenError::describe(m_commPort, device, cause, m_port->errorString(), holder));
    }

    // The line setting is part of the set-up: a device without RTS and DTR is of no use here.
    if (!m_port->setRequestToSend(m_rts) || !m_port->setDataTerminalReady(m_dtr)) {
        const QString reason = m_port->errorString();
        m_port->close();
        throw ComError(
            OpenError::describe(m_commPort, device, OpenError::Cause::NoControlLines, reason));
    }
}

void MSComm::close()
{
    if (!portOpen())
        return;
    // Best effort: a device that has gone away cannot be driven, and close must still go on.
    m_port->setRequestToSend(false);
    m_port->setDataTerminalReady(false);
    m_port->close();
}
