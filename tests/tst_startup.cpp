#include "application.h"
#include "fakemedia.h"
#include "mediainfo.h"
#include "testmain.h"
#include "unit1.h"

#include <QFile>
#include <QGroupBox>
#include <QMenuBar>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QToolButton>
#include <QtTest>

namespace {

bool imagePluginLoaded()
{
    QFile maps("/proc/self/maps");
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("/imageformats/");
}

} // namespace

// What the program reads before its window first shows: its own small icons, and no image
// plugin. Runs in its own process, as plugins once loaded stay.
class TestStartup : public QObject
{
    Q_OBJECT
private slots:
    void nothingButWhatTheWindowShows();
};

void TestStartup::nothingButWhatTheWindowShows()
{
    QVERIFY(!imagePluginLoaded());
    Tmain window(std::make_unique<FakeMedia>());
    QVERIFY2(!imagePluginLoaded(), "an image plugin was loaded before the window was shown");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage painted = window.grab().toImage();
    QVERIFY2(!imagePluginLoaded(), "an image plugin was loaded for the first paint");

    // The icon a title bar and a window list draw, in the sizes they draw it at.
    const QIcon icon = QApplication::windowIcon();
    QCOMPARE(icon.availableSizes(), (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}}));
    QCOMPARE(icon.pixmap(32).toImage().pixelColor(16, 16).alpha(), 255);

    // The menu bar's overflow button still gets its icon, once it is drawn.
    const auto *more = window.menuBar()->findChild<QToolButton *>();
    QVERIFY(more);
    const QPixmap drawn = more->icon().pixmap(16);
    QVERIFY(!drawn.isNull());
    const auto *style = qobject_cast<QProxyStyle *>(QApplication::style());
    QVERIFY(style);
    QCOMPARE(drawn.toImage(), style->baseStyle()
                                  ->standardIcon(QStyle::SP_ToolBarHorizontalExtensionButton)
                                  .pixmap(16)
                                  .toImage());

    // The group box's frame, drawn from its picture read as PNG, is the one Fusion draws.
    auto *group = window.findChild<QGroupBox *>("GroupBox1");
    QCOMPARE(style->baseStyle()->name(), QString("fusion"));
    const QImage ours = group->grab().toImage();
    const std::unique_ptr<QStyle> fusion(QStyleFactory::create("fusion"));
    group->setStyle(fusion.get());
    QCOMPARE(group->grab().toImage(), ours);
    QVERIFY(imagePluginLoaded()); // Fusion's own way, for comparison
    QVERIFY(!painted.isNull());
}

KELVANE_TEST_MAIN(Application, TestStartup)

#include "tst_startup.moc"
