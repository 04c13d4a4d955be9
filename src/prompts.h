#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

// What a file dialog asks of the person: open or save, the filter written
// "Description|*.a;*.b|...", the default extension, and the file name it holds.
struct FileRequest
{
    enum Mode
    {
        Open,
        Save
    };
    Mode mode = Open;
    QString filter;
    QString defaultExt;
    QString fileName;

    // The filter as Qt name filters, pair by pair: "AC3 (*.ac3)".
    QStringList nameFilters() const;
};

// Everything the program asks of the person in front of it. The window shows its notices,
// questions and file dialogs through one of these, and the application its error boxes; tests
// put a scripted one in place of the person.
class Prompts
{
public:
    virtual ~Prompts() = default;

    // A notice with an OK button. The real box takes no keyboard focus from another program
    // until the person comes back to this one.
    virtual void notice(const QString &text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool question(const QString &text) = 0;
    // The error box for what ended a handler.
    virtual void error(const QString &text) = 0;
    // The files chosen in the dialog, or nothing for a cancel.
    virtual std::optional<QStringList> chooseFile(const FileRequest &request) = 0;
};

// The real boxes and file dialogs, modal over window.
class DialogPrompts final : public Prompts
{
public:
    explicit DialogPrompts(QWidget *window) : m_window(window) {}

    void notice(const QString &text) override;
    bool question(const QString &text) override;
    void error(const QString &text) override;
    std::optional<QStringList> chooseFile(const FileRequest &request) override;

private:
    QWidget *const m_window;
};
