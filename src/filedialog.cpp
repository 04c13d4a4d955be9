#include "filedialog.h"

#include "prompts.h"

FileDialog::FileDialog(Mode mode, Prompts *prompts, QObject *parent)
    : QObject(parent), m_mode(mode), m_prompts(prompts)
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
    const std::optional<QStringList> chosen = m_prompts->chooseFile(*this);
    if (!chosen || chosen->isEmpty())
        return false;
    // Several files may be picked; the first is the one used.
    m_fileName = chosen->first();
    return true;
}
