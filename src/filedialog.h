#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class Prompts;

// A file dialog that keeps its last chosen file name between uses, as the window's record of
// the chosen path. Filters are written "Description|*.a;*.b|...". It is shown through the window's
// prompts.
class FileDialog final : public QObject
{
    Q_OBJECT
public:
    enum Mode
    {
        Open,
        Save
    };
    FileDialog(Mode mode, Prompts *prompts, QObject *parent);
    Q_DISABLE_COPY_MOVE(FileDialog)

    Mode mode() const { return m_mode; }
    QString filter() const { return m_filter; }
    void setFilter(const QString &filter) { m_filter = filter; }
    QString defaultExt() const { return m_defaultExt; }
    void setDefaultExt(const QString &ext) { m_defaultExt = ext; }
    QString FileName() const { return m_fileName; }
    void setFileName(const QString &name) { m_fileName = name; }

    // The filter as Qt name filters, pair by pair: "AC3 (*.ac3)".
    QStringList nameFilters() const;

    // Shows the dialog; true when the user confirmed. A cancel keeps FileName as it was.
    bool execute();

    void setPrompts(Prompts *prompts) { m_prompts = prompts; }

private:
    const Mode m_mode;
    Prompts *m_prompts;
    QString m_filter;
    QString m_defaultExt;
    QString m_fileName;
};
