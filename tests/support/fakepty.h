#pragma once

#include <QString>

// A pseudo-terminal whose slave side stands in for a serial port in tests.
//
// The test keeps only the master open; the code under test opens the slave (path()) through
// QSerialPort. With libptymodem.so preloaded the slave then has RTS and DTR lines, whose
// state this class reads back from $PTYMODEM_DIR.
class FakePty
{
public:
    FakePty();
    ~FakePty();

    FakePty(const FakePty &) = delete;
    FakePty &operator=(const FakePty &) = delete;

    bool isValid() const;
    QString errorString() const;

    // The slave device, /dev/pts/<N>.
    QString path() const;
    int number() const;

    // Line levels as last left by whoever has the slave open; false when nobody raised them.
    bool rts() const;
    bool dtr() const;

    // Closes the master: the slave side sees a hang-up and line requests on it fail with EIO,
    // like an adapter that was unplugged.
    void hangUp();

    // While set, opening the slave fails with EIO, like a device node without hardware behind it.
    void setNoHardware(bool noHardware);

    // Sets or clears HUPCL on the slave. It starts set, as on a real serial port, so the lines
    // drop when the last descriptor of the slave is closed. Change it before the port is opened:
    // QSerialPort puts back on close the attributes it found at open, HUPCL included.
    bool setHangUpOnClose(bool hangUpOnClose);

private:
    QString stateFile(const QString &suffix) const;
    bool readLine(const char *name) const;
    void removeStateFiles();

    int m_master = -1;
    int m_number = -1;
    QString m_path;
    QString m_error;
};

// True when libptymodem.so is loaded into this process.
bool ptyModemLoaded();

// The directory the preload library keeps line state in (PTYMODEM_DIR); empty when unset.
QString ptyModemDir();

// Makes sure PTYMODEM_DIR names an existing directory: creates it when set, otherwise points it
// at a private temporary directory that lives until the process exits. Call before opening ports.
bool preparePtyModemDir(QString *errorMessage = nullptr);
