#include "prompts.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace {

const QString caption = QStringLiteral("Kelvane Message");

// Shows box and waits for its answer. While the person works in another program, the box comes
// up without taking the keyboard from them: their next key press is not an answer they never
// meant, and the desktop's notification tells them. Qt asks for a modal window to be activated
// whatever it is shown with, so the box is first shown without modality, and made modal, and
// active, once the person comes to the program (by switching to it, clicking the box or through
// the notification).
int execOutOfTheWay(QMessageBox &box)
{
    if (QApplication::activeWindow())
        return box.exec();
    box.setWindowModality(Qt::NonModal);
    box.setAttribute(Qt::WA_ShowWithoutActivating);
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::exit);
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &loop,
                     [&box](Qt::ApplicationState state) {
                         if (state != Qt::ApplicationActive || box.isModal() || !box.isVisible())
                             return;
                         // Modality takes effect at the next show.
                         box.hide();
                         box.setAttribute(Qt::WA_ShowWithoutActivating, false);
                         box.setWindowModality(Qt::ApplicationModal);
                         box.show();
                         box.activateWindow();
                     });
    box.show();
    return loop.exec(QEventLoop::DialogExec);
}

} // namespace

void DialogPrompts::notice(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, m_window);
    execOutOfTheWay(box);
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

QStringList FileRequest::nameFilters() const
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters.append(QStringLiteral("%1 (%2)").arg(parts[i], patterns));
    }
    return filters;
}

std::optional<QStringList> DialogPrompts::chooseFile(const FileRequest &request)
{
    QFileDialog dialog(m_window);
    dialog.setNameFilters(request.nameFilters());
    if (request.mode == FileRequest::Open) {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFiles);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(request.defaultExt);
    }
    const QString &fileName = request.fileName;
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
