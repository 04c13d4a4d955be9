#include "style.h"

#include <QApplication>
#include <QGroupBox>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QStyleOption>
#include <QWidget>
#include <qdrawutil.h>

#include <cmath>
#include <functional>
#include <utility>

namespace {

// An icon made by `make` the first time it is drawn or measured.
class DeferredIcon final : public QIconEngine
{
public:
    explicit DeferredIcon(std::function<QIcon()> make) : m_make(std::move(make)) {}

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state,
                         qreal scale) override
    {
        return icon().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    QIconEngine *clone() const override { return new DeferredIcon(*this); }

private:
    const QIcon &icon()
    {
        if (m_icon.isNull() && m_make) {
            m_icon = m_make();
            m_make = nullptr;
        }
        return m_icon;
    }

    std::function<QIcon()> m_make;
    QIcon m_icon;
};

} // namespace

namespace {

// WCAG relative luminance.
qreal luminance(const QColor &colour)
{
    const auto linear = [](qreal c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

// over painted on an opaque under.
QColor composed(const QColor &over, const QColor &under)
{
    const float a = over.alphaF();
    return QColor::fromRgbF(over.redF() * a + under.redF() * (1 - a),
                            over.greenF() * a + under.greenF() * (1 - a),
                            over.blueF() * a + under.blueF() * (1 - a));
}

} // namespace

qreal contrastRatio(const QColor &a, const QColor &b)
{
    const qreal la = luminance(a);
    const qreal lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool keepGreyReadable(QPalette &palette)
{
    bool changed = false;
    // A scheme that sets its own colours but not this one leaves Qt's default, half-transparent
    // black, which vanishes on a dark window: it is then made from the scheme's own text colour.
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const QColor window = palette.color(group, QPalette::Window);
        const QColor text = palette.color(group, QPalette::WindowText);
        if (contrastRatio(composed(palette.color(group, QPalette::PlaceholderText), window),
                          window) >= 3.0)
            continue;
        // Three fifths of the way from the window to its text: grey, and well above 3:1 wherever
        // the text itself reads.
        palette.setColor(
            group, QPalette::PlaceholderText,
            composed(QColor::fromRgbF(text.redF(), text.greenF(), text.blueF(), 0.6F), window));
        changed = true;
    }
    return changed;
}

QImage readPng(const QString &path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

QIcon Style::standardIcon(StandardPixmap which, const QStyleOption *option,
                          const QWidget *widget) const
{
    if (which != SP_ToolBarHorizontalExtensionButton && which != SP_ToolBarVerticalExtensionButton)
        return QProxyStyle::standardIcon(which, option, widget);
    // The direction now, not the option, which does not outlive this call.
    const Qt::LayoutDirection direction =
        option ? option->direction
               : (widget ? widget->layoutDirection() : QGuiApplication::layoutDirection());
    return QIcon(new DeferredIcon([base = baseStyle(), which, direction] {
        QStyleOption now;
        now.direction = direction;
        return base->standardIcon(which, &now, nullptr);
    }));
}

void Style::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                          const QWidget *widget) const
{
    if (element != PE_FrameGroupBox || baseStyle()->name() != QLatin1String("fusion")) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    // Fusion's own frame: its picture around the box, below the title.
    static const QPixmap frame = QPixmap::fromImage(
        readPng(QStringLiteral(":/qt-project.org/styles/commonstyle/images/fusion_groupbox.png")));
    constexpr int TopMargin = 3;
    int top = TopMargin;
    const auto *box = qobject_cast<const QGroupBox *>(widget);
    if (!box || box->isCheckable() || !box->title().isEmpty())
        top += std::max(pixelMetric(PM_ExclusiveIndicatorHeight, option, widget),
                        option->fontMetrics.height());
    qDrawBorderPixmap(painter, option->rect.adjusted(0, top, 0, 0), QMargins(6, 6, 6, 6), frame);
}
