#include "settings/settingsstore.h"

#include "settings/initext.h"

#include <QFile>
#include <QStringList>

#include <pwd.h>

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

// Without HOME (a service, "env -i") the password database's, not "/" as Qt would have it.
QString homeFolder()
{
    if (!qEnvironmentVariableIsEmpty("HOME"))
        return QFile::decodeName(qgetenv("HOME"));
    const passwd *user = ::getpwuid(::getuid());
    return user && user->pw_dir && *user->pw_dir == '/' ? QFile::decodeName(user->pw_dir)
                                                        : QString();
}

} // namespace

SettingsStore::SettingsStore(const QString &application)
    : m_home(homeFolder())
{
    // A relative XDG_CONFIG_HOME is no folder of its own: the XDG base directory rules.
    const QString config = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    m_path = (config.startsWith(u'/') ? config : m_home + QStringLiteral("/.config"))
        + QStringLiteral("/%1/%1.conf").arg(application);
    if (!m_path.startsWith(u'/')) {
        m_problem = QStringLiteral("there is no home folder for user %1").arg(::getuid());
        return;
    }
    m_file.emplace(m_path);
    m_problem = m_file->problem();
    if (!m_problem.isEmpty() || !m_file->exists())
        return;
    const std::optional<QVariantMap> read = IniText::parsed(m_file->contents());
    m_values = read.value_or(QVariantMap());
    m_problem = read ? IniText(m_file->contents()).misreading(m_values)
                     : QStringLiteral("it cannot be read in memory without /proc");
}

QString SettingsStore::read(const QString &section, const QString &key,
                            const QString &defaultText) const
{
    const QVariant value = m_values.value(section + u'/' + key);
    return m_problem.isEmpty() && value.isValid() ? asText(value) : defaultText;
}

QMap<QString, QString> SettingsStore::section(const QString &name) const
{
    QMap<QString, QString> keys;
    const QString prefix = name + u'/';
    for (auto it = m_values.lowerBound(prefix); it != m_values.end() && it.key().startsWith(prefix);
         ++it)
        keys.insert(it.key().mid(prefix.size()), read(name, it.key().mid(prefix.size()), {}));
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
        if (m_values.value(section + u'/' + key) == QVariant(value))
            continue; // the line stays as the user wrote it
        text.setValue(section, key, value);
        expected.insert(section + u'/' + key, value);
    }
    // The new text must read back as meant: the new values as written, every other one unchanged.
    const QByteArray candidate = text.bytes();
    const std::optional<QVariantMap> readBack = IniText::parsed(candidate);
    if (!readBack || *readBack != expected || !IniText(candidate).misreading(*readBack).isEmpty()
        || !m_file->replace(candidate))
        return false;
    m_values = expected;
    return true;
}

QString SettingsStore::fileName() const
{
    return m_path.startsWith(m_home + u'/') ? u'~' + m_path.mid(m_home.size()) : m_path;
}
