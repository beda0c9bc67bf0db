#include "settings/settingsstore.h"

#include "app/uniquefd.h"
#include "settings/initext.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace {

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

// Without HOME and XDG_CONFIG_HOME (a service, "env -i") the home folder is the password
// database's, as other desktop programs have it, not the root folder Qt would use.
bool fromEnvironment()
{
    return !qEnvironmentVariableIsEmpty("HOME") || !qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME");
}

QString homeFolder()
{
    if (fromEnvironment())
        return QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    const passwd *user = ::getpwuid(::getuid());
    return user && user->pw_dir && *user->pw_dir == '/' ? QFile::decodeName(user->pw_dir)
                                                        : QString();
}

// What QSettings' own INI reader reads from these bytes, keyed "section/key". QSettings reads
// only files: here a file in memory, so nothing lands in $TMPDIR or can fail for want of room.
std::optional<QVariantMap> parsed(const QByteArray &bytes)
{
    const UniqueFd fd(::memfd_create("settings", MFD_CLOEXEC));
    if (!fd.isValid() || ::write(fd.get(), bytes.constData(), size_t(bytes.size())) != bytes.size())
        return std::nullopt;
    // QSettings reuses what it read of a path while the file's size and time stay, and the next
    // memory file gets the same path: give each one a time of its own.
    static qint64 readings = 0;
    const timespec times[2] = {{0, UTIME_OMIT}, {++readings, 0}};
    ::futimens(fd.get(), times);
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd.get());
    const QSettings settings(path, QSettings::IniFormat);
    QVariantMap values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key));
    if (!QFile::exists(path) || settings.status() == QSettings::AccessError)
        return std::nullopt; // no /proc
    return values;
}

} // namespace

SettingsStore::SettingsStore(const QString &application)
    : m_home(homeFolder())
{
    const QString name =
        QLatin1Char('/') + application + QLatin1Char('/') + application + QLatin1String(".conf");
    if (m_home.isEmpty()) {
        m_path = QStringLiteral("~/.config") + name;
        m_problem = QStringLiteral("there is no home folder for user %1").arg(::getuid());
        return;
    }
    m_path =
        (fromEnvironment() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                           : m_home + QStringLiteral("/.config"))
        + name;
    m_file.emplace(m_path);
    m_problem = m_file->problem();
    if (!m_problem.isEmpty() || !m_file->exists())
        return;
    const std::optional<QVariantMap> read = parsed(m_file->contents());
    if (!read) {
        m_problem = QStringLiteral("it cannot be read in memory without /proc");
        return;
    }
    m_values = *read;
    m_problem = IniText(m_file->contents()).misreading(m_values);
}

QString SettingsStore::read(const QString &section, const QString &key,
                            const QString &defaultText) const
{
    const QVariant value = m_values.value(section + QLatin1Char('/') + key);
    return m_problem.isEmpty() && value.isValid() ? asText(value) : defaultText;
}

QMap<QString, QString> SettingsStore::section(const QString &name) const
{
    QMap<QString, QString> keys;
    const QString prefix = name + QLatin1Char('/');
    for (auto it = m_values.lowerBound(prefix);
         m_problem.isEmpty() && it != m_values.end() && it.key().startsWith(prefix); ++it)
        keys.insert(it.key().mid(prefix.size()), asText(it.value()));
    return keys;
}

bool SettingsStore::write(const QString &section,
                          const QList<std::pair<QString, QString>> &keysAndTexts)
{
    if (!m_problem.isEmpty())
        return false;
    IniText text(m_file->contents());
    QVariantMap expected = m_values;
    for (const auto &[key, value] : keysAndTexts) {
        const QString path = section + QLatin1Char('/') + key;
        if (m_values.value(path) == QVariant(value))
            continue; // the line stays as the user wrote it
        text.setValue(section, key, value);
        expected.insert(path, value);
    }
    // The new text must read back as meant: the new values as written, every other one unchanged.
    const QByteArray candidate = text.bytes();
    const std::optional<QVariantMap> readBack = parsed(candidate);
    if (!readBack || *readBack != expected || !IniText(candidate).misreading(*readBack).isEmpty()
        || !m_file->replace(candidate))
        return false;
    m_values = expected;
    return true;
}

QString SettingsStore::fileName() const
{
    return m_path.startsWith(m_home + QLatin1Char('/'))
        ? QLatin1Char('~') + m_path.mid(m_home.size())
        : m_path;
}
