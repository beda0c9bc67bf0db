// Which windowing platform the program asks for.

#include "app/platform.h"

#include <QTest>

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void prefersX11_data();
    void prefersX11();
};

void tst_Platform::prefersX11_data()
{
    QTest::addColumn<QByteArray>("qtPlatform");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<bool>("expected");

    QTest::newRow("Wayland with XWayland")
        << QByteArray() << QByteArray("wayland-0") << QByteArray(":0") << true;
    QTest::newRow("Wayland only") << QByteArray() << QByteArray("wayland-0") << QByteArray()
                                  << false;
    QTest::newRow("X11 only") << QByteArray() << QByteArray() << QByteArray(":0") << false;
    QTest::newRow("user chose Wayland")
        << QByteArray("wayland") << QByteArray("wayland-0") << QByteArray(":0") << false;
    QTest::newRow("user chose offscreen")
        << QByteArray("offscreen") << QByteArray("wayland-0") << QByteArray(":0") << false;
}

void tst_Platform::prefersX11()
{
    QFETCH(QByteArray, qtPlatform);
    QFETCH(QByteArray, wayland);
    QFETCH(QByteArray, display);
    QFETCH(bool, expected);
    QCOMPARE(shouldPreferX11({qtPlatform, wayland, display}), expected);
}

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
