#include "settings/conversions.h"

#include <cmath>
#include <limits>

ConversionError::ConversionError(const QString &text)
    : std::runtime_error(
        QStringLiteral("Not a usable number: \"%1\"")
            .arg(text.left(40) + (text.size() > 40 ? QStringLiteral("…") : QString()))
            .toStdString())
{ }

namespace {

double toFiniteDouble(const QString &text, const QLocale &locale)
{
    bool ok = false;
    const double value = locale.toDouble(text.trimmed(), &ok);
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
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    return plain.toString(double(value), 'g', 7);
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
