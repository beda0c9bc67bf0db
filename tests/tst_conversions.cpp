// Number texts as the settings store holds them and the status box shows them.

#include "settings/conversions.h"

#include <QRegularExpression>
#include <QTest>

class tst_Conversions : public QObject
{
    Q_OBJECT

private slots:
    void toSingle_data();
    void toSingle();
    void toSingleRejects_data();
    void toSingleRejects();
    void toInteger16_data();
    void toInteger16();
    void toInteger16Rejects_data();
    void toInteger16Rejects();
    void fromSingle_data();
    void fromSingle();
    void storedFormReadsInAnyLocale_data();
    void storedFormReadsInAnyLocale();
    void signPosition_data();
    void signPosition();
};

void tst_Conversions::toSingle_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<float>("expected");

    QTest::newRow("default 200") << "C"
                                 << "200" << 200.0f;
    QTest::newRow("negative") << "C"
                              << "-1200" << -1200.0f;
    QTest::newRow("fraction") << "C"
                              << "1234.5" << 1234.5f;
    QTest::newRow("surrounding blanks") << "C"
                                        << " 300 " << 300.0f;
    QTest::newRow("exponent") << "C"
                              << "1E+07" << 1.0e7f;
    QTest::newRow("German decimal comma") << "de_DE"
                                          << "1234,5" << 1234.5f;
    QTest::newRow("English thousands") << "en_US"
                                       << "1,200" << 1200.0f;
    QTest::newRow("beyond a screen") << "C"
                                     << "999999" << 999999.0f;
    // Earlier versions wrote the digits of Arabic and Persian locales.
    QTest::newRow("Arabic digits, English rules") << "en_US" << QStringLiteral("١٥٠٠") << 1500.0f;
    QTest::newRow("Persian negative fraction, German rules")
        << "de_DE" << QStringLiteral("\u200e−۱۲۳۴٫۵") << -1234.5f;
}

void tst_Conversions::toSingle()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(float, expected);
    QCOMPARE(Conversions::toSingle(text, QLocale(locale)), expected);
}

void tst_Conversions::toSingleRejects_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");

    QTest::newRow("letters") << "C"
                             << "abc";
    QTest::newRow("empty") << "C"
                           << "";
    QTest::newRow("blank") << "C"
                           << "   ";
    QTest::newRow("number then letters") << "C"
                                         << "200px";
    QTest::newRow("list as read back") << "C"
                                       << "1, 2";
    QTest::newRow("typed value") << "C"
                                 << "@QRect";
    QTest::newRow("NaN") << "C"
                         << "nan";
    QTest::newRow("infinity") << "C"
                              << "inf";
    QTest::newRow("negative infinity") << "C"
                                       << "-inf";
    QTest::newRow("beyond single precision") << "C"
                                             << "1e39";
    QTest::newRow("beyond double precision") << "C"
                                             << "1e400";
    QTest::newRow("very long digits") << "C" << QString(5000, QLatin1Char('9'));
    QTest::newRow("very long junk") << "C" << QString(100000, QLatin1Char('x'));
    QTest::newRow("point under German rules") << "de_DE"
                                              << "1234.5.6";
    QTest::newRow("control characters") << "C"
                                        << QStringLiteral("1\x01"
                                                          "2");
}

void tst_Conversions::toSingleRejects()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(ConversionError, Conversions::toSingle(text, QLocale(locale)));
}

void tst_Conversions::toInteger16_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("plain") << "3" << 3;
    QTest::newRow("half rounds down to even") << "2.5" << 2;
    QTest::newRow("half rounds up to even") << "3.5" << 4;
    QTest::newRow("below half") << "4.49" << 4;
    QTest::newRow("above half") << "4.51" << 5;
    QTest::newRow("negative half to even") << "-2.5" << -2;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("largest") << "32767" << 32767;
    QTest::newRow("smallest") << "-32768" << -32768;
    QTest::newRow("just under largest rounds in") << "32767.4" << 32767;
    QTest::newRow("blanks") << " 16 " << 16;
}

void tst_Conversions::toInteger16()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(int(Conversions::toInteger16(text, QLocale::c())), expected);
}

void tst_Conversions::toInteger16Rejects_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("letters") << "com3";
    QTest::newRow("one above range") << "32768";
    QTest::newRow("one below range") << "-32769";
    QTest::newRow("rounds above range") << "32767.5";
    QTest::newRow("huge") << "1e30";
    QTest::newRow("NaN") << "NaN";
    QTest::newRow("infinity") << "Infinity";
    QTest::newRow("list as read back") << "3, 4";
    QTest::newRow("blank") << " ";
    QTest::newRow("very long") << QString(70000, QLatin1Char('7'));
}

void tst_Conversions::toInteger16Rejects()
{
    QFETCH(QString, text);
    QVERIFY_THROWS_EXCEPTION(ConversionError, Conversions::toInteger16(text, QLocale::c()));
}

void tst_Conversions::fromSingle_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("whole") << "C" << 1200.0f << "1200";
    QTest::newRow("no grouping in English") << "en_US" << 123456.0f << "123456";
    QTest::newRow("no leading blank") << "C" << 3.0f << "3";
    QTest::newRow("negative") << "C" << -45.0f << "-45";
    QTest::newRow("fraction") << "C" << 1234.5f << "1234.5";
    QTest::newRow("German fraction") << "de_DE" << 1234.5f << "1234,5";
    QTest::newRow("seven significant digits") << "C" << 1234567.0f << "1234567";
    QTest::newRow("single precision noise dropped") << "C" << 0.1f << "0.1";
}

void tst_Conversions::fromSingle()
{
    QFETCH(QString, locale);
    QFETCH(float, value);
    QFETCH(QString, expected);
    QCOMPARE(Conversions::fromSingle(value, QLocale(locale)), expected);
    // What is written must read back as the same number under the same rules.
    QCOMPARE(Conversions::toSingle(expected, QLocale(locale)), value);
}

void tst_Conversions::storedFormReadsInAnyLocale_data()
{
    QTest::addColumn<QString>("writer");
    QTest::addColumn<float>("value");

    QTest::newRow("Arabic (Egypt)") << "ar_EG" << 1500.0f;
    QTest::newRow("Persian (Iran)") << "fa_IR" << -1234.5f;
    QTest::newRow("German") << "de_DE" << -1234.5f;
    QTest::newRow("English (US)") << "en_US" << 1234.5f;
}

// A position stored under one locale is read back under any other.
void tst_Conversions::storedFormReadsInAnyLocale()
{
    QFETCH(QString, writer);
    QFETCH(float, value);

    const QString stored = Conversions::fromSingle(value, QLocale(writer));
    const QString separator = QRegularExpression::escape(QLocale(writer).decimalPoint());
    QVERIFY2(QRegularExpression(QStringLiteral("^-?[0-9]+(%1[0-9]+)?$").arg(separator))
                 .match(stored)
                 .hasMatch(),
             qPrintable(stored));
    for (const char *reader : {"ar_EG", "fa_IR", "de_DE", "en_US"})
        QCOMPARE(Conversions::toSingle(stored, QLocale(QLatin1String(reader))), value);
}

void tst_Conversions::signPosition_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("withSign");
    QTest::addColumn<QString>("plain");

    QTest::newRow("port 3") << 3 << " 3"
                            << "3";
    QTest::newRow("port 16") << 16 << " 16"
                             << "16";
    QTest::newRow("zero") << 0 << " 0"
                          << "0";
    QTest::newRow("negative") << -5 << "-5"
                              << "-5";
}

void tst_Conversions::signPosition()
{
    QFETCH(int, value);
    QFETCH(QString, withSign);
    QFETCH(QString, plain);
    QCOMPARE(Conversions::decimalWithSignPosition(value), withSign);
    QCOMPARE(Conversions::plainDecimal(value), plain);
}

QTEST_GUILESS_MAIN(tst_Conversions)
#include "tst_conversions.moc"
