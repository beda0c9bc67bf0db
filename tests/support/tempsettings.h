// Gives a test its own settings location, so it never reads or writes the user's settings.
#pragma once

#include <QString>
#include <QTemporaryDir>

// While one of these lives, the settings store and child processes use a fresh empty folder,
// and the RTS/DTR stand-in keeps its line states in another.
class TempSettings
{
public:
    TempSettings();
    ~TempSettings();

    bool isValid() const { return m_config.isValid() && m_modem.isValid(); }
    QString configDir() const { return m_config.path(); }
    QString file() const; // <configDir>/Twinline/Twinline.conf

    QString read(const QString &section, const QString &key) const;
    void write(const QString &section, const QString &key, const QString &text);
    void writeRaw(const QByteArray &contents); // replaces the whole file

    // Maps Com<port> to a device, as a user would for a USB adapter.
    void mapPort(int port, const QString &device)
    {
        write(QStringLiteral("Ports"), QStringLiteral("Com%1").arg(port), device);
    }

private:
    QTemporaryDir m_config;
    QTemporaryDir m_modem;
};
