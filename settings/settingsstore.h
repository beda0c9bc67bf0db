// One reading of the per-user store of text values, and the keys written back to it.
#pragma once

#include "settings/settingsfile.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <utility>

// The values of application A live in $XDG_CONFIG_HOME/A/A.conf, normally ~/.config/A/A.conf
// (without HOME, in the password database's home folder), one INI group per section. Every value
// is text; readers convert. The file is read and parsed once, when a store is made: each event
// handler makes one and takes every value from it.
//
// People edit the file by hand, so only the lines of keys whose values change are written. A
// file that is no regular file, cannot be opened, is larger than 1 MiB, or whose text QSettings
// would misread is unreadable: reads give the defaults and nothing is written to it.
class SettingsStore
{
public:
    explicit SettingsStore(const QString &application);

    // The stored text, or defaultText when the key is missing or the file unreadable. A value
    // held in another form (a list, a typed value) comes back as text that is no number.
    QString read(const QString &section, const QString &key, const QString &defaultText) const;
    // The keys of a section with their texts; none when the file is unreadable.
    QMap<QString, QString> section(const QString &name) const;

    // Writes keys of one section in one replacement of the file: all of them or none. False
    // when the store could not be written; callers that must go on regardless ignore it.
    bool write(const QString &section, const QList<std::pair<QString, QString>> &keysAndTexts);

    const QString &path() const { return m_path; }
    QString fileName() const; // the path with the home folder shown as "~"
    // Why the file is unreadable, for example "it is a FIFO"; empty when it is not. A missing
    // file is not unreadable: it holds no values yet.
    const QString &whyUnreadable() const { return m_problem; }

private:
    QString m_home;
    QString m_path;
    std::optional<SettingsFile> m_file; // none without a home folder
    QString m_problem;
    QVariantMap m_values; // keyed "section/key"
};
