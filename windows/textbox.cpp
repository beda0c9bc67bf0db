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
    // Every group, so the colour reads and shows the same whether or not the window is active.
    colours.setColor(QPalette::Base, Colours::toQColor(colour));
    // Black reads on both of the box's colours, white and red; a dark theme's light text would not.
    colours.setColor(QPalette::Text, Colours::toQColor(Colours::black));
    setPalette(colours);
}
