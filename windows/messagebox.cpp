#include "windows/messagebox.h"

#include "version.h"

namespace MessageBox {

void show(QWidget *parent, const QString &text, QMessageBox::Icon icon)
{
    QMessageBox box(icon, QStringLiteral(TWINLINE_TITLE), text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("messageBox"));
    box.exec();
}

} // namespace MessageBox
