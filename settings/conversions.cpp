#include "settings/conversions.h"

#include <cmath>
#include <limits>

ConversionError::ConversionError(const QString &text, const QString &source)
    : std::runtime_error(
        (source.isEmpty() ? QStringLiteral("Not a usable number: \"%1\"")
                          : source + QStringLiteral(" is not a usable number: \"%1\""))
            .arg(text.left(40) + (text.size() > 40 ? QStringLiteral("…") : QString()))
            .toStdString())
{ }

namespace {

// The stored form with the digits 0-9 and whichever decimal separator the writing locale had, or
// with the native digits that versions before this one wrote. Whatever else a locale's rules
// allow (grouping) is left to them.
bool fromStoredForm(const QString &text, double *value)
{
    QString plain;
    plain.reserve(text.size());
    for (const QChar c : text) {
        if (c.isDigit())
            plain += QChar(u'0' + c.digitValue());
        else if (c == u'.' || c == u',' || c == u'\u066b') // Arabic decimal separator
            plain += u'.';
        else if (c == u'-' || c == u'\u2212') // minus sign
            plain += u'-';
        else if (c == u'+' || c == u'e' || c == u'E')
            plain += c;
        else if (c.category() != QChar::Other_Format) // direction marks around a sign
            return false;
    }
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator);
    bool ok = false;
    *value = c.toDouble(plain, &ok);
    return ok;
}

double toFiniteDouble(const QString &text, const QLocale &locale)
{
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = locale.toDouble(trimmed, &ok);
    if (!ok)
        ok = fromStoredForm(trimmed, &value);
    if (!ok || !std::isfinite(value))
        throw ConversionError(text);
    return value;
}

} // namespace

namespace Conversions {

float toSingle(const QString &text, const QLocale &locale)
{
    const double value = toFiniteDouble(text, locale);
    if (std::fabs(value) > double(std::numeric_limits<float>::max()))
        throw ConversionError(text);
    return float(value);
}

qint16 toInteger16(const QString &text, const QLocale &locale)
{
    // nearbyint() rounds half to even in the default rounding mode.
    const double rounded = std::nearbyint(toFiniteDouble(text, locale));
    if (rounded < std::numeric_limits<qint16>::min()
        || rounded > std::numeric_limits<qint16>::max())
        throw ConversionError(text);
    return qint16(rounded);
}

QString fromSingle(float value, const QLocale &locale)
{
    // Digits 0-9 whatever the locale, so that any locale reads the text back.
    QString text = QLocale::c().toString(double(value), 'g', 7);
    return text.replace(QLatin1Char('.'), locale.decimalPoint());
}

QString plainDecimal(int value)
{
    return QString::number(value);
}

QString decimalWithSignPosition(int value)
{
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

} // namespace Conversions
