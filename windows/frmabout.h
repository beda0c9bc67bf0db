// The about box: the program's title, version, description, help file and copyright line.
#pragma once

#include <QDialog>

class frmMain;
class QLabel;
class QPushButton;

// Built afresh each time it is shown and destroyed when it closes. Loading places it by the main
// window that owns it and fills in the texts; the first failure stops the load and is reported,
// and the box still opens, showing the texts set before the failure and the placeholders after.
class frmAbout : public QDialog
{
    Q_OBJECT

public:
    // parent: the main window the box belongs to and places itself by.
    explicit frmAbout(QWidget *parent = nullptr);

    // Shows a new box modally over main; returns once it has closed and is gone.
    static void showModal(frmMain *main);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildControls();
    void load();
    void cmdOK_Click();

    QLabel *m_picIcon = nullptr;
    QLabel *m_lblTitle = nullptr;
    QLabel *m_lblVersion = nullptr;
    QLabel *m_lblDescription = nullptr;
    QLabel *m_readme = nullptr;
    QPushButton *m_cmdOK = nullptr;
    QLabel *m_copyright = nullptr;
};
