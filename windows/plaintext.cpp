#include "windows/plaintext.h"

#include <QTextDocument>

QString plainToolTip(const QString &text)
{
    // A tooltip is rich text when it looks like rich text; then it must be rich text that says
    // exactly this, line breaks and runs of blanks included.
    if (!Qt::mightBeRichText(text))
        return text;
    return QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(text.toHtmlEscaped());
}
