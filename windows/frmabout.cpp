#include "windows/frmabout.h"

#include "app/platform.h"
#include "settings/conversions.h"
#include "version.h"
#include "windows/colours.h"
#include "windows/frmmain.h"
#include "windows/messagebox.h"
#include "windows/ruleline.h"
#include "windows/twips.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include <stdexcept>

namespace {

QLabel *label(QWidget *parent, const char *name, const QString &text, const QRect &twips,
              Qt::Alignment horizontal = Qt::AlignLeft)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(Twips::rect(twips.x(), twips.y(), twips.width(), twips.height()));
    // Text starts at the top of the label, as the rows of the box are laid out by their tops.
    label->setAlignment(horizontal | Qt::AlignTop);
    return label;
}

// Where the theme's background is dark, black would not read on it: the theme's own text colour
// stays.
void setTextColour(QLabel *label, quint32 colour)
{
    QPalette palette = label->palette();
    if (palette.color(QPalette::Window).lightness() < 128)
        return;
    palette.setColor(QPalette::WindowText, Colours::toQColor(colour));
    label->setPalette(palette);
}

} // namespace

frmAbout::frmAbout(QWidget *parent)
    : QDialog(parent,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Version Info."));
    setWindowIcon(QIcon(QStringLiteral(":/twinline.png")));
    setFixedWindowSize(this, {Twips::toPixels(4440), Twips::toPixels(2070)});
    buildControls();
    load();
}

void frmAbout::buildControls()
{
    m_picIcon = label(this, "picIcon", QString(), {120, 240, 540, 540});
    m_picIcon->setAlignment(Qt::AlignCenter);
    // A two-pixel sunken border around the 32 x 32 icon fills the 36 x 36 box exactly.
    m_picIcon->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    m_picIcon->setPixmap(QPixmap(QStringLiteral(":/twinline.png")));

    m_lblTitle = label(this, "lblTitle", QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝ ﾀｲﾄﾙ"), {780, 120, 1065, 225});
    setTextColour(m_lblTitle, Colours::black);
    m_lblVersion = label(this, "lblVersion", QStringLiteral("ﾊﾞｰｼﾞｮﾝ"), {1860, 120, 2055, 225});
    m_lblDescription =
        label(this, "lblDescription", QStringLiteral("ｱﾌﾟﾘｹｰｼｮﾝの説明"), {780, 420, 3585, 270});
    setTextColour(m_lblDescription, Colours::black);
    m_readme = label(this, "readme", QStringLiteral("Readme.txt"), {780, 780, 3615, 255});

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setGeometry(Twips::rect(1380, 1200, 1380, 345));
    m_cmdOK->setDefault(true);
    connect(m_cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

    m_copyright = label(this, "copyright", QStringLiteral("copyright"), {120, 1680, 4155, 255},
                        Qt::AlignRight);

    // The etched rule: a two-pixel white line with a one-pixel grey one over its upper half.
    // Index 1 is made second so that it lies on top.
    const quint32 colours[2] = {Colours::white, Colours::grey};
    const int widths[2] = {2, 1};
    for (int index = 0; index < 2; ++index) {
        auto *line = new RuleLine(this);
        line->setObjectName(QStringLiteral("Line1"));
        line->setProperty("index", index);
        line->setBorderColor(colours[index]);
        line->setBorderWidth(widths[index]);
        line->setLine(0, 4380, 1140);
    }

    // Only the button takes the focus, but the chain keeps the box's own order for everything.
    setTabOrder(m_cmdOK, m_picIcon);
    setTabOrder(m_picIcon, m_lblDescription);
    setTabOrder(m_lblDescription, m_lblTitle);
    setTabOrder(m_lblTitle, m_lblVersion);
    setTabOrder(m_lblVersion, m_copyright);
    setTabOrder(m_copyright, m_readme);
    m_cmdOK->setFocus();
}

void frmAbout::load()
{
    // The first failure abandons the remaining steps; the box opens with what was set so far.
    try {
        const auto *main = qobject_cast<const frmMain *>(parentWidget());
        if (!main)
            throw std::logic_error("the about box has no main window to place itself by");
        move(main->dialogCorner().x(), y());
        move(x(), main->dialogCorner().y());
        setWindowTitle(QStringLiteral(TWINLINE_TITLE " Version Info."));
        m_lblVersion->setText(QStringLiteral("Ver. %1.%2.%3")
                                  .arg(Conversions::plainDecimal(TWINLINE_VERSION_MAJOR),
                                       Conversions::plainDecimal(TWINLINE_VERSION_MINOR),
                                       Conversions::plainDecimal(TWINLINE_VERSION_PATCH)));
        m_lblTitle->setText(QStringLiteral(TWINLINE_TITLE));
        m_lblDescription->setText(QStringLiteral("Remote Commport Control Program"));
        m_readme->setText(QStringLiteral("HELP File is [ Readme.txt ]"));
        m_copyright->setText(QStringLiteral("Copyright (C) 2026 The Twinline developers"));
    } catch (const std::exception &) {
        MessageBox::show(parentWidget(), QStringLiteral("frmAbout.Form_Load Error"));
    }
}

void frmAbout::showModal(frmMain *main)
{
    // Deletes itself on closing; exec() returns only after that.
    auto *box = new frmAbout(main);
    box->exec();
}

void frmAbout::keyPressEvent(QKeyEvent *event)
{
    // Esc presses OK, just as Enter does, rather than cancelling: the box has nothing to cancel.
    if (event->matches(QKeySequence::Cancel)) {
        m_cmdOK->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmAbout::cmdOK_Click()
{
    try {
        accept();
    } catch (const std::exception &) {
        MessageBox::show(this, QStringLiteral("frmAbout.cmdOK_Click Error"));
    }
}
