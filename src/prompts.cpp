#include "prompts.h"

#include "filedialog.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {
const QString caption = QStringLiteral("Kelvane Message");
} // namespace

void DialogPrompts::notice(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, m_window);
    box.exec();
}

bool DialogPrompts::question(const QString &text)
{
    return QMessageBox::question(m_window, caption, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void DialogPrompts::error(const QString &text)
{
    // Over whichever window is active: an error may come from any of them.
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

std::optional<QStringList> DialogPrompts::chooseFile(const FileDialog &chooser)
{
    QFileDialog dialog(m_window);
    dialog.setNameFilters(chooser.nameFilters());
    if (chooser.mode() == FileDialog::Open) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFiles);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(chooser.defaultExt());
    }
    const QString fileName = chooser.FileName();
    if (!fileName.isEmpty()) {
        dialog.setDirectory(QFileInfo(fileName).absolutePath());
        dialog.selectFile(fileName);
    }
    const int answer = dialog.exec();
    // The window manager may hand the focus back to the dialog that has just closed when the
    // overwrite question and the dialog close together; the window takes it back itself.
    if (m_window)
        m_window->activateWindow();
    if (answer != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles();
}
