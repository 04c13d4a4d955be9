// A source and an output with non-ASCII names, probed and converted in every kind of locale a
// machine may start the program in.
#include "application.h"
#include "harness.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <langinfo.h>

class TestLocales : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void nonAsciiNames_data();
    void nonAsciiNames();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    QString m_source;
    QByteArray m_startLocale;
};

void TestLocales::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_source = m_dir.filePath("Grüße ü.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(2), m_source));
    m_startLocale = std::setlocale(LC_ALL, nullptr);
}

void TestLocales::nonAsciiNames_data()
{
    QTest::addColumn<QByteArray>("variable"); // empty: neither LANG nor LC_ALL is set
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("installed");

    QTest::newRow("unset") << QByteArray() << QByteArray() << true;
    QTest::newRow("LANG=C") << QByteArray("LANG") << QByteArray("C") << true;
    QTest::newRow("LC_ALL=POSIX") << QByteArray("LC_ALL") << QByteArray("POSIX") << true;
    QTest::newRow("LANG=C.UTF-8") << QByteArray("LANG") << QByteArray("C.UTF-8") << true;
    QTest::newRow("LANG=de_DE.UTF-8") << QByteArray("LANG") << QByteArray("de_DE.UTF-8") << true;
    QTest::newRow("not generated") << QByteArray("LANG") << QByteArray("xx_XX.UTF-8") << false;
}

// The locale is set up as the program's start sets it up from the environment.
void TestLocales::nonAsciiNames()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(bool, installed);

    for (const char *name : {"LANG", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_NUMERIC"})
        qunsetenv(name);
    if (!variable.isEmpty())
        qputenv(variable, value);
    std::setlocale(LC_ALL, "C");
    const bool applied = std::setlocale(LC_ALL, "") != nullptr;
    if (installed && !applied)
        QSKIP("this locale is not generated here");
    QCOMPARE(applied, installed);
    const QByteArray codeset = nl_langinfo(CODESET);

    Harness h;
    h.chooseSource(m_source);
    QCOMPARE(h.window.audiosource->text(), m_source);
    QCOMPARE(h.window.audioinfo->text(), QString("PCM 48000rate 2channels 1536000bitrate 2sec"));
    // The library's calls leave the locale as they found it.
    QCOMPARE(QByteArray(nl_langinfo(CODESET)), codeset);

    const QString output = m_dir.filePath(QString("Ausgabe ß %1.mp2").arg(QTest::currentDataTag()));
    h.window.audioformat->setCurrentText("MP2");
    h.chooseOutput(output);
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    QCOMPARE(fixtures::probeValue(output, "codec_name"), QString("mp2"));
}

void TestLocales::cleanupTestCase()
{
    std::setlocale(LC_ALL, m_startLocale.constData());
}

KELVANE_TEST_MAIN(Application, TestLocales)

#include "tst_locales.moc"
