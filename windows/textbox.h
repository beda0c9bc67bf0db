// A single-line text box whose background colour can be set and read back.
#pragma once

#include <QLineEdit>

class TextBox : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(quint32 backColor READ backColor WRITE setBackColor)

public:
    explicit TextBox(QWidget *parent = nullptr);

    // 0x00BBGGRR, like every colour number the windows use.
    quint32 backColor() const;
    void setBackColor(quint32 colour);
};
