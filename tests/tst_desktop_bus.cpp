// The job's notification and launcher-entry progress, watched on a private session bus with a
// real notification server: dunst on a virtual X screen of its own.

#include "application.h"
#include "harness.h"
#include "scriptedprompts.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const QString Notifications = "org.freedesktop.Notifications";
const QString Launcher = "com.canonical.Unity.LauncherEntry";
const QString MarkerInterface = "io.github.kelvane.Test";

// A private session bus with a virtual X server and dunst on it. Made before the application
// object, so every connection this process opens goes to that bus.
class Desktop
{
public:
    Desktop()
    {
        QFile config(m_dir.filePath("bus.conf"));
        config.open(QIODevice::WriteOnly);
        // No service directories: nothing is started on demand, so a stopped dunst stays away.
        config.write(QString("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus "
                             "Configuration 1.0//EN\" "
                             "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                             "<auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                         .arg(m_dir.path())
                         .toUtf8());
        config.close();
        m_bus.start("dbus-daemon",
                    {"--nofork", "--print-address=1", "--config-file=" + config.fileName()});
        address = firstLine(m_bus);
        m_xvfb.start("Xvfb",
                     {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        const QString number = firstLine(m_xvfb);
        display = number.isEmpty() ? QString() : ":" + number;
        QFile dunstrc(m_dir.filePath("dunstrc"));
        dunstrc.open(QIODevice::WriteOnly);
        dunstrc.write("[global]\n    font = DejaVu Sans 10\n    width = 360\n"
                      "    origin = top-right\n    offset = 12x12\n    max_icon_size = 48\n"
                      "    mouse_left_click = do_action, close_current\n"
                      "[urgency_normal]\n    timeout = 0\n");
    }
    ~Desktop()
    {
        stopDunst();
        for (QProcess *p : {&m_xvfb, &m_bus}) {
            p->kill();
            p->waitForFinished();
        }
    }
    Q_DISABLE_COPY_MOVE(Desktop)

    bool ready() const { return !address.isEmpty() && !display.isEmpty(); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SESSION_BUS_ADDRESS", address);
        env.insert("DISPLAY", display);
        env.remove("WAYLAND_DISPLAY");
        return env;
    }

    void startDunst()
    {
        if (m_dunst.state() != QProcess::NotRunning)
            return;
        m_dunst.setProcessEnvironment(environment());
        m_dunst.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_dunst.start("dunst", {"-config", m_dir.filePath("dunstrc")});
        m_dunst.waitForStarted();
    }
    void stopDunst()
    {
        if (m_dunst.state() == QProcess::NotRunning)
            return;
        m_dunst.terminate();
        if (!m_dunst.waitForFinished(5000))
            m_dunst.kill();
        m_dunst.waitForFinished();
    }

    // dunstctl's answer, for what the server itself holds.
    QByteArray dunstctl(const QStringList &arguments) const
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start("dunstctl", arguments);
        p.waitForFinished(10000);
        return p.readAllStandardOutput().trimmed();
    }

    QString address;
    QString display;

private:
    static QString firstLine(QProcess &p)
    {
        if (!p.waitForStarted())
            return {};
        while (!p.canReadLine() && p.waitForReadyRead(10000)) {
        }
        return QString::fromUtf8(p.readLine()).trimmed();
    }

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_xvfb;
    QProcess m_dunst;
};

Desktop *desktop = nullptr;

// A monitor on the bus: every notification call and every launcher or notification signal,
// in the order the bus passed them on. A monitor may not send, so the calls it sees are
// taken by a catch-all object that never answers.
class Recorder final : public QDBusVirtualObject
{
    Q_OBJECT
public:
    bool attach(const QString &address)
    {
        QDBusConnection bus = QDBusConnection::connectToBus(address, "monitor");
        bus.registerVirtualObject("/org/freedesktop/Notifications", this);
        const QList<QStringList> signalNames{{Launcher, "Update"},
                                             {Notifications, "ActionInvoked"},
                                             {Notifications, "NotificationClosed"},
                                             {MarkerInterface, "Marker"}};
        for (const QStringList &s : signalNames)
            bus.connect({}, {}, s[0], s[1], this, SLOT(record(QDBusMessage)));
        QDBusMessage become =
            QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
        become << QStringList{"type='method_call',interface='" + Notifications + "'",
                              "type='signal',interface='" + Notifications + "'",
                              "type='signal',interface='" + Launcher + "'",
                              "type='signal',interface='" + MarkerInterface + "'"}
               << 0u;
        return bus.call(become).type() == QDBusMessage::ReplyMessage;
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override
    {
        messages.append(message);
        return true;
    }
    QString introspect(const QString &) const override { return {}; }

    // What the given sender sent with that member name; any sender when it is empty.
    QList<QDBusMessage> sent(const QString &member, const QString &sender = {}) const
    {
        QList<QDBusMessage> found;
        for (const QDBusMessage &m : messages) {
            if (m.member() == member && (sender.isEmpty() || m.service() == sender))
                found.append(m);
        }
        return found;
    }

    QList<QDBusMessage> messages;

public slots:
    void record(const QDBusMessage &message) { messages.append(message); }
};

struct Progress
{
    bool visible;
    double progress;
};

Progress progressOf(const QDBusMessage &update)
{
    const QVariantMap properties = qdbus_cast<QVariantMap>(update.arguments().value(1));
    return {properties.value("progress-visible").toBool(), properties.value("progress").toDouble()};
}

QString describe(const QList<QDBusMessage> &updates)
{
    QStringList shown;
    for (const QDBusMessage &u : updates) {
        const Progress p = progressOf(u);
        shown.append(p.visible ? QString::number(p.progress) : QString("hidden"));
    }
    return shown.join(' ');
}

QString kelvaneOnBus()
{
    return QDBusConnection::sessionBus().baseService();
}

} // namespace

class TestDesktopBus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void notifiesWhenNotActive_data();
    void notifiesWhenNotActive();
    void silentWhenActive();
    void hiddenWhenWindowIsDestroyed();
    void hiddenWhenProgramQuits();
    void noNotificationService();
    void actionRestoresMinimisedWindow();

private:
    // Waits until the window's calls have been answered, then until a marker sent after them
    // has passed the monitor: whatever the window sent is then recorded.
    void settle(Harness &h);
    // The window shown, and another window the active one.
    void showBehind(Harness &h, QWidget &other);

    Recorder m_recorder;
    QTemporaryDir m_dir;
    QString m_tone;
};

void TestDesktopBus::initTestCase()
{
    QVERIFY2(desktop->ready(), "dbus-daemon and Xvfb must start (scripts/deps.sh installs them)");
    QVERIFY(m_recorder.attach(desktop->address));
    desktop->startDunst();
    QDBusConnection probe = QDBusConnection::connectToBus(desktop->address, "probe");
    QTRY_VERIFY_WITH_TIMEOUT(probe.interface()->isServiceRegistered(Notifications), 10000);
    m_tone = m_dir.filePath("tone.wav");
    QVERIFY(fixtures::ffmpeg(fixtures::sine(3), m_tone));
}

void TestDesktopBus::init()
{
    desktop->dunstctl({"close-all"});
    m_recorder.messages.clear();
}

void TestDesktopBus::showBehind(Harness &h, QWidget &other)
{
    h.window.show();
    other.show();
    other.activateWindow();
    QTRY_VERIFY(other.isActiveWindow());
    QVERIFY(!h.window.isActiveWindow());
}

void TestDesktopBus::settle(Harness &h)
{
    QTRY_VERIFY_WITH_TIMEOUT(h.window.findChildren<QDBusPendingCallWatcher *>().isEmpty(), 30000);
    const qsizetype before = m_recorder.sent("Marker").size();
    QDBusConnection::sessionBus().send(
        QDBusMessage::createSignal("/io/github/kelvane/Test", MarkerInterface, "Marker"));
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder.sent("Marker").size(), before + 1, 10000);
}

// Finished, failed and stopped: one notification in the notice's words, with the output's
// name; the launcher entry shows the progress from 0, rising, and hides it at the end.
void TestDesktopBus::notifiesWhenNotActive_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("notice");
    QTest::newRow("finished") << "finished"
                              << "Tom & Jerry <live>.ac3"
                              << "Finished";
    QTest::newRow("failed") << "failed"
                            << "broken.ac3"
                            << "Conversion failed: ffmpeg exited with code 1. The log shows the "
                               "details.";
    QTest::newRow("stopped") << "stopped"
                             << "live.ac3"
                             << "The conversion was stopped. The log shows the details.";
}

void TestDesktopBus::notifiesWhenNotActive()
{
    QFETCH(QString, how);
    QFETCH(QString, output);
    QFETCH(QString, notice);
    Harness h;
    QWidget other;
    showBehind(h, other);
    const QString out = m_dir.filePath(output);
    std::unique_ptr<LiveSource> live;
    if (how == "stopped") {
        live = std::make_unique<LiveSource>(m_dir.filePath("live.wav"));
        QVERIFY(startLiveJob(h, m_dir.filePath("live.wav"), out));
        // A few percent more, for the steps in between.
        const int at = h.window.bar->value();
        QTRY_VERIFY_WITH_TIMEOUT(h.window.bar->value() > at + h.window.bar->maximum() / 50, 20000);
        h.convert();
    } else {
        QString source = m_tone;
        if (how == "failed") {
            source = m_dir.filePath("not media.wav");
            QFile f(source);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not a sound\n");
        }
        h.chooseSource(source);
        h.chooseOutput(out);
        h.convert();
    }
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{notice});
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder.sent("Notify", kelvaneOnBus()).size(), 1, 10000);
    settle(h);

    const QDBusMessage notify = m_recorder.sent("Notify", kelvaneOnBus()).constFirst();
    const QVariantList args = notify.arguments();
    QCOMPARE(args.size(), 8);
    QCOMPARE(args[0].toString(), QString("Kelvane"));
    QCOMPARE(args[2].toString(), QString("kelvane"));
    QCOMPARE(args[3].toString(), QString("Kelvane"));
    // dunst reads markup, so the name's own brackets and ampersand arrive escaped.
    QCOMPARE(args[4].toString(), (notice + "\n" + output).toHtmlEscaped());
    QCOMPARE(args[5].toStringList(), QStringList({"default", "Show Kelvane"}));
    const QVariantMap hints = qdbus_cast<QVariantMap>(args[6]);
    QCOMPARE(hints.value("desktop-entry").toString(), QString("io.github.kelvane.Kelvane"));
    QVERIFY(hints.contains("image-data"));
    qInfo("%s: Notify(app \"%s\", icon \"%s\", summary \"%s\", body \"%s\", actions [%s], "
          "hints [%s])",
          qPrintable(how), qPrintable(args[0].toString()), qPrintable(args[2].toString()),
          qPrintable(args[3].toString()), qPrintable(args[4].toString().replace('\n', "\\n")),
          qPrintable(args[5].toStringList().join(", ")), qPrintable(hints.keys().join(", ")));

    const QList<QDBusMessage> updates = m_recorder.sent("Update", kelvaneOnBus());
    qInfo("%s: %lld Update signals: %s", qPrintable(how), qlonglong(updates.size()),
          qPrintable(describe(updates)));
    QVERIFY(updates.size() >= 2);
    for (const QDBusMessage &u : updates) {
        QCOMPARE(u.path(), QString("/io/github/kelvane/Kelvane/LauncherEntry"));
        QCOMPARE(u.arguments().value(0).toString(),
                 QString("application://io.github.kelvane.Kelvane.desktop"));
    }
    QVERIFY(progressOf(updates.first()).visible);
    QCOMPARE(progressOf(updates.first()).progress, 0.0);
    QVERIFY(!progressOf(updates.last()).visible);
    // Each signal a visible step of at least a percent, never back, never a repeat.
    for (qsizetype i = 1; i + 1 < updates.size(); ++i) {
        QVERIFY(progressOf(updates[i]).visible);
        QVERIFY(progressOf(updates[i]).progress >= progressOf(updates[i - 1]).progress + 0.0099);
        QVERIFY(progressOf(updates[i]).progress <= 1.0);
    }
    // The hidden progress comes before the notification.
    qsizetype lastUpdate = -1;
    qsizetype firstNotify = -1;
    for (qsizetype i = 0; i < m_recorder.messages.size(); ++i) {
        const QDBusMessage &m = m_recorder.messages[i];
        if (m.service() != kelvaneOnBus())
            continue;
        if (m.member() == "Update")
            lastUpdate = i;
        if (m.member() == "Notify" && firstNotify < 0)
            firstNotify = i;
    }
    QVERIFY(lastUpdate < firstNotify);
    if (how == "stopped") {
        QVERIFY(updates.size() > 3);
        // The last step shown is the bar's fraction as it stood at the end.
        const double bar = double(h.barAtNotice) / h.window.bar->maximum();
        QCOMPARE(progressOf(updates[updates.size() - 2]).progress, std::floor(bar * 100) / 100);
    }

    // The server shows it; its action brings the window forward.
    QTRY_COMPARE_WITH_TIMEOUT(desktop->dunstctl({"count", "displayed"}), QByteArray("1"), 10000);
    desktop->dunstctl({"action", "0"});
    QTRY_VERIFY_WITH_TIMEOUT(h.window.isActiveWindow(), 10000);
    // The bus recorder hears the signal on its own connection, maybe after the window woke.
    QTRY_COMPARE_WITH_TIMEOUT(m_recorder.sent("ActionInvoked").size(), 1, 10000);
    const QList<QDBusMessage> invoked = m_recorder.sent("ActionInvoked");
    QCOMPARE(invoked.first().arguments().value(1).toString(), QString("default"));
    qInfo("%s: dunst sent ActionInvoked(%u, \"%s\"); the window is active again", qPrintable(how),
          invoked.first().arguments().value(0).toUInt(),
          qPrintable(invoked.first().arguments().value(1).toString()));
}

// The window in front needs no notification: the notice is enough. The progress comes and
// goes as ever.
void TestDesktopBus::silentWhenActive()
{
    Harness h;
    h.window.show();
    h.window.activateWindow();
    QTRY_VERIFY(h.window.isActiveWindow());
    h.chooseSource(m_tone);
    h.chooseOutput(m_dir.filePath("active.ac3"));
    h.convert();
    QVERIFY(h.finish());
    QCOMPARE(h.notices, QStringList{"Finished"});
    settle(h);
    QCOMPARE(m_recorder.sent("GetCapabilities").size(), 0);
    QCOMPARE(m_recorder.sent("Notify").size(), 0);
    const QList<QDBusMessage> updates = m_recorder.sent("Update", kelvaneOnBus());
    qInfo("active window: no Notify; %lld Update signals: %s", qlonglong(updates.size()),
          qPrintable(describe(updates)));
    QVERIFY(updates.size() >= 2);
    QVERIFY(!progressOf(updates.last()).visible);
    QCOMPARE(desktop->dunstctl({"count", "displayed"}), QByteArray("0"));
}

// A window that goes away mid-job takes its progress off the task bar.
void TestDesktopBus::hiddenWhenWindowIsDestroyed()
{
    LiveSource live(m_dir.filePath("gone.wav"));
    {
        Harness h;
        QVERIFY(startLiveJob(h, m_dir.filePath("gone.wav"), m_dir.filePath("gone.ac3")));
        QTRY_VERIFY(!m_recorder.sent("Update", kelvaneOnBus()).isEmpty());
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        !progressOf(m_recorder.sent("Update", kelvaneOnBus()).constLast()).visible, 10000);
    const QList<QDBusMessage> updates = m_recorder.sent("Update", kelvaneOnBus());
    qInfo("window destroyed mid-job: %s", qPrintable(describe(updates)));
    QVERIFY(progressOf(updates.first()).visible);
    QCOMPARE(m_recorder.sent("Notify").size(), 0);
}

// The program itself, quit by File > Exit during a job: the last word on the bus is "hidden".
void TestDesktopBus::hiddenWhenProgramQuits()
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--quit-during-job", m_dir.filePath("quit.wav"), m_dir.filePath("quit.ac3")});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QList<QDBusMessage> updates;
    QTRY_VERIFY_WITH_TIMEOUT(!(updates = m_recorder.sent("Update")).isEmpty() &&
                                 !progressOf(updates.last()).visible,
                             10000);
    qInfo("program quit mid-job: %s", qPrintable(describe(updates)));
    QVERIFY(progressOf(updates.first()).visible);
    QVERIFY(updates.size() >= 3);
    QCOMPARE(m_recorder.sent("Notify").size(), 0);
}

// No notification service on the bus: the call finds nobody, and the job and its notice are
// exactly as before, without delay.
void TestDesktopBus::noNotificationService()
{
    desktop->stopDunst();
    QDBusConnection probe = QDBusConnection::connectToBus(desktop->address, "probe");
    QTRY_VERIFY(!probe.interface()->isServiceRegistered(Notifications));
    Harness h;
    QWidget other;
    showBehind(h, other);
    h.chooseSource(m_tone);
    h.chooseOutput(m_dir.filePath("unheard.ac3"));
    const TimedJob timed = timedJob(h);
    QVERIFY(timed.finished);
    QCOMPARE(h.notices, QStringList{"Finished"});
    QVERIFY(h.barAtNotice > 0);
    QCOMPARE(h.window.bar->value(), 0);
    QCOMPARE(h.window.Button1->text(), QString("Convert"));
    QVERIFY(QFileInfo(m_dir.filePath("unheard.ac3")).size() > 0);
    settle(h);
    QCOMPARE(m_recorder.sent("GetCapabilities", kelvaneOnBus()).size(), 1);
    QCOMPARE(m_recorder.sent("Notify").size(), 0);
    qInfo("no service: GetCapabilities found no owner on the bus, no Notify; job to notice "
          "%lld ms, longest event-loop gap %lld ms; Updates: %s",
          timed.tookMs, timed.longestGap,
          qPrintable(describe(m_recorder.sent("Update", kelvaneOnBus()))));
    QVERIFY(timed.longestGap < 1000);
}

namespace {

QString x11(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessEnvironment(desktop->environment());
    p.start(program, arguments);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The child's next line on its standard output, "word number".
qulonglong childSays(QProcess &child, const QString &word)
{
    while (!child.canReadLine() && child.waitForReadyRead(30000)) {
    }
    const QStringList said = QString::fromUtf8(child.readLine()).trimmed().split(' ');
    return said.size() == 2 && said[0] == word ? said[1].toULongLong() : 0;
}

bool hidden(qulonglong window)
{
    return x11("xprop", {"-id", QString::number(window), "_NET_WM_STATE"})
        .contains("_NET_WM_STATE_HIDDEN");
}

} // namespace

// The real program minimised under a window manager when its job ends: the notice waits with
// it, and the notification's action brings back the window and, in front and active, the box.
void TestDesktopBus::actionRestoresMinimisedWindow()
{
    desktop->startDunst(); // an earlier case may have stopped it
    QDBusConnection probe = QDBusConnection::connectToBus(desktop->address, "probe");
    QTRY_VERIFY_WITH_TIMEOUT(probe.interface()->isServiceRegistered(Notifications), 10000);
    QProcess wm;
    wm.setProcessEnvironment(desktop->environment());
    wm.start("openbox", {"--sm-disable"});
    QVERIFY2(wm.waitForStarted(), "openbox (scripts/deps.sh installs it)");
    const auto stopWm = qScopeGuard([&] {
        wm.terminate();
        wm.waitForFinished();
    });
    QTRY_VERIFY_WITH_TIMEOUT(
        x11("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id"), 10000);

    QProcess child;
    QProcessEnvironment env = desktop->environment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {"--notice-while-minimised", m_tone, m_dir.filePath("minimised.ac3")});
    const auto stopChild = qScopeGuard([&] {
        child.kill();
        child.waitForFinished();
    });
    const qulonglong window = childSays(child, "window");
    QVERIFY(window);
    const qulonglong box = childSays(child, "notice");
    QVERIFY(box);
    QTRY_COMPARE_WITH_TIMEOUT(desktop->dunstctl({"count", "displayed"}), QByteArray("1"), 10000);
    QVERIFY(hidden(window));
    QVERIFY(x11("xdotool", {"getactivewindow"}) != QString::number(box));

    desktop->dunstctl({"action", "0"});
    QTRY_COMPARE_WITH_TIMEOUT(x11("xdotool", {"getactivewindow"}), QString::number(box), 10000);
    QVERIFY(!hidden(window));
    QVERIFY(!hidden(box));
    QVERIFY(x11("xwininfo", {"-id", QString::number(window)}).contains("IsViewable"));
    qInfo("the action restored window 0x%llx and activated its notice 0x%llx", window, box);
    // The box answers the keyboard: Return is its OK, and the child then ends.
    x11("xdotool", {"key", "Return"});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitCode(), 0);
}

namespace {

// The child of hiddenWhenProgramQuits: the program's own exit path with a job running.
int quitDuringJob(int argc, char **argv)
{
    Application app(argc, argv);
    const QString fifo = QString::fromLocal8Bit(argv[2]);
    LiveSource live(fifo);
    int status = 1;
    {
        ScriptedPrompts prompts;
        prompts.answer = [](const QString &) { return true; };
        prompts.onNotice = [](const QString &text) {
            std::fprintf(stderr, "unexpected notice: %s\n", qPrintable(text));
        };
        Tmain window;
        window.setPrompts(prompts);
        window.importmedia->setFileName(fifo);
        window.saveaudio->setFileName(QString::fromLocal8Bit(argv[3]));
        window.estimatedkb = 600 * 192 / 8;
        window.show();
        QTimer::singleShot(0, &window, [&window] { window.Button1->click(); });
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &window, [&] {
            if (window.bar->value() > 0) {
                poll.stop();
                window.Exit1Click();
            }
        });
        poll.start(20);
        status = Application::exec();
    }
    return status;
}

// The child of actionRestoresMinimisedWindow: the window with its real boxes, minimised while
// its job runs; it says which X windows are its own, and ends after the notice.
int noticeWhileMinimised(int argc, char **argv)
{
    Application app(argc, argv);
    Tmain window;
    window.importmedia->setFileName(QString::fromLocal8Bit(argv[2]));
    window.saveaudio->setFileName(QString::fromLocal8Bit(argv[3]));
    window.estimatedkb = 48;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window, 30000)) {
        std::fprintf(stderr, "the window was never shown\n");
        return 2;
    }
    window.showMinimized();
    if (!QTest::qWaitFor([&] { return window.isMinimized() && !window.isActiveWindow(); }, 30000)) {
        std::fprintf(stderr, "the window was never minimised\n");
        return 3;
    }
    std::printf("window %llu\n", qulonglong(window.winId()));
    std::fflush(stdout);
    window.Button1->click();
    bool told = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        QMessageBox *box = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                box = b;
        if (box && !told) {
            told = true;
            std::printf("notice %llu\n", qulonglong(box->winId()));
            std::fflush(stdout);
        }
        if (told && !box && !window.jobRunning())
            QCoreApplication::exit(0);
    });
    poll.start(20);
    QTimer::singleShot(60000, &window, [] { QCoreApplication::exit(1); });
    return Application::exec();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && QByteArray(argv[1]) == "--quit-during-job")
        return quitDuringJob(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--notice-while-minimised")
        return noticeWhileMinimised(argc, argv);
    Desktop bus;
    desktop = &bus;
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address.toUtf8());
    Application app(argc, argv);
    TestDesktopBus test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop_bus.moc"
