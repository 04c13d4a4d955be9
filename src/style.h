#pragma once

#include <QProxyStyle>

// The desktop's style as it is, except that its pictures are read without guessing their
// format: a guess loads every image plugin (SVG, JPEG, GIF, ICO...) before the window can show.
// The menu bar's overflow button gets its icon when it is first drawn, and Fusion's group-box
// frame is drawn here from its picture read as the PNG it is.
class Style final : public QProxyStyle
{
    Q_OBJECT
public:
    // Takes over base, the style the application would otherwise use.
    explicit Style(QStyle *base) : QProxyStyle(base) {}

    QIcon standardIcon(StandardPixmap which, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
};

// The WCAG contrast ratio of two opaque colours, 1 to 21.
qreal contrastRatio(const QColor &a, const QColor &b);

// Makes the palette's PlaceholderText readable on its Window (3:1 at least) where it is not;
// true if it changed anything. The application keeps its palette so, and grey secondary text
// takes that role in any colour scheme.
bool keepGreyReadable(QPalette &palette);

// A PNG picture read by Qt's built-in reader, without guessing its format.
QImage readPng(const QString &path);
