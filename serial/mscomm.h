// The serial port control component: a port number, its open state and the RTS and DTR lines.
#pragma once

#include <QObject>

class QSerialPort;

// Only the two output handshake lines are used; no data is ever sent or read. Every failure
// throws ComError with a description fit to show the user.
//
// The line properties are settings as much as levels: written while the port is closed they are
// only recorded, and opening the port drives both lines to the recorded levels at once, so a
// line spends as little time as possible at the level the operating system gives it on open.
// Closing lowers both lines before letting go of the device, so nothing stays asserted even
// where the device is set not to hang up on close; the recorded values stay as written.
class MSComm : public QObject
{
    Q_OBJECT

public:
    explicit MSComm(QObject *parent = nullptr);
    ~MSComm() override;

    qint16 commPort() const { return m_commPort; }
    void setCommPort(qint16 port);

    bool portOpen() const;
    void setPortOpen(bool open);

    bool dtrEnable() const { return m_dtr; }
    void setDTREnable(bool asserted);

    bool rtsEnable() const { return m_rts; }
    void setRTSEnable(bool asserted);

    // The device the port is open on; empty while closed.
    QString openDevice() const;

private:
    void open();
    void close();
    QSerialPort *m_port = nullptr;
    QString m_device; // the device path while open
    qint16 m_commPort = 1;
    bool m_dtr = false;
    bool m_rts = false;
};
