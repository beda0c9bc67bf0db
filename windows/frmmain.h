// The main window: the port, the status box, the two channels and the menu.
#pragma once

#include "serial/portguard.h"
#include "serial/portnumbering.h"

#include <QMainWindow>

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
    // there; after a failure, also why; and whether the settings file is unreadable. Call
    // whenever the port or the error state changes.
    void describePort(const QString &failure = QString());

    // Shut-down; runs once, however the window goes. Public so that the end of the desktop
    // session can run it too.
    void unload();
    // Shut-down's first steps: stores where the window is.
    void storePosition();

signals:
    // The shut-down has run: the program ends now.
    void unloaded();

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
    void toggleChannel(int channel);
    void mnuOption_Click();
    void mnuAbout_Click();
    void placeEdge(float twips, Qt::Orientation edge);
    void fitFrame();
    void keepDesignLeft();
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
};
