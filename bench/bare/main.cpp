// A plain window with a menu bar and one button, to compare Twinline's start-up and memory with.

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Bare"));
    QMenu *menu = window.menuBar()->addMenu(QStringLiteral("Files(&F)"));
    menu->addAction(QStringLiteral("About(&A)"));
    window.setCentralWidget(new QPushButton(QStringLiteral("On/Off"), &window));
    window.show();
    return app.exec();
}
