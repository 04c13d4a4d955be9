#include "style.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QStyleOption>
#include <QWidget>

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
