#include "windows/messagebox.h"

#include "version.h"

namespace MessageBox {

void show(QWidget *parent, const QString &text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, QStringLiteral(TWINLINE_TITLE), text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("messageBox"));
    // The text may name a device path or carry a system's error description: never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace MessageBox
