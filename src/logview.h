#pragma once

#include <QPlainTextEdit>

// The log's box: a read-only plain-text editor whose text can be selected with the mouse and
// the keys, on the light 3-D colour, with no border but a thin soft bevel. The bevel is drawn
// here rather than by a style sheet, whose machinery would cost the window's start-up.
class LogView final : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit LogView(QWidget *parent = nullptr);

    // True when the last row is on screen: text added then should stay in sight.
    bool showsEnd() const;
    void showEnd();

protected:
    bool event(QEvent *event) override;
};
