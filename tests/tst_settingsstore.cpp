// The per-user store: where it keeps values, and how it copes with a file a person edited.

#include "settings/conversions.h"
#include "settings/settingsstore.h"
#include "tempsettings.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void absentGivesDefault();
    void writeThenReadBack();
    void keepsOneGroupPerSectionInTheUsersConfigFolder();
    void handEditedValues_data();
    void handEditedValues();
    void writesOnlyItsOwnLine_data();
    void writesOnlyItsOwnLine();
    void damagedValueLosesNoOtherValue();
    void unwritableFolderReportsFailure();

private:
    static QString read(const QString &key, const QString &defaultText = QStringLiteral("dflt"))
    {
        return SettingsStore::read(QStringLiteral("Twinline"), QStringLiteral("Properties"), key,
                                   defaultText);
    }

    std::unique_ptr<TempSettings> m_settings;
};

void tst_SettingsStore::init()
{
    m_settings = std::make_unique<TempSettings>();
    QVERIFY(m_settings->isValid());
}

void tst_SettingsStore::cleanup()
{
    m_settings.reset();
}

void tst_SettingsStore::absentGivesDefault()
{
    QCOMPARE(read(QStringLiteral("Top"), QStringLiteral("200")), QStringLiteral("200"));
    QCOMPARE(read(QStringLiteral("CommPort"), QString()), QString());
    QVERIFY(!QFile::exists(m_settings->file())); // reading creates nothing
}

void tst_SettingsStore::writeThenReadBack()
{
    QVERIFY(SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                 QStringLiteral("Top"), QStringLiteral("1234,5")));
    QVERIFY(SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                 QStringLiteral("CommPort"), QStringLiteral("3")));
    QVERIFY(SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                 QStringLiteral("CommPort"), QStringLiteral("4")));
    // A comma from a German decimal stays one text, not a list.
    QCOMPARE(read(QStringLiteral("Top")), QStringLiteral("1234,5"));
    QCOMPARE(read(QStringLiteral("CommPort")), QStringLiteral("4"));
}

void tst_SettingsStore::keepsOneGroupPerSectionInTheUsersConfigFolder()
{
    SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                         QStringLiteral("Left"), QStringLiteral("300"));
    SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Ports"),
                         QStringLiteral("Com5"), QStringLiteral("/dev/serial/by-id/usb-x"));
    QFile file(m_settings->configDir() + QStringLiteral("/Twinline/Twinline.conf"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("[Properties]\nLeft=300\n"), text.constData());
    QVERIFY2(text.contains("[Ports]\nCom5=/dev/serial/by-id/usb-x\n"), text.constData());
}

void tst_SettingsStore::handEditedValues_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("isNumber");

    QTest::newRow("number") << QByteArray("Top=1200") << "1200" << true;
    QTest::newRow("blanks around") << QByteArray("Top =  1200  ") << "1200" << true;
    QTest::newRow("letters") << QByteArray("Top=abc") << "abc" << false;
    QTest::newRow("empty") << QByteArray("Top=") << "" << false;
    QTest::newRow("unquoted comma is a list") << QByteArray("Top=1,2") << "1, 2" << false;
    QTest::newRow("typed value") << QByteArray("Top=@Rect(1 2 3 4)") << "@QRect" << false;
    QTest::newRow("byte array") << QByteArray("Top=@ByteArray(77)") << "77" << true;
    QTest::newRow("NaN") << QByteArray("Top=nan") << "nan" << false;
    QTest::newRow("infinity") << QByteArray("Top=inf") << "inf" << false;
    QTest::newRow("out of range") << QByteArray("Top=1e99") << "1e99" << false;
    QTest::newRow("very long") << QByteArray("Top=") + QByteArray(200000, '9')
                               << QString(200000, QLatin1Char('9')) << false;
}

void tst_SettingsStore::handEditedValues()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    QFETCH(bool, isNumber);

    m_settings->writeRaw("[Properties]\n" + line + "\n");
    const QString text = read(QStringLiteral("Top"));
    QCOMPARE(text, expected);
    bool converted = true;
    try {
        Conversions::toSingle(text, QLocale::c());
    } catch (const ConversionError &) {
        converted = false;
    }
    QCOMPARE(converted, isNumber);
}

void tst_SettingsStore::writesOnlyItsOwnLine_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("left");
    QTest::addColumn<QByteArray>("after"); // null: refused, the file untouched

    QTest::newRow("value replaced in place")
        << QByteArray("[Properties]\nLeft =  12  \nTop=1\n") << "450"
        << QByteArray("[Properties]\nLeft =  450\nTop=1\n");
    QTest::newRow("key added at the end of its section")
        << QByteArray("[Properties]\nTop=1\n\n[Ports]\nCom1=/dev/x\n") << "450"
        << QByteArray("[Properties]\nTop=1\nLeft=450\n\n[Ports]\nCom1=/dev/x\n");
    QTest::newRow("section added at the end")
        << QByteArray("; mine\n[Ports]\nCom1=/dev/x") << "450"
        << QByteArray("; mine\n[Ports]\nCom1=/dev/x\n\n[Properties]\nLeft=450\n");
    QTest::newRow("section twice, the last counts")
        << QByteArray("[Properties]\nLeft=1\n[Ports]\n[Properties]\nLeft=2\n") << "450"
        << QByteArray("[Properties]\nLeft=1\n[Ports]\n[Properties]\nLeft=450\n");
    QTest::newRow("CRLF lines") << QByteArray("[Properties]\r\nTop=1\r\n") << "450"
                                << QByteArray("[Properties]\r\nTop=1\r\nLeft=450\r\n");
    QTest::newRow("BOM and Latin-1 kept")
        << QByteArray("\xef\xbb\xbf[Properties]\nOwner=J\xf6rg\n") << "450"
        << QByteArray("\xef\xbb\xbf[Properties]\nOwner=J\xf6rg\nLeft=450\n");
    QTest::newRow("comma decimal quoted")
        << QByteArray() << "1200,5" << QByteArray("[Properties]\nLeft=\"1200,5\"\n");
    QTest::newRow("escapes") << QByteArray() << "@a\"b\\c\t1 "
                             << QByteArray("[Properties]\nLeft=\"@@a\\\"b\\\\c\\t1 \"\n");
    QTest::newRow("NUL bytes") << QByteArray("[Properties]\nTop=1\n\0\0", 21) << "450"
                               << QByteArray();
    QTest::newRow("unterminated group")
        << QByteArray("[Properties\nTop=1\n") << "450" << QByteArray();
    QTest::newRow("unbalanced quote")
        << QByteArray("[Properties]\nTop=\"12\n") << "450" << QByteArray();
    QTest::newRow("backslash at the end")
        << QByteArray("[Ports]\nCom1=C:\\\n[Properties]\nTop=1\n") << "450" << QByteArray();
    QTest::newRow("key in quotes")
        << QByteArray("[Properties]\n\"Top=1\"\nLeft=2\n") << "450" << QByteArray();
}

void tst_SettingsStore::writesOnlyItsOwnLine()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, left);
    QFETCH(QByteArray, after);

    if (!contents.isNull())
        m_settings->writeRaw(contents);
    QCOMPARE(SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                  QStringLiteral("Left"), left),
             !after.isNull());
    QFile file(m_settings->file());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), after.isNull() ? contents : after);
    // A file the store will not write, it does not read either.
    QCOMPARE(read(QStringLiteral("Left")), after.isNull() ? QStringLiteral("dflt") : left);
    QCOMPARE(SettingsStore::whyUnreadable(QStringLiteral("Twinline")).isEmpty(), !after.isNull());
}

void tst_SettingsStore::damagedValueLosesNoOtherValue()
{
    m_settings->writeRaw("[Properties]\nTop=abc\nLeft=300\nCommPort=3\n\n[Ports]\nCom3=/dev/x\n");
    SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                         QStringLiteral("Top"), QStringLiteral("600"));
    QCOMPARE(read(QStringLiteral("Top")), QStringLiteral("600"));
    QCOMPARE(read(QStringLiteral("Left")), QStringLiteral("300"));
    QCOMPARE(read(QStringLiteral("CommPort")), QStringLiteral("3"));
    QCOMPARE(SettingsStore::read(QStringLiteral("Twinline"), QStringLiteral("Ports"),
                                 QStringLiteral("Com3"), QString()),
             QStringLiteral("/dev/x"));
}

void tst_SettingsStore::unwritableFolderReportsFailure()
{
    // A plain file where the folder belongs stops even root from writing.
    QFile blocker(m_settings->configDir() + QStringLiteral("/Twinline"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(!SettingsStore::write(QStringLiteral("Twinline"), QStringLiteral("Properties"),
                                  QStringLiteral("Top"), QStringLiteral("1")));
    QCOMPARE(read(QStringLiteral("Top"), QStringLiteral("200")), QStringLiteral("200"));
}

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_settingsstore.moc"
