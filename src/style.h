#pragma once

#include <QProxyStyle>

// The desktop's style as it is, except that nothing is read from disk for a control that is
// not drawn yet: the menu bar's overflow button gets its icon when it is first drawn. Reading
// it at once means guessing the file's format, which loads every image plugin before the
// window can show.
class Style final : public QProxyStyle
{
    Q_OBJECT
public:
    // Takes over base, the style the application would otherwise use.
    explicit Style(QStyle *base) : QProxyStyle(base) {}

    QIcon standardIcon(StandardPixmap which, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
};
