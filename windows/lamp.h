// A round indicator lamp: a circle filled with its background colour.
#pragma once

#include <QWidget>

// The outline is one pixel in the palette's window-text colour. The colour says on or off to the
// eye; the accessible description says it to a screen reader.
class Lamp : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(quint32 backColor READ backColor WRITE setBackColor)

public:
    explicit Lamp(const QString &accessibleName, QWidget *parent = nullptr);

    // 0x00BBGGRR, like every colour number the windows use.
    quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 colour);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_backColor;
};
