#include "windows/textbox.h"

#include "windows/colours.h"

TextBox::TextBox(QWidget *parent)
    : QLineEdit(parent)
{
    setBackColor(Colours::white);
}

quint32 TextBox::backColor() const
{
    return Colours::fromQColor(palette().color(QPalette::Base));
}

void TextBox::setBackColor(quint32 colour)
{
    QPalette colours = palette();
    // Both groups, so the colour does not fade when the window loses the focus.
    colours.setColor(QPalette::Active, QPalette::Base, Colours::toQColor(colour));
    colours.setColor(QPalette::Inactive, QPalette::Base, Colours::toQColor(colour));
    setPalette(colours);
}
