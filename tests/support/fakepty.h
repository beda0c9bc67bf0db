// A pseudo-terminal whose slave side stands in for a serial port in tests.
#pragma once

#include <QList>
#include <QString>

#include <termios.h>

// The test keeps only the master open; the code under test opens the slave (path()). With
// libptymodem.so preloaded the slave then has RTS and DTR lines, which this class reads back from
// $PTYMODEM_DIR. A new FakePty is a freshly plugged-in adapter: its speed is not 0, so the first
// open raises both lines.
class FakePty
{
public:
    FakePty();
    ~FakePty();
    FakePty(const FakePty &) = delete;
    FakePty &operator=(const FakePty &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString errorString() const { return m_error; }
    QString path() const { return m_path; }

    // Line levels as last left by whoever has the slave open.
    bool rts() const;
    bool dtr() const;

    // Every change of the lines so far, oldest first.
    struct Change
    {
        qint64 nanoseconds; // CLOCK_MONOTONIC
        bool rts;
        bool dtr;
    };
    QList<Change> changes() const;

    // The slave's terminal settings (speed, HUPCL, CLOCAL...), read through the master.
    termios attributes() const;

    // Closes the master: the slave hangs up, like an adapter that was unplugged.
    void hangUp();

    // While set, opening the slave fails with EIO, like a device node without hardware behind it.
    void setNoHardware(bool noHardware);

private:
    QString stateFile(const char *suffix) const;

    int m_master = -1;
    int m_number = -1;
    QString m_path;
    QString m_error;
};

// True when libptymodem.so is loaded into this process.
bool ptyModemLoaded();
