#include "settings/settingsstore.h"

#include "settings/initext.h"
#include "settings/settingsfile.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>

#include <optional>

namespace {

QString keyPath(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

QString asText(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::QStringList:
        // An unquoted comma makes QSettings read a list; keep the commas so it stays no number.
        return value.toStringList().join(QLatin1String(", "));
    case QMetaType::QByteArray:
        return QString::fromUtf8(value.toByteArray());
    default:
        return QLatin1Char('@') + QString::fromLatin1(value.typeName());
    }
}

QString filePath(const QString &application)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QLatin1Char('/') + application + QLatin1Char('/') + application + QLatin1String(".conf");
}

// What QSettings reads from these bytes, keyed "section/key". QSettings reads only files, so it
// reads a private copy: the settings file itself is opened once, and only by SettingsFile.
// Start-up reads some twenty keys from the same bytes: the last reading is kept.
std::optional<QVariantMap> parsed(const QByteArray &bytes)
{
    static QByteArray lastBytes;
    static std::optional<QVariantMap> lastValues;
    if (lastValues && bytes == lastBytes)
        return lastValues;
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return std::nullopt;
    const QSettings settings(copy.fileName(), QSettings::IniFormat);
    QVariantMap values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    lastBytes = bytes;
    lastValues = values;
    return values;
}

// The file as it is now and what QSettings reads from it; problem says why neither may be used.
struct Snapshot
{
    explicit Snapshot(const QString &application)
        : file(filePath(application))
        , problem(file.problem())
    {
        if (!problem.isEmpty() || !file.exists())
            return;
        const std::optional<QVariantMap> read = parsed(file.contents());
        if (!read) {
            problem =
                QStringLiteral("no copy of it could be made in %1 to read").arg(QDir::tempPath());
            return;
        }
        values = *read;
        problem = IniText(file.contents()).misreading(values);
    }

    const SettingsFile file;
    QString problem;
    QVariantMap values;
};

} // namespace

namespace SettingsStore {

QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    const Snapshot snapshot(application);
    const QVariant value = snapshot.values.value(keyPath(section, key));
    return snapshot.problem.isEmpty() && value.isValid() ? asText(value) : defaultText;
}

bool write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    return write(application, section, {{key, text}});
}

bool write(const QString &application, const QString &section,
           const QList<std::pair<QString, QString>> &keysAndTexts)
{
    const Snapshot snapshot(application);
    if (!snapshot.problem.isEmpty())
        return false;
    IniText text(snapshot.file.contents());
    QVariantMap expected = snapshot.values;
    for (const auto &[key, value] : keysAndTexts) {
        text.setValue(section, key, value);
        expected.insert(keyPath(section, key), value);
    }
    // The new text must read back as meant: the new values as written, every other one unchanged.
    const QByteArray candidate = text.bytes();
    const std::optional<QVariantMap> readBack = parsed(candidate);
    if (!readBack || *readBack != expected || !IniText(candidate).misreading(*readBack).isEmpty())
        return false;
    return snapshot.file.replace(candidate);
}

QString fileName(const QString &application)
{
    const QString path = filePath(application);
    const QString home = QDir::homePath();
    return path.startsWith(home + QLatin1Char('/')) ? QLatin1Char('~') + path.mid(home.size())
                                                    : path;
}

QString whyUnreadable(const QString &application)
{
    return Snapshot(application).problem;
}

} // namespace SettingsStore
