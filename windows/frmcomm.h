// The port dialog: chooses the port number, reopens the port and clears the error state.
#pragma once

#include <QDialog>

class CommandButton;
class frmMain;
class QComboBox;

// Works directly on the main window's port, status box and lamps and on the shared flags. It is
// created for each showing and deleted when it closes, so every showing fills the list afresh.
//
// The list's text field stands apart from the list: typing into it selects no entry, and only an
// entry picked from the list counts as a choice. Neither button is a default or cancel button:
// Esc presses nothing, and Enter or Space presses only the button that has the focus.
class frmComm : public QDialog
{
    Q_OBJECT

public:
    explicit frmComm(frmMain *main);

    // Shows a new dialog modally beside the main window and returns when it has closed.
    static void showModal(frmMain *main);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildControls();
    void load();
    void btnOK_Click();
    void deselectOnEdit();

    frmMain *m_main = nullptr;
    QComboBox *m_cboPort = nullptr;
    CommandButton *m_btnCancel = nullptr;
    CommandButton *m_btnOK = nullptr;
};
