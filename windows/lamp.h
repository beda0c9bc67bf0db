// A round indicator lamp: a circle filled with its background colour.
#pragma once

#include <QWidget>

// The outline is one pixel in the palette's window-text colour. The colour says on or off to the
// eye; to a screen reader the lamp is an indicator whose name says it, "Channel 1 lamp, on".
class Lamp : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(quint32 backColor READ backColor WRITE setBackColor)

public:
    explicit Lamp(const QString &channel, QWidget *parent = nullptr);

    // 0x00BBGGRR, like every colour number the windows use.
    quint32 backColor() const { return m_backColor; }
    void setBackColor(quint32 colour);

    QSize sizeHint() const override;

signals:
    void switched(bool on); // the lamp went from off to on or back

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void describe();

    QString m_channel;
    quint32 m_backColor;
};
