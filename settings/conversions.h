// Conversions between stored or shown texts and the numbers the program works with.
#pragma once

#include <QLocale>
#include <QString>

#include <stdexcept>

// A text that should hold a number but does not, or holds one out of range; source says where
// the text was found, for example "Top in /home/u/.config/Twinline/Twinline.conf".
class ConversionError : public std::runtime_error
{
public:
    explicit ConversionError(const QString &text, const QString &source = QString());
};

namespace Conversions {

// A window coordinate in twips, read with the locale's number rules or as any locale's stored
// form (fromSingle()); native digits are read too.
float toSingle(const QString &text, const QLocale &locale = QLocale());

// A 16-bit integer; a fraction rounds to the nearest whole number, a half to the even one.
qint16 toInteger16(const QString &text, const QLocale &locale = QLocale());

// The stored form: up to 7 significant digits 0-9 with the locale's decimal separator, no blank
// and no grouping.
QString fromSingle(float value, const QLocale &locale = QLocale());

// "3" and "-3".
QString plainDecimal(int value);

// " 3" and "-3": a blank stands where a minus sign would.
QString decimalWithSignPosition(int value);

} // namespace Conversions
