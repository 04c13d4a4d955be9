#include "filedialog.h"

#include <QFileDialog>
#include <QFileInfo>

FileDialog::FileDialog(Mode mode, QWidget *parent) : QObject(parent), m_mode(mode), m_parent(parent)
{}

QStringList FileDialog::nameFilters() const
{
    const QStringList parts = m_filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters.append(QStringLiteral("%1 (%2)").arg(parts[i], patterns));
    }
    return filters;
}

bool FileDialog::execute()
{
    const std::optional<QStringList> chosen = m_answerer ? m_answerer(*this) : askPerson();
    if (!chosen || chosen->isEmpty())
        return false;
    // Several files may be picked; the first is the one used.
    m_fileName = chosen->first();
    return true;
}

std::optional<QStringList> FileDialog::askPerson()
{
    QFileDialog dialog(m_parent);
    dialog.setNameFilters(nameFilters());
    if (m_mode == Open) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFiles);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(m_defaultExt);
    }
    if (!m_fileName.isEmpty()) {
        dialog.setDirectory(QFileInfo(m_fileName).absolutePath());
        dialog.selectFile(m_fileName);
    }
    const int answer = dialog.exec();
    // The window manager may hand the focus back to the dialog that has just closed when the
    // overwrite question and the dialog close together; the window takes it back itself.
    if (m_parent)
        m_parent->activateWindow();
    if (answer != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles();
}
