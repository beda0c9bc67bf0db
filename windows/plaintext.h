// Texts from outside the program (device paths, error descriptions) shown exactly as they are.
#pragma once

#include <QString>

// Returns a tooltip that shows `text` literally, even where Qt would take it for rich text.
QString plainToolTip(const QString &text);
