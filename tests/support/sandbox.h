// What every test gets of its own: settings, line state, a fake machine, lock folders and a pty
// as Com1.
#pragma once

#include "serial/portguard.h"
#include "serial/portnumbering.h"

#include <QFile>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <utility>

#include <termios.h>
#include <unistd.h>

// The slave side of a pseudo-terminal stands in for a serial port. The test keeps only the
// master; with libptymodem.so preloaded the slave has RTS and DTR, read back from $PTYMODEM_DIR.
// A new FakePty is a freshly plugged-in adapter: its speed is not 0, so its first open raises
// both lines.
class FakePty
{
public:
    Q_DISABLE_COPY_MOVE(FakePty)
    FakePty();
    // Its state files go with the sandbox's folder, or the next pty of its number.
    ~FakePty() { hangUp(); }

    QString path() const { return m_path; }
    bool rts() const { return state("").contains("RTS=1"); }
    bool dtr() const { return state("").contains("DTR=1"); }

    QByteArray log() const { return state(".log"); } // "<CLOCK_MONOTONIC ns> <RTS> <DTR>" lines
    termios attributes() const // the slave's, read through the master
    {
        termios settings{};
        ::tcgetattr(m_master, &settings);
        return settings;
    }
    void hangUp() { ::close(std::exchange(m_master, -1)); } // as when an adapter is unplugged
    // ".nohw": opening fails with EIO, like a ttyS node without a UART; ".keep": the speed
    // stays what it is, as with some drivers.
    void mark(const char *suffix) { QFile(stateFile(suffix)).open(QIODevice::WriteOnly); }

private:
    QByteArray state(const char *suffix) const
    {
        QFile file(stateFile(suffix));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString stateFile(const char *suffix) const
    {
        return qEnvironmentVariable("PTYMODEM_DIR") + QStringLiteral("/pts%1").arg(m_number)
            + QLatin1String(suffix);
    }

    int m_master = -1;
    int m_number = -1;
    QString m_path;
};

// Points the program's settings (HOME and XDG_CONFIG_HOME) and the stand-in's line state into a
// temporary folder, and maps Com1 to a fresh pty. The shared flags start false. Without the
// stand-in preloaded (ctest does that) the lines could not be watched: the test stops.
class Sandbox
{
public:
    Sandbox();

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString settingsFile() const { return path("home/.config/Twinline/Twinline.conf"); }
    QString read(const QString &key) const { return ini()->value(key).toString(); } // "Section/Key"
    void write(const QString &key, const QString &text) { ini()->setValue(key, text); }
    void mapPort(int port, const QString &to) { write("Ports/Com" + QString::number(port), to); }

    // A machine of its own below path("machine"): by-id/, sys/ and dev/, empty until a test
    // puts adapters or UARTs there.
    PortNumbering numbering() const
    {
        return PortNumbering(path("machine/by-id"), path("machine/sys"), path("machine/dev"));
    }
    // Lock folders run-lock/ and var-lock/, the system's /proc, the console lists machine/consoles
    // and machine/console-active (none until a test writes one).
    PortGuard guard() const
    {
        return PortGuard({path("run-lock"), path("var-lock")}, "/proc",
                         {path("machine/consoles"), path("machine/console-active")});
    }

private:
    std::unique_ptr<QSettings> ini() const
    {
        return std::make_unique<QSettings>(settingsFile(), QSettings::IniFormat);
    }

    QTemporaryDir m_root;
    bool m_prepared; // the folders and the environment, before the pty

public:
    FakePty pty;
};
