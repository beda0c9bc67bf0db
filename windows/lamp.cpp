#include "windows/lamp.h"

#include "windows/colours.h"

#include <QAccessible>
#include <QPainter>

Lamp::Lamp(const QString &accessibleName, QWidget *parent)
    : QWidget(parent)
    , m_backColor(Colours::lampOff)
{
    setAccessibleName(accessibleName);
    setAccessibleDescription(QStringLiteral("off"));
    setFocusPolicy(Qt::NoFocus);
}

void Lamp::setBackColor(quint32 colour)
{
    if (colour == m_backColor)
        return;
    m_backColor = colour;
    setAccessibleDescription(colour == Colours::lampOn ? QStringLiteral("on")
                                                       : QStringLiteral("off"));
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
    update();
}

QSize Lamp::sizeHint() const
{
    return {25, 25};
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1));
    painter.setBrush(Colours::toQColor(m_backColor));
    // Half a pixel in, so the one-pixel outline lies on whole pixels inside the widget.
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
