// The colours the windows use, given as 0x00BBGGRR values as stored colour numbers are.
#pragma once

#include <QColor>

namespace Colours {

constexpr quint32 pureRed = 0x000000FF;
constexpr quint32 silver = 0x00C0C0C0;
constexpr quint32 white = 0x00FFFFFF;
constexpr quint32 black = 0x00000000;
constexpr quint32 grey = 0x00808080;

constexpr quint32 lampOn = pureRed;
constexpr quint32 lampOff = silver;

inline QColor toQColor(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

inline quint32 fromQColor(const QColor &colour)
{
    return quint32(colour.red()) | quint32(colour.green()) << 8 | quint32(colour.blue()) << 16;
}

} // namespace Colours
