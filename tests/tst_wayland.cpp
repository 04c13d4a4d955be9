// The program on a Wayland desktop without X: a headless weston, the program with Qt's Wayland
// platform, and the window as the compositor itself shows it.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

// A headless weston of our own, with its usual desktop shell.
class Weston
{
public:
    Weston() = default;
    ~Weston()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }
    Q_DISABLE_COPY_MOVE(Weston)

    // Empty when it runs, otherwise why it does not.
    QString start()
    {
        if (QStandardPaths::findExecutable("weston").isEmpty() ||
            QStandardPaths::findExecutable("weston-screenshooter").isEmpty())
            return "weston is not installed";
        if (!m_runtime.isValid())
            return "no runtime folder";
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // --debug lets weston-screenshooter take pictures.
        m_process.start("weston", {"--backend=headless-backend.so", "--use-pixman",
                                   "--socket=" + socket, "--width=1024", "--height=768",
                                   "--idle-time=0", "--no-config", "--debug"});
        if (!m_process.waitForStarted())
            return "weston did not start: " + m_process.errorString();
        QElapsedTimer t;
        t.start();
        while (!QFileInfo::exists(m_runtime.filePath(socket)) &&
               m_process.state() == QProcess::Running && t.elapsed() < 30000)
            QTest::qWait(20);
        if (!QFileInfo::exists(m_runtime.filePath(socket)))
            return "weston cannot run here: " + QString::fromLocal8Bit(m_process.readAll());
        return {};
    }

    // What the clients need to reach this compositor, and not an X server.
    QProcessEnvironment clientEnvironment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("XDG_RUNTIME_DIR", m_runtime.path());
        env.insert("WAYLAND_DISPLAY", socket);
        env.insert("QT_QPA_PLATFORM", "wayland");
        return env;
    }

    // The whole output as the compositor composed it.
    QImage screenshot()
    {
        QTemporaryDir into;
        QProcess shooter;
        shooter.setProcessEnvironment(clientEnvironment());
        shooter.setWorkingDirectory(into.path());
        shooter.start("weston-screenshooter", {});
        if (!shooter.waitForFinished(30000) || shooter.exitCode() != 0)
            return {};
        const QStringList files = QDir(into.path()).entryList({"*.png"}, QDir::Files);
        return files.isEmpty() ? QImage() : QImage(into.filePath(files.first()));
    }

    QString log() { return QString::fromLocal8Bit(m_process.readAll()); }

    const QString socket = "kelvane-test";

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
};

bool oneColour(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != image.pixel(0, 0))
                return false;
    return true;
}

// Whether the window has been drawn over the desktop of before: the pixels that changed cover
// at least a 331 x 414 window, most of them in one face colour, with text and controls on it in
// many others (an unpainted surface would be one colour).
bool showsTheWindow(const QImage &before, const QImage &after, QString *seen)
{
    if (after.isNull() || after.size() != before.size()) {
        *seen = "no picture";
        return false;
    }
    QHash<QRgb, int> changed;
    int total = 0;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (const QRgb pixel = after.pixel(x, y); pixel != before.pixel(x, y)) {
                ++changed[pixel];
                ++total;
            }
    int face = 0;
    for (const int count : std::as_const(changed))
        face = qMax(face, count);
    *seen = QString("%1 pixels changed, in %2 colours, %3 of them in the commonest")
                .arg(total)
                .arg(changed.size())
                .arg(face);
    const int window = 331 * 414;
    return total >= window * 9 / 10 && face >= window * 4 / 10 && changed.size() >= 20;
}

Weston *compositor = nullptr;

} // namespace

class TestWayland : public QObject
{
    Q_OBJECT
private slots:
    void firstExpose();
    void drawn();
};

// The program picks the Wayland platform, gets its window shown and ends as it is told.
void TestWayland::firstExpose()
{
    QProcess kelvane;
    QProcessEnvironment env = compositor->clientEnvironment();
    env.insert("KELVANE_EXIT_WHEN_SHOWN", "1");
    kelvane.setProcessEnvironment(env);
    kelvane.start(KELVANE_BINARY, {});
    QVERIFY(kelvane.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(kelvane.readAllStandardError());
    QVERIFY2(kelvane.exitStatus() == QProcess::NormalExit && kelvane.exitCode() == 0,
             qPrintable(err));
    QVERIFY(kelvane.readAllStandardOutput().startsWith("shown\n"));
}

// The compositor's own picture of its output holds the window.
void TestWayland::drawn()
{
    // The desktop as its shell has finished drawing it: two pictures alike, of more than a colour.
    QImage before;
    QImage again = compositor->screenshot();
    QElapsedTimer settling;
    settling.start();
    do {
        before = again;
        again = compositor->screenshot();
    } while ((again != before || oneColour(before)) && settling.elapsed() < 30000);
    QVERIFY2(!before.isNull() && again == before, qPrintable(compositor->log()));

    QProcess kelvane;
    kelvane.setProcessEnvironment(compositor->clientEnvironment());
    kelvane.setProcessChannelMode(QProcess::MergedChannels);
    kelvane.start(KELVANE_BINARY, {});
    QVERIFY(kelvane.waitForStarted());
    QImage after;
    QString seen;
    QElapsedTimer t;
    t.start();
    do {
        after = compositor->screenshot();
    } while (!showsTheWindow(before, after, &seen) && kelvane.state() == QProcess::Running &&
             t.elapsed() < 60000);
    const bool shown = showsTheWindow(before, after, &seen);
    const QString picture = QDir::temp().filePath("kelvane-wayland.png");
    if (!shown && !after.isNull())
        after.save(picture);
    QVERIFY2(kelvane.state() == QProcess::Running, qPrintable(kelvane.readAll()));
    QVERIFY2(shown, qPrintable(seen + "; the compositor's picture: " + picture));
    kelvane.terminate();
    QVERIFY(kelvane.waitForFinished(30000));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Weston weston;
    if (const QString why = weston.start(); !why.isEmpty()) {
        std::fprintf(stderr, "skipped: %s\n", qPrintable(why));
        return 77;
    }
    compositor = &weston;
    TestWayland test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wayland.moc"
