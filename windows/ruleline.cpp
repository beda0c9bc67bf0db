#include "windows/ruleline.h"

#include "windows/colours.h"
#include "windows/twips.h"

#include <QPainter>

RuleLine::RuleLine(QWidget *parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RuleLine::setBorderColor(quint32 colour)
{
    if (colour == m_borderColor)
        return;
    m_borderColor = colour;
    update();
}

void RuleLine::setBorderWidth(int pixels)
{
    pixels = qMax(1, pixels);
    if (pixels == m_borderWidth)
        return;
    m_borderWidth = pixels;
    resize(width(), m_borderWidth);
    updateGeometry();
}

void RuleLine::setLine(int x1, int x2, int y)
{
    const int left = Twips::toPixels(qMin(x1, x2));
    const int right = Twips::toPixels(qMax(x1, x2));
    setGeometry(left, Twips::toPixels(y), right - left, m_borderWidth);
}

QSize RuleLine::sizeHint() const
{
    return {width(), m_borderWidth};
}

void RuleLine::paintEvent(QPaintEvent *)
{
    // Whole pixels along the axis: no antialiasing, which would blur the edge into a third shade.
    QPainter painter(this);
    painter.fillRect(QRect(0, 0, width(), m_borderWidth), Colours::toQColor(m_borderColor));
}
