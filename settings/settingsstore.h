// One reading of the per-user store of text values: the values, and the keys written back.
#pragma once

#include "settings/settingsfile.h"

#include <QList>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <utility>

// The values of application A live in $XDG_CONFIG_HOME/A/A.conf (normally ~/.config/A/A.conf;
// without HOME, in the home folder the password database gives), one INI group per section.
// Every value is text; readers convert.
//
// A store reads and parses the file once, when it is made: each event handler makes one and
// takes every value from it, so a large file costs one reading per handler, not one per key.
//
// People edit that file by hand, so the store never changes more of it than the keys whose
// values change: comments, order, unknown sections and keys and their bytes stay as they are. A
// file that is no regular file, cannot be opened, is larger than 1 MiB, or whose text QSettings
// would misread counts as unreadable: then reads give the defaults and nothing is written to it.
class SettingsStore
{
public:
    explicit SettingsStore(const QString &application);

    // The stored text, or defaultText when the key or section does not exist, or when the file
    // is unreadable. A value that the file holds in another form (a list, a typed value) comes
    // back as text that is not a number, so a reader that converts it reports an error.
    QString read(const QString &section, const QString &key, const QString &defaultText) const;
    // The keys of a section and their texts; none when the file is unreadable.
    QMap<QString, QString> section(const QString &name) const;

    // Writes several keys of one section in one replacement of the file: all of them or none.
    // False when the store could not be written; callers that must go on regardless ignore it.
    bool write(const QString &section, const QList<std::pair<QString, QString>> &keysAndTexts);

    // The file, and the same with the home folder shown as "~".
    const QString &path() const { return m_path; }
    QString fileName() const;
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
