// The serial port control component: a port number, its open state and the RTS and DTR lines.
#pragma once

#include "serial/portguard.h"
#include "serial/portmap.h"

#include <QObject>

#include <memory>
#include <optional>

class LineDevice;

// Only the two output handshake lines are used; no data is ever sent or read. Every failure
// throws ComError with a description fit to show the user.
//
// The line properties are settings as much as levels: written while the port is closed they are
// only recorded, and opening the port brings both lines to the recorded levels without passing
// through any other level where the device allows it (see LineDevice). Closing lowers both lines
// before letting go of the device; the recorded values stay as written.
class MSComm : public QObject
{
    Q_OBJECT

public:
    // guard: where the signs of another program using a port are looked for.
    explicit MSComm(PortGuard guard = PortGuard(), QObject *parent = nullptr);
    ~MSComm() override;

    qint16 commPort() const { return m_commPort; }
    void setCommPort(qint16 port);

    bool portOpen() const { return m_device != nullptr; }
    void setPortOpen(bool open);

    bool dtrEnable() const { return m_dtr; }
    void setDTREnable(bool asserted);

    bool rtsEnable() const { return m_rts; }
    void setRTSEnable(bool asserted);

    // The device the port is open on, links resolved; empty while closed.
    QString openDevice() const;
    // What the user should know about the open device, or empty.
    QString notice() const;

    // Where the ports are, from the settings the current event handler read; an open uses it.
    // Without one, each open reads the settings itself.
    void setPorts(const PortMap &ports) { m_ports = ports; }
    const std::optional<PortMap> &ports() const { return m_ports; }

signals:
    // The open device went away (an adapter was unplugged); the port is closed now.
    void deviceLost(const QString &description);

private:
    void open();
    void close();
    void deviceGone();

    PortGuard m_guard;
    std::unique_ptr<LineDevice> m_device;
    std::optional<PortMap> m_ports;
    qint16 m_commPort = 1;
    bool m_dtr = false;
    bool m_rts = false;
};
