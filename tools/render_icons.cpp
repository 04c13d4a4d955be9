// make icons: renders the SVG icon into the PNG sizes the desktop's icon theme uses.
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: render_icons ICON.svg HICOLOR_DIR\n");
        return 2;
    }
    const QIcon icon(QString::fromLocal8Bit(argv[1]));
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QString("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[2])).arg(size);
        QDir().mkpath(dir);
        const QPixmap pixmap = icon.pixmap(QSize(size, size));
        if (pixmap.isNull() || !pixmap.save(dir + "/kelvane.png")) {
            std::fprintf(stderr, "render_icons: could not render %d x %d\n", size, size);
            return 1;
        }
    }
    return 0;
}
