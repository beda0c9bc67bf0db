#include "windows/lamp.h"

#include "windows/colours.h"

#include <QAccessibleWidget>
#include <QPainter>

namespace {

QAccessibleInterface *indicator(const QString &className, QObject *object)
{
    if (className != QLatin1String("Lamp") || !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Indicator);
}

} // namespace

Lamp::Lamp(const QString &channel, QWidget *parent)
    : QWidget(parent)
    , m_channel(channel)
    , m_backColor(Colours::lampOff)
{
    static const bool installed [[maybe_unused]] = (QAccessible::installFactory(indicator), true);
    describe();
    setFocusPolicy(Qt::NoFocus);
}

void Lamp::setBackColor(quint32 colour)
{
    if (colour == m_backColor)
        return;
    const bool wasOn = m_backColor == Colours::lampOn;
    m_backColor = colour;
    describe();
    update();
    if (wasOn != (colour == Colours::lampOn))
        emit switched(!wasOn);
}

void Lamp::describe()
{
    const QString state =
        m_backColor == Colours::lampOn ? QStringLiteral("on") : QStringLiteral("off");
    setAccessibleName(QStringLiteral("%1 lamp, %2").arg(m_channel, state));
    setAccessibleDescription(state);
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
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
