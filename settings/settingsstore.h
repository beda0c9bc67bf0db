// The per-user store of text values, addressed by application, section and key.
#pragma once

#include <QString>

// On Linux the values of application A live in $XDG_CONFIG_HOME/A/A.conf (normally
// ~/.config/A/A.conf), one INI group per section. Every value is text; readers convert.
namespace SettingsStore {

// The stored text, or defaultText when the key, section or application does not exist. A value
// that the file holds in another form (a list, a typed value) comes back as text that is not a
// number, so a reader that converts it reports a conversion error instead of guessing.
QString read(const QString &application, const QString &section, const QString &key,
             const QString &defaultText);

// Creates the application, section and key as needed and replaces any earlier value. Returns
// false when the store could not be written; callers that must go on regardless ignore it.
bool write(const QString &application, const QString &section, const QString &key,
           const QString &text);

} // namespace SettingsStore
