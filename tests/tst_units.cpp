#include "sandbox.h"

#include <QTest>

class tst_units : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(ptyModemLoaded(), "run through ctest: libptymodem.so is not preloaded"); }
};

QTEST_MAIN(tst_units)
#include "tst_units.moc"
