// The per-user store of text values, addressed by application, section and key.
#pragma once

#include <QList>
#include <QString>

#include <utility>

// On Linux the values of application A live in $XDG_CONFIG_HOME/A/A.conf (normally
// ~/.config/A/A.conf), one INI group per section. Every value is text; readers convert.
//
// People edit that file by hand, so the store never changes more of it than the keys it writes:
// comments, order, unknown sections and keys and their bytes stay as they are. A file that is no
// regular file, cannot be opened, is larger than 1 MiB, or whose text QSettings would misread
// counts as unreadable: then reads give the defaults and nothing is written to it.
namespace SettingsStore {

// The stored text, or defaultText when the key, section or application does not exist, or when
// the file is unreadable. A value that the file holds in another form (a list, a typed value)
// comes back as text that is not a number, so a reader that converts it reports a conversion
// error instead of guessing.
QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText);

// Creates the application, section and key as needed and replaces any earlier value. Returns
// false when the store could not be written; callers that must go on regardless ignore it.
bool write(const QString &application, const QString &section, const QString &key,
           const QString &text);

// Writes several keys of one section in one replacement of the file: all of them or none.
bool write(const QString &application, const QString &section,
           const QList<std::pair<QString, QString>> &keysAndTexts);

// The file that holds the application's values, with the home folder shown as "~".
QString fileName(const QString &application);

// Why the file is unreadable, for example "it is a FIFO"; empty when it is not. A missing file
// is not unreadable: it holds no values yet.
QString whyUnreadable(const QString &application);

} // namespace SettingsStore
