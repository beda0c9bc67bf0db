#include "serial/mscomm.h"

#include "serial/comerror.h"
#include "serial/linedevice.h"
#include "serial/openerror.h"
#include "serial/portmap.h"

MSComm::MSComm(PortGuard guard, QObject *parent)
    : QObject(parent)
    , m_guard(std::move(guard))
{
    setObjectName(QStringLiteral("MSComm1"));
}

MSComm::~MSComm() = default;

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
    if (m_device)
        m_device->setLine(LineDevice::Line::DTR, asserted);
}

void MSComm::setRTSEnable(bool asserted)
{
    m_rts = asserted;
    if (m_device)
        m_device->setLine(LineDevice::Line::RTS, asserted);
}

QString MSComm::openDevice() const
{
    return m_device ? m_device->devicePath() : QString();
}

QString MSComm::notice() const
{
    return m_device ? m_device->notice() : QString();
}

void MSComm::open()
{
    if (portOpen())
        throw ComError(QStringLiteral("Com%1 is already open.").arg(m_commPort));
    const PortMap ports = m_ports ? *m_ports : PortMap::read();
    if (const QString refusal = ports.refusal(); !refusal.isEmpty())
        throw ComError(refusal);
    auto device =
        std::make_unique<LineDevice>(m_commPort, ports.device(m_commPort), m_rts, m_dtr, m_guard);
    connect(device.get(), &LineDevice::lost, this, &MSComm::deviceGone);
    m_device = std::move(device);
}

void MSComm::close()
{
    m_device.reset();
}

void MSComm::deviceGone()
{
    // The device is still inside its own signal: let go of it now, delete it later.
    LineDevice *gone = m_device.release();
    const QString description =
        OpenError::describe(m_commPort, gone->devicePath(), OpenError::Cause::Disconnected);
    gone->close();
    gone->deleteLater();
    emit deviceLost(description);
}
