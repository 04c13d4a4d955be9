#pragma once

// The pictures of a finished job: the screen is taken while the notice, a real message box,
// is up, then the notice is closed and the program quits.

#include "prompts.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include <functional>

// The real boxes, but the file dialogs answered with the files given.
class FilesGiven final : public Prompts
{
public:
    FilesGiven(QWidget *window, QString source, QString output)
        : m_boxes(window), m_source(std::move(source)), m_output(std::move(output))
    {}

    void notice(const QString &text) override { m_boxes.notice(text); }
    bool question(const QString &text) override { return m_boxes.question(text); }
    void error(const QString &text) override { m_boxes.error(text); }
    std::optional<QStringList> chooseFile(const FileRequest &dialog) override
    {
        return QStringList{dialog.mode == FileRequest::Open ? m_source : m_output};
    }

private:
    DialogPrompts m_boxes;
    QString m_source;
    QString m_output;
};

class NoticePicture
{
public:
    // ready: anything else that must be on the screen besides the notice.
    NoticePicture(QString picture, std::function<bool()> ready = {})
        : m_picture(std::move(picture)), m_ready(std::move(ready))
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] { check(); });
    }
    Q_DISABLE_COPY_MOVE(NoticePicture)

    void start(int pollMs) { m_poll.start(pollMs); }
    // 0 once the picture is saved.
    int status() const { return m_status; }

private:
    void check()
    {
        // Modal, or not yet while the program is not the active one.
        QMessageBox *box = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                box = b;
        if (!box || (m_ready && !m_ready()))
            return;
        m_poll.stop();
        // The box's first paint and the compositor's come a moment after it is shown.
        QTimer::singleShot(500, [this, box] {
            m_status = QGuiApplication::primaryScreen()->grabWindow(0).save(m_picture) ? 0 : 1;
            box->accept();
            QTimer::singleShot(200, qApp, &QCoreApplication::quit);
        });
    }

    QString m_picture;
    std::function<bool()> m_ready;
    QTimer m_poll;
    int m_status = 1;
};
