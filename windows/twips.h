// Window geometry is kept in twips, 1440 to the inch: 15 twips to a pixel at 96 dots per inch.
#pragma once

#include <QRect>
#include <QtMath>

namespace Twips {

inline constexpr int perPixel = 15;

inline int toPixels(double twips)
{
    return qRound(twips / perPixel);
}

inline double fromPixels(int pixels)
{
    return double(pixels) * perPixel;
}

// A design-time rectangle: left, top, width, height in twips.
inline QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

} // namespace Twips
