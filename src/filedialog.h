#pragma once

#include "prompts.h"

#include <QObject>
#include <QString>
#include <QStringList>

// A file dialog that keeps its last chosen file name between uses, as the window's record of
// the chosen path. Filters are written "Description|*.a;*.b|...". It is shown through the window's
// prompts.
class FileDialog final : public QObject
{
    Q_OBJECT
public:
    using Mode = FileRequest::Mode;
    static constexpr Mode Open = FileRequest::Open;
    static constexpr Mode Save = FileRequest::Save;
    FileDialog(Mode mode, Prompts *prompts, QObject *parent);
    Q_DISABLE_COPY_MOVE(FileDialog)

    Mode mode() const { return m_request.mode; }
    QString filter() const { return m_request.filter; }
    void setFilter(const QString &filter) { m_request.filter = filter; }
    QString defaultExt() const { return m_request.defaultExt; }
    void setDefaultExt(const QString &ext) { m_request.defaultExt = ext; }
    QString FileName() const { return m_request.fileName; }
    void setFileName(const QString &name) { m_request.fileName = name; }

    // The filter as Qt name filters, pair by pair: "AC3 (*.ac3)".
    QStringList nameFilters() const { return m_request.nameFilters(); }

    // Shows the dialog; true when the user confirmed. A cancel keeps FileName as it was.
    bool execute();

    void setPrompts(Prompts *prompts) { m_prompts = prompts; }

private:
    Prompts *m_prompts;
    FileRequest m_request;
};
