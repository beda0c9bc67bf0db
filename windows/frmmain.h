// The main window: the port, the status box, the two channels and the menu.
#pragma once

#include "serial/portguard.h"
#include "serial/portnumbering.h"

#include <QMainWindow>

#include <array>
#include <cmath>

class CommandButton;
class Lamp;
class MomentaryButton;
class MSComm;
class QAction;
class QMenu;
class TextBox;

// Loading the window runs the start-up sequence; closing it, by whatever means, runs the
// shut-down sequence, which stores the position, closes the port and ends the program. The
// dialogs work on the port, the status box and the lamps through the accessors below.
class frmMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    // numbering: where USB adapters are found and described; guard: where the signs of another
    // program using a port are looked for.
    explicit frmMain(PortNumbering numbering, PortGuard guard = PortGuard(),
                     QWidget *parent = nullptr);
    ~frmMain() override;

    MSComm *MSComm1() const { return m_comm; }
    TextBox *Text1() const { return m_text1; }
    Lamp *monCH1() const { return m_monCH1; }
    Lamp *monCH2() const { return m_monCH2; }
    const PortNumbering &portNumbering() const { return m_numbering; }

    // The window's outer top-left corner in twips, as the dialogs place themselves by it.
    float leftTwips() const;
    float topTwips() const;
    // Where a dialog's outer top-left corner goes: 50 twips right of and 500 below this one's.
    QPoint dialogCorner() const;

    // Names the device behind the port in use on the status box's tooltip, and whether it is
    // there; after a failure, also why; and whether the settings file was unreadable when the
    // port map was last read. Call whenever the port or the error state changes.
    void describePort(const QString &failure = QString());

    // Toggles a channel as its buttons do: every change of a channel, whoever asks, comes here.
    // Returns why the line could not be changed, which the buttons do not tell.
    QString toggleChannel(int channel);
    // Why a script may not change the channel (1 or 2) now: the error state, a Tilt hold or a
    // pulse on it; empty when it may. For channel 0, only the error state.
    QString refusal(int channel) const;
    // While a pulse runs on a channel, its Tilt button does nothing.
    void setPulsing(int channel, bool pulsing) { m_pulsing[channel - 1] = pulsing; }
    // Both channels forced off because the port was closed under them.
    void idleChannels(const QString &why);

    // Shut-down; runs once, however the window goes. Public so that the end of the desktop
    // session can run it too.
    void unload();
    // Shut-down's first steps: stores where the window is.
    void storePosition();

signals:
    // The shut-down has run: the program ends now.
    void unloaded();
    void channelChanged(int channel, bool on);
    // The port went from under the channels, for this reason; a running pulse ends with it.
    void channelsIdled(const QString &why);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    void buildControls();
    void buildMenu();
    void load();
    void enterErrorState();
    void portLost(const QString &description);
    void connectChannels();
    void tilt(int channel, bool pressed);
    void mnuOption_Click();
    void mnuAbout_Click();
    void placeEdge(float twips, Qt::Orientation edge);
    void fitFrame();
    void keepDesignLeft();
    void bringIntoView();
    float edgeTwips(float placedTwips, int pixels) const;

    PortNumbering m_numbering;
    MSComm *m_comm = nullptr;
    TextBox *m_text1 = nullptr;
    CommandButton *m_btnCH1 = nullptr;
    MomentaryButton *m_btnCH1Tilt = nullptr;
    Lamp *m_monCH1 = nullptr;
    CommandButton *m_btnCH2 = nullptr;
    MomentaryButton *m_btnCH2Tilt = nullptr;
    Lamp *m_monCH2 = nullptr;
    QMenu *m_mnuFiles = nullptr;
    QAction *m_mnuOption = nullptr;
    QAction *m_mnuAbout = nullptr;

    // Where start-up placed the window, in twips; NaN until it did. Shut-down stores these
    // exact values while the window has not moved, so a position does not drift by rounding.
    float m_placedTop = NAN;
    float m_placedLeft = NAN;
    QSize m_outerSize; // the fixed outer size in pixels, once start-up set it
    bool m_activatedOnce = false; // by then the window manager has framed and placed the window
    bool m_unloaded = false;
    std::array<bool, 2> m_pulsing{};
    std::array<bool, 2> m_tiltHeld{}; // held down, and acting: not while a pulse ran
};
