#include "windows/frmcomm.h"

#include "app/module1.h"
#include "app/platform.h"
#include "app/skiponerror.h"
#include "serial/mscomm.h"
#include "settings/conversions.h"
#include "settings/settingsstore.h"
#include "version.h"
#include "windows/colours.h"
#include "windows/commandbutton.h"
#include "windows/frmmain.h"
#include "windows/messagebox.h"
#include "windows/plaintext.h"
#include "windows/textbox.h"
#include "windows/twips.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

frmComm::frmComm(frmMain *main)
    : QDialog(main,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
                  | Qt::MSWindowsFixedSizeDialogHint)
    , m_main(main)
{
    setObjectName(QStringLiteral("frmComm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Comm Port"));
    setWindowIcon(QIcon(QStringLiteral(":/twinline.png")));
    setFixedWindowSize(this, {Twips::toPixels(2895), Twips::toPixels(585)});
    buildControls();
    load();
}

void frmComm::showModal(frmMain *main)
{
    auto *dialog = new frmComm(main);
    dialog->exec(); // deletes the dialog once it has closed
    // The window manager may hand the focus back to a window that has just gone (the error
    // box), which leaves no window with the keyboard.
    main->activateWindow();
}

void frmComm::buildControls()
{
    m_cboPort = new QComboBox(this);
    m_cboPort->setObjectName(QStringLiteral("cboPort"));
    m_cboPort->setGeometry(Twips::rect(120, 120, 1095, 300));
    m_cboPort->setEditable(true);
    m_cboPort->setInsertPolicy(QComboBox::NoInsert);
    // Completion would turn a few typed letters into an entry the user never picked.
    m_cboPort->setCompleter(nullptr);
    // When the field loses the focus QComboBox selects the entry whose text matches what was
    // typed; here typed text must stay no choice at all, whatever it says.
    disconnect(m_cboPort->lineEdit(), &QLineEdit::editingFinished, m_cboPort, nullptr);
    connect(m_cboPort->lineEdit(), &QLineEdit::textEdited, this, &frmComm::deselectOnEdit);
    m_cboPort->setEditText(QStringLiteral("comm1"));

    m_btnCancel = new CommandButton(QStringLiteral("Cancel"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(Twips::rect(1320, 120, 735, 375));

    m_btnOK = new CommandButton(QStringLiteral("Set"), this);
    m_btnOK->setObjectName(QStringLiteral("btnOK"));
    m_btnOK->setGeometry(Twips::rect(2160, 120, 615, 375));

    setTabOrder(m_cboPort, m_btnCancel);
    setTabOrder(m_btnCancel, m_btnOK);
    m_cboPort->setFocus();

    connect(m_btnCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(m_btnOK, &QPushButton::clicked, this, &frmComm::btnOK_Click);
}

// Nothing here is reported: a step that fails leaves its part of the dialog as it was.
void frmComm::load()
{
    SkipOnError steps;
    steps([&] { move(m_main->dialogCorner()); });
    SettingsStore settings(QStringLiteral(TWINLINE_TITLE));
    PortMap ports = m_main->portNumbering().map(settings);
    steps([&] { ports = m_main->portNumbering().numberNewAdapters(settings); });

    const QString designText = m_cboPort->currentText();
    for (int port = 1; port <= PortNumbering::portCount; ++port) {
        steps([&] {
            m_cboPort->addItem(QStringLiteral("Com") + Conversions::plainDecimal(port));
            m_cboPort->setItemData(m_cboPort->count() - 1,
                                   plainToolTip(m_main->portNumbering().describe(ports, port)),
                                   Qt::ToolTipRole);
        });
    }
    // QComboBox selects the first entry put into an empty list; this list selects only below.
    steps([&] {
        m_cboPort->setCurrentIndex(-1);
        m_cboPort->setEditText(designText);
    });

    steps([&] {
        const int index = m_main->MSComm1()->commPort() - 1;
        if (index >= 0 && index < m_cboPort->count())
            m_cboPort->setCurrentIndex(index);
    });
}

// The first edit after an entry was selected drops the selection but keeps what the user typed.
void frmComm::deselectOnEdit()
{
    if (m_cboPort->currentIndex() < 0)
        return;
    QLineEdit *field = m_cboPort->lineEdit();
    const QString text = field->text();
    const int cursor = field->cursorPosition();
    m_cboPort->setCurrentIndex(-1);
    field->setText(text);
    field->setCursorPosition(cursor);
}

// Every step runs even after one failed; the most recent failure is what the user is told.
void frmComm::btnOK_Click()
{
    MSComm *comm = m_main->MSComm1();
    TextBox *status = m_main->Text1();
    const auto portError = [] { return Module1::flgPortError != wordFalse; };

    SkipOnError steps;
    // Every value of this handler comes from this one reading of the settings.
    SettingsStore settings(QStringLiteral(TWINLINE_TITLE));
    steps([&] { comm->setPorts(m_main->portNumbering().map(settings)); });
    qint16 oldPort = 0;
    qint16 newPort = 0;
    bool wasOpen = false;
    steps([&] { oldPort = comm->commPort(); });
    steps([&] { newPort = qint16(m_cboPort->currentIndex() + 1); });

    if (steps.test([&] { return newPort != oldPort || portError(); })) {
        if (steps.test([&] { return comm->portOpen(); })) {
            wasOpen = true;
            steps([&] { comm->setPortOpen(false); });
            steps([&] { comm->setDTREnable(false); });
            steps([&] { comm->setRTSEnable(false); });
            m_main->idleChannels(
                QStringLiteral("Com%1 was closed by Set in the port dialog.").arg(oldPort));
        }
        steps([&] { comm->setCommPort(newPort); });
        steps([&] { status->setBackColor(Colours::white); });
        steps([&] {
            status->setText(QStringLiteral("Com") + Conversions::decimalWithSignPosition(newPort));
        });
    }

    // Reopening also recovers from the error state when the same port was chosen again.
    if (steps.test([&] { return wasOpen || portError(); })) {
        steps([&] { comm->setPortOpen(true); });
        steps([&] { comm->setDTREnable(false); });
        steps([&] { comm->setRTSEnable(false); });
    }

    if (steps.failed()) {
        const QString failure = steps.lastError();
        SkipOnError report;
        report([&] { MessageBox::show(this, failure, QMessageBox::Warning); });
        report([&] { status->setBackColor(Colours::pureRed); });
        Module1::flgPortError = wordTrue;
        report([&] { m_main->describePort(failure); });
        close();
        return;
    }

    // Stored only after a clean switch, so a port that failed is not tried again at next start.
    SkipOnError finish;
    finish([&] {
        settings.write(QStringLiteral("Properties"),
                       {{QStringLiteral("CommPort"), Conversions::plainDecimal(comm->commPort())}});
    });
    Module1::flgPortError = wordFalse;
    finish([&] { m_main->describePort(); });
    close();
}

void frmComm::keyPressEvent(QKeyEvent *event)
{
    // Only "Cancel" and the close box close this dialog; Esc does nothing at all.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
