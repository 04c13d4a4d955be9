// A job with the window in the background and no session bus to tell: none at all
// (KELVANE_BUS_CASE=unset), an address where nothing listens (as run by default), or a socket
// that accepts and never answers (KELVANE_BUS_CASE=silent). The job and its notice must be
// exactly as without a desktop, and the window must never wait.

#include "application.h"
#include "harness.h"

#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

QTemporaryDir *scratch = nullptr;
// The silent bus: listening, so a connection is taken into its backlog and then ignored.
int silentBus = -1;

bool listenSilently(const QString &path)
{
    silentBus = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (silentBus < 0 || name.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    std::copy(name.begin(), name.end(), address.sun_path);
    return bind(silentBus, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
           listen(silentBus, 4) == 0;
}

} // namespace

class TestNoBus : public QObject
{
    Q_OBJECT
private slots:
    void jobAsBefore();
};

void TestNoBus::jobAsBefore()
{
    const QString tone = scratch->filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3), tone));
    Harness h;
    QWidget other;
    h.window.show();
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());

    h.chooseSource(tone);
    h.chooseOutput(scratch->filePath("tone.ac3"));
    const TimedJob timed = timedJob(h);
    QVERIFY(timed.finished);

    QCOMPARE(h.notices, QStringList{"Finished"});
    QVERIFY(h.barAtNotice > 0);
    QVERIFY(h.logAtNotice.contains("Output #0, ac3"));
    QCOMPARE(h.window.bar->value(), 0);
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QCOMPARE(fixtures::probeValue(scratch->filePath("tone.ac3"), "codec_name"), QString("ac3"));
    qInfo("bus %s: job to notice %lld ms, longest event-loop gap %lld ms",
          qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty()
              ? "unset"
              : qgetenv("DBUS_SESSION_BUS_ADDRESS").constData(),
          timed.tookMs, timed.longestGap);
    QVERIFY(timed.longestGap < 1000);

    if (silentBus >= 0) {
        // The bus connection is still open and waiting for the bus to speak first: the job and
        // its notice never waited on it.
        const int client = accept4(silentBus, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        QVERIFY(client >= 0);
        // Closing it lets the connection fail now; libdbus would otherwise wait for ever.
        const auto closed = qScopeGuard([client] { close(client); });
        // What it has said is the handshake's opening zero byte; it has not hung up.
        char said[64];
        QVERIFY(read(client, said, sizeof said) >= 1 && said[0] == 0);
        QVERIFY(read(client, said, sizeof said) < 0 && errno == EAGAIN);
        qInfo("the silent bus holds the window's bus connection, still open and unanswered");
    }
}

int main(int argc, char **argv)
{
    QTemporaryDir dir;
    scratch = &dir;
    const QByteArray which = qgetenv("KELVANE_BUS_CASE");
    if (which == "unset") {
        // No address, and neither of libdbus's fall-backs: a runtime directory's socket or a
        // bus started for an X display.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    } else if (which == "silent") {
        const QString path = dir.filePath("silent-bus");
        if (!listenSilently(path))
            qFatal("cannot listen on %s", qPrintable(path));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(path));
    }
    Application app(argc, argv);
    TestNoBus test;
    const int status = QTest::qExec(&test, argc, argv);
    if (silentBus >= 0)
        close(silentBus);
    return status;
}

#include "tst_desktop_nobus.moc"
