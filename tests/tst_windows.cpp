#include "sandbox.h"

#include <QTest>

class tst_windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(ptyModemLoaded(), "run through ctest: libptymodem.so is not preloaded"); }
};

QTEST_MAIN(tst_windows)
#include "tst_windows.moc"
