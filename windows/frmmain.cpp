#include "windows/frmmain.h"

#include "app/module1.h"
#include "app/platform.h"
#include "app/skiponerror.h"
#include "serial/mscomm.h"
#include "settings/conversions.h"
#include "settings/settingsstore.h"
#include "version.h"
#include "windows/colours.h"
#include "windows/commandbutton.h"
#include "windows/frmabout.h"
#include "windows/frmcomm.h"
#include "windows/lamp.h"
#include "windows/messagebox.h"
#include "windows/momentarybutton.h"
#include "windows/plaintext.h"
#include "windows/textbox.h"
#include "windows/twips.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QStringList>
#include <QTextDocumentFragment>

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace {

const QString application = QStringLiteral(TWINLINE_TITLE);
const QString properties = QStringLiteral("Properties");

// The number stored under key; a text that is none is named with its key and file.
template<typename Number>
Number storedNumber(const SettingsStore &settings, const QString &key, const QString &defaultText,
                    Number (*convert)(const QString &, const QLocale &))
{
    const QString text = settings.read(properties, key, defaultText);
    try {
        return convert(text, QLocale());
    } catch (const ConversionError &) {
        throw ConversionError(text, key + QStringLiteral(" in ") + settings.path());
    }
}

template<typename Widget>
Widget *place(Widget *widget, const char *name, const QRect &twips)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(Twips::rect(twips.x(), twips.y(), twips.width(), twips.height()));
    return widget;
}

} // namespace

frmMain::frmMain(QWidget *parent)
    : frmMain(PortNumbering(), PortGuard(), parent)
{ }

frmMain::frmMain(PortNumbering numbering, PortGuard guard, QWidget *parent)
    : QMainWindow(parent,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                      | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
    , m_numbering(std::move(numbering))
    , m_comm(new MSComm(std::move(guard), this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral(TWINLINE_TITLE));
    setWindowIcon(QIcon(QStringLiteral(":/twinline.png")));
    buildControls();
    buildMenu();
    connectChannels();
    // Queued: a line write that finds the device gone is still inside a channel command, whose
    // remaining steps must run before the channels are idled.
    connect(m_comm, &MSComm::deviceLost, this, &frmMain::portLost, Qt::QueuedConnection);

    // Design-time placement: a 3165 x 1440 client area below the menu bar, at 240, 810.
    const int menuHeight = menuBar()->sizeHint().height();
    const QSize size(Twips::toPixels(3165), Twips::toPixels(1440) + menuHeight);
    setFixedWindowSize(this, size);
    setGeometry(QRect(QPoint(Twips::toPixels(240), Twips::toPixels(810) - menuHeight), size));

    load();
}

frmMain::~frmMain()
{
    // Destroying the children ends a Tilt hold, and its release must not toggle a channel of a
    // window that is half gone.
    m_btnCH1Tilt->disconnect(this);
    m_btnCH2Tilt->disconnect(this);
}

void frmMain::buildControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    m_text1 = place(new TextBox(client), "Text1", {120, 0, 2295, 270});
    m_btnCH1 = place(new CommandButton(QStringLiteral("CH 1  On/Off"), client), "btnCH1",
                     {120, 360, 1575, 375});
    m_btnCH1Tilt = place(new MomentaryButton(QStringLiteral("Tilt"), client), "btnCH1_tilt",
                         {1680, 360, 735, 375});
    m_monCH1 =
        place(new Lamp(QStringLiteral("Channel 1"), client), "monCH1", {2640, 360, 375, 375});
    m_btnCH2 = place(new CommandButton(QStringLiteral("CH 2  On/Off"), client), "btnCH2",
                     {120, 840, 1575, 375});
    m_btnCH2Tilt = place(new MomentaryButton(QStringLiteral("Tilt"), client), "btnCH2_tilt",
                         {1680, 840, 735, 375});
    m_monCH2 =
        place(new Lamp(QStringLiteral("Channel 2"), client), "monCH2", {2640, 840, 375, 375});

    // A screen reader names each control with its channel and reads a channel's state from its
    // lamp and its On/Off button; the captions stay as they are.
    m_text1->setAccessibleName(QStringLiteral("Port status"));
    for (auto [number, onOff, tilt, lamp] : {std::tuple(1, m_btnCH1, m_btnCH1Tilt, m_monCH1),
                                             std::tuple(2, m_btnCH2, m_btnCH2Tilt, m_monCH2)}) {
        onOff->setAccessibleName(QStringLiteral("On/Off, channel %1").arg(number));
        tilt->setAccessibleName(QStringLiteral("Tilt, channel %1").arg(number));
        tilt->setAccessibleDescription(
            QStringLiteral(
                "Mouse only: channel %1 is inverted while a mouse button holds this down")
                .arg(number));
        const auto describe = [onOff, number](bool on) {
            onOff->setAccessibleDescription(
                QStringLiteral("Channel %1 is %2")
                    .arg(number)
                    .arg(on ? QStringLiteral("on") : QStringLiteral("off")));
            QAccessibleEvent event(onOff, QAccessible::DescriptionChanged);
            QAccessible::updateAccessibility(&event);
        };
        describe(false);
        connect(lamp, &Lamp::switched, onOff, describe);
    }

    // The Tilt buttons overlap their On/Off button by a pixel; they lie on top.
    m_btnCH1Tilt->raise();
    m_btnCH2Tilt->raise();

    setTabOrder(m_btnCH1, m_btnCH1Tilt);
    setTabOrder(m_btnCH1Tilt, m_btnCH2);
    setTabOrder(m_btnCH2, m_btnCH2Tilt);
    setTabOrder(m_btnCH2Tilt, m_text1);
    m_btnCH1->setFocus();
}

// Both channels work alike: the On/Off button toggles on a click (mouse, Space or Enter), the
// Tilt button toggles when a mouse button goes down on it and again when it comes up.
void frmMain::connectChannels()
{
    connect(m_btnCH1, &QPushButton::clicked, this, [this] { toggleChannel(1); });
    connect(m_btnCH1Tilt, &MomentaryButton::mousePressed, this, [this] { tilt(1, true); });
    connect(m_btnCH1Tilt, &MomentaryButton::mouseReleased, this, [this] { tilt(1, false); });
    connect(m_btnCH2, &QPushButton::clicked, this, [this] { toggleChannel(2); });
    connect(m_btnCH2Tilt, &MomentaryButton::mousePressed, this, [this] { tilt(2, true); });
    connect(m_btnCH2Tilt, &MomentaryButton::mouseReleased, this, [this] { tilt(2, false); });
}

// A hold that began while a pulse ran on its channel does nothing, its release included.
void frmMain::tilt(int channel, bool pressed)
{
    bool &held = m_tiltHeld[channel - 1];
    if (pressed)
        held = !m_pulsing[channel - 1];
    if (std::exchange(held, held && pressed))
        toggleChannel(channel);
}

QString frmMain::refusal(int channel) const
{
    if (m_text1->backColor() == Colours::pureRed) {
        QString why = m_text1->toolTip();
        if (Qt::mightBeRichText(why))
            why = QTextDocumentFragment::fromHtml(why).toPlainText();
        return QStringLiteral("Com port open Error!: ") + why.replace(u'\n', QStringLiteral("; "));
    }
    if (channel && m_tiltHeld[channel - 1])
        return QStringLiteral("Tilt is held down on CH %1.").arg(channel);
    if (channel && m_pulsing[channel - 1])
        return QStringLiteral("A pulse is running on CH %1.").arg(channel);
    return {};
}

// Channel 1 is RTS, channel 2 is DTR. The flag and the lamp follow every command, even when the
// line could not be changed: the lamp shows what the program believes, and nothing is reported.
QString frmMain::toggleChannel(int channel)
{
    if (m_text1->backColor() == Colours::pureRed)
        return {}; // the error state: change nothing at all

    const bool first = channel == 1;
    BoolWord &flag = first ? Module1::flgCH1 : Module1::flgCH2;
    Lamp *lamp = first ? m_monCH1 : m_monCH2;

    SkipOnError steps;
    steps([&] {
        if (first)
            m_comm->setRTSEnable(!m_comm->rtsEnable());
        else
            m_comm->setDTREnable(!m_comm->dtrEnable());
    });
    steps([&] { flag = BoolWord(~flag); });
    steps([&] { lamp->setBackColor(flag ? Colours::lampOn : Colours::lampOff); });
    emit channelChanged(channel, flag != wordFalse);
    return steps.lastError();
}

void frmMain::buildMenu()
{
    m_mnuFiles = menuBar()->addMenu(QStringLiteral("Files(&F)"));
    m_mnuFiles->setObjectName(QStringLiteral("mnuFiles"));
    m_mnuOption = m_mnuFiles->addAction(QStringLiteral("Option(&O)"));
    m_mnuOption->setObjectName(QStringLiteral("mnuOption"));
    m_mnuAbout = m_mnuFiles->addAction(QStringLiteral("About(&A)"));
    m_mnuAbout->setObjectName(QStringLiteral("mnuAbout"));
    connect(m_mnuOption, &QAction::triggered, this, &frmMain::mnuOption_Click);
    connect(m_mnuAbout, &QAction::triggered, this, &frmMain::mnuAbout_Click);
}

void frmMain::mnuOption_Click()
{
    try {
        frmComm::showModal(this);
    } catch (const std::exception &) {
        MessageBox::show(this, QStringLiteral("mnuOption Error"));
    }
}

void frmMain::mnuAbout_Click()
{
    try {
        frmAbout::showModal(this);
    } catch (const std::exception &) {
        MessageBox::show(this, QStringLiteral("mnuAbout Error"));
    }
}

void frmMain::load()
{
    // Any failure abandons the remaining steps: the window keeps what was set so far.
    QString failure;
    try {
        setWindowTitle(QStringLiteral(TWINLINE_TITLE " Ver.%1.%2.%3")
                           .arg(Conversions::plainDecimal(TWINLINE_VERSION_MAJOR),
                                Conversions::plainDecimal(TWINLINE_VERSION_MINOR),
                                Conversions::plainDecimal(TWINLINE_VERSION_PATCH)));
        // Every value of start-up comes from this one reading of the settings.
        SettingsStore settings(application);
        m_comm->setPorts(m_numbering.map(settings)); // one that refuses when it is unreadable
        if (const QString refusal = m_comm->ports()->refusal(); !refusal.isEmpty())
            throw std::runtime_error(refusal.toStdString());
        // An adapter plugged in since the last run gets its number before any port is opened.
        m_comm->setPorts(m_numbering.numberNewAdapters(settings));
        placeEdge(storedNumber(settings, QStringLiteral("Top"), QStringLiteral("200"),
                               Conversions::toSingle),
                  Qt::Vertical);
        placeEdge(storedNumber(settings, QStringLiteral("Left"), QStringLiteral("200"),
                               Conversions::toSingle),
                  Qt::Horizontal);
        m_outerSize = QSize(Twips::toPixels(3250), Twips::toPixels(2100));
        fitFrame();

        if (!settings.read(properties, QStringLiteral("CommPort"), QString()).isEmpty())
            m_comm->setCommPort(storedNumber(settings, QStringLiteral("CommPort"), QString(),
                                             Conversions::toInteger16));
        m_comm->setPortOpen(true);
        m_comm->setDTREnable(false);
        m_comm->setRTSEnable(false);
        m_text1->setBackColor(Colours::white);
        m_text1->setText(QStringLiteral("Com")
                         + Conversions::decimalWithSignPosition(m_comm->commPort()));
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        enterErrorState();
    }
    describePort(failure);
}

void frmMain::describePort(const QString &failure)
{
    const std::optional<PortMap> &ports = m_comm->ports();
    const QString notice = ports ? ports->refusal(m_comm->portOpen()) : QString();
    QStringList lines;
    // Without the settings the port map is unknown: a port is named only once one is open.
    if (ports && (notice.isEmpty() || m_comm->portOpen()))
        lines << m_numbering.describe(*ports, m_comm->commPort());
    if (!m_comm->notice().isEmpty())
        lines << m_comm->notice();
    if (!failure.isEmpty() && (!ports || failure != ports->refusal()))
        lines << failure;
    if (!notice.isEmpty())
        lines << notice;
    m_text1->setToolTip(plainToolTip(lines.join(QLatin1Char('\n'))));
}

void frmMain::enterErrorState()
{
    SkipOnError steps;
    steps([&] { m_text1->setBackColor(Colours::pureRed); });
    steps([&] { Module1::flgPortError = wordTrue; });
    steps([&] { m_text1->setText(QStringLiteral("Com port open Error!")); });
}

// No line is driven any more, so both channels are off and the port can only be chosen again.
void frmMain::portLost(const QString &description)
{
    if (m_comm->portOpen())
        return; // already reopened
    enterErrorState();
    SkipOnError steps;
    // Recorded low, so that choosing the port again does not raise what was on before.
    steps([&] { m_comm->setRTSEnable(false); });
    steps([&] { m_comm->setDTREnable(false); });
    idleChannels(description);
    steps([&] { describePort(description); });
}

void frmMain::idleChannels(const QString &why)
{
    const std::array<bool, 2> wereOn{Module1::flgCH1 != wordFalse, Module1::flgCH2 != wordFalse};
    Module1::flgCH1 = wordFalse;
    Module1::flgCH2 = wordFalse;
    SkipOnError steps;
    steps([&] { m_monCH1->setBackColor(Colours::lampOff); });
    steps([&] { m_monCH2->setBackColor(Colours::lampOff); });
    for (int channel : {1, 2})
        if (wereOn[channel - 1])
            emit channelChanged(channel, false);
    emit channelsIdled(why);
}

void frmMain::placeEdge(float twips, Qt::Orientation edge)
{
    // A window system holds window coordinates in 16 bits; further out there is no position to
    // give the window, only an overflow.
    constexpr double farthest = 32767.0 * Twips::perPixel;
    if (std::fabs(twips) > farthest)
        throw std::range_error(QStringLiteral("The stored window position %1 is beyond any screen.")
                                   .arg(double(twips))
                                   .toStdString());
    const int pixels = Twips::toPixels(twips);
    if (edge == Qt::Vertical) {
        m_placedTop = twips;
        move(x(), pixels);
    } else {
        m_placedLeft = twips;
        move(pixels, y());
    }
}

// The fixed size is the outer size: the client area gets what the window manager's frame
// leaves. The frame is known only once the window is managed, so this runs again then.
void frmMain::fitFrame()
{
    if (!m_outerSize.isValid())
        return;
    const QSize frame = frameGeometry().size() - geometry().size();
    // A thicker frame than the design's (a tall title bar) would cut into the controls: the
    // window grows just enough instead.
    const QSize designed(Twips::toPixels(3165),
                         Twips::toPixels(1440) + menuBar()->sizeHint().height());
    const QSize client = (m_outerSize - frame).expandedTo(designed);
    if (client != size())
        setFixedWindowSize(this, client);
}

// When start-up placed the top edge but not the left one, the client area stays at its
// design-time left edge. Placing the top edge moved the frame, whose width is known only once the
// window manager has framed the window, so the left edge is put right then.
void frmMain::keepDesignLeft()
{
    if (m_activatedOnce || std::isnan(m_placedTop) || !std::isnan(m_placedLeft))
        return;
    const int shift = geometry().x() - Twips::toPixels(240);
    if (shift != 0)
        move(pos().x() - shift, pos().y());
}

// A stored position from a screen that is gone, or from another machine, can leave too little of
// the title bar on any screen to grab it: the window then goes on the nearest screen, whole.
// Anything that shows that much stays where it is, to the pixel.
void frmMain::bringIntoView()
{
    constexpr int grip = 100;
    const QRect outer = frameGeometry();
    const QRect titleBar(outer.topLeft(),
                         QSize(outer.width(), std::max(1, geometry().y() - outer.y())));
    QScreen *nearest = nullptr;
    qint64 nearestDistance = std::numeric_limits<qint64>::max();
    for (QScreen *screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        if (area.intersected(titleBar).width() >= grip)
            return;
        const QPoint centre = outer.center();
        const qint64 dx = std::max({area.left() - centre.x(), 0, centre.x() - area.right()});
        const qint64 dy = std::max({area.top() - centre.y(), 0, centre.y() - area.bottom()});
        if (dx * dx + dy * dy < nearestDistance) {
            nearest = screen;
            nearestDistance = dx * dx + dy * dy;
        }
    }
    if (!nearest)
        return;
    const QRect area = nearest->availableGeometry();
    move(std::max(area.left(), std::min(outer.x(), area.right() + 1 - outer.width())),
         std::max(area.top(), std::min(outer.y(), area.bottom() + 1 - outer.height())));
}

bool frmMain::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Move:
    case QEvent::WindowActivate:
        fitFrame();
        keepDesignLeft();
        if (!m_activatedOnce)
            bringIntoView();
        m_activatedOnce = m_activatedOnce || event->type() == QEvent::WindowActivate;
        break;
    default:
        break;
    }
    return QMainWindow::event(event);
}

float frmMain::edgeTwips(float placedTwips, int pixels) const
{
    if (!std::isnan(placedTwips) && Twips::toPixels(placedTwips) == pixels)
        return placedTwips;
    return float(Twips::fromPixels(pixels));
}

float frmMain::leftTwips() const
{
    return edgeTwips(m_placedLeft, pos().x());
}

float frmMain::topTwips() const
{
    return edgeTwips(m_placedTop, pos().y());
}

QPoint frmMain::dialogCorner() const
{
    return {Twips::toPixels(leftTwips() + 50), Twips::toPixels(topTwips() + 500)};
}

void frmMain::closeEvent(QCloseEvent *event)
{
    unload();
    event->accept(); // the unload is never cancelled
}

void frmMain::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;

    SkipOnError steps;
    storePosition(); // runs its write in an error mode of its own
    steps([&] { m_comm->setPortOpen(false); });
    emit unloaded();
}

void frmMain::storePosition()
{
    // A platform that cannot tell where the window is must not overwrite the stored position.
    if (!platformReportsWindowPosition())
        return;
    // One write for both edges: the file never holds one edge of this run and one of the last.
    SkipOnError steps;
    steps([&] {
        SettingsStore(application)
            .write(properties,
                   {{QStringLiteral("Top"), Conversions::fromSingle(topTwips())},
                    {QStringLiteral("Left"), Conversions::fromSingle(leftTwips())}});
    });
}
