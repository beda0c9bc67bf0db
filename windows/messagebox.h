// The program's message boxes: the application title, the message, and only an OK button.
#pragma once

#include <QMessageBox>

namespace MessageBox {

// Shows the box modally and returns when the user has pressed OK.
void show(QWidget *parent, const QString &text, QMessageBox::Icon icon = QMessageBox::NoIcon);

} // namespace MessageBox
