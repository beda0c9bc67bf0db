#include "settings/settingsstore.h"

#include <QSettings>
#include <QStringList>

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

} // namespace

namespace SettingsStore {

QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText)
{
    const QSettings store(QSettings::NativeFormat, QSettings::UserScope, application, application);
    const QVariant value = store.value(keyPath(section, key));
    return value.isValid() ? asText(value) : defaultText;
}

bool write(const QString &application, const QString &section, const QString &key,
           const QString &text)
{
    {
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, application, application);
        store.setValue(keyPath(section, key), text);
        store.sync();
        if (store.status() != QSettings::FormatError)
            return store.status() == QSettings::NoError;
    }
    // The file held something QSettings could not parse (binary junk, say). It has been
    // replaced by what could be read of it plus the new value; make sure that value is there.
    const QSettings check(QSettings::NativeFormat, QSettings::UserScope, application, application);
    return check.value(keyPath(section, key)).toString() == text;
}

} // namespace SettingsStore
