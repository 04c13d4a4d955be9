#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

// A file dialog that keeps its last chosen file name between uses, as the window's record of
// the chosen path. Filters are written "Description|*.a;*.b|..."; tests answer it in place of
// a person.
class FileDialog final : public QObject
{
    Q_OBJECT
public:
    enum Mode
    {
        Open,
        Save
    };
    // Answers one execute(): the chosen files, or nothing for a cancel.
    using Answerer = std::function<std::optional<QStringList>(const FileDialog &)>;

    FileDialog(Mode mode, QWidget *parent);
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

    void setAnswerer(Answerer answerer) { m_answerer = std::move(answerer); }

private:
    std::optional<QStringList> askPerson();

    const Mode m_mode;
    QWidget *const m_parent;
    QString m_filter;
    QString m_defaultExt;
    QString m_fileName;
    Answerer m_answerer;
};
