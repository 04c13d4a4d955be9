#pragma once

#include "prompts.h"

#include <QStringList>

#include <functional>

// Stands in for the person: records every notice, question and error, answers the questions
// and the file dialogs as the test says.
class ScriptedPrompts final : public Prompts
{
public:
    void notice(const QString &text) override
    {
        notices.append(text);
        if (onNotice)
            onNotice(text);
    }
    bool question(const QString &text) override
    {
        questions.append(text);
        return answer ? answer(text) : false;
    }
    void error(const QString &text) override { errors.append(text); }
    std::optional<QStringList> chooseFile(const FileRequest &dialog) override
    {
        if (chooser)
            return chooser(dialog);
        const QString &chosen = dialog.mode == FileRequest::Open ? open : save;
        return chosen.isEmpty() ? std::nullopt : std::optional(QStringList{chosen});
    }

    QStringList notices;
    QStringList questions;
    QStringList errors;

    // What the file dialogs answer: the file to open and the one to save to; empty for a cancel.
    QString open;
    QString save;
    // In place of the two above, where a test looks at the dialog itself.
    std::function<std::optional<QStringList>(const FileRequest &)> chooser;
    // No to every question, unless this says otherwise.
    std::function<bool(const QString &)> answer;
    // Runs while a notice is up.
    std::function<void(const QString &)> onNotice;
};
