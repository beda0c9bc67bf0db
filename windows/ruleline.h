// A straight horizontal line drawn on a window: two of them etch the rule in the about box.
#pragma once

#include <QWidget>

// The line is the widget: it runs along the widget's length and its thickness lies inside the
// widget, from the top edge down, so a line never paints outside the rectangle it was given.
// Lines are decoration only: they take neither the focus nor the mouse.
class RuleLine : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(quint32 borderColor READ borderColor WRITE setBorderColor)
    Q_PROPERTY(int borderWidth READ borderWidth WRITE setBorderWidth)

public:
    explicit RuleLine(QWidget *parent = nullptr);

    // 0x00BBGGRR, like every colour number the windows use.
    quint32 borderColor() const { return m_borderColor; }
    void setBorderColor(quint32 colour);

    // The thickness in pixels; the widget's height follows it.
    int borderWidth() const { return m_borderWidth; }
    void setBorderWidth(int pixels);

    // Places the line from (x1, y) to (x2, y), in twips from the parent's client corner. The end
    // point itself is left out, so lines that meet end to end do not overlap.
    void setLine(int x1, int x2, int y);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    quint32 m_borderColor = 0;
    int m_borderWidth = 1;
};
