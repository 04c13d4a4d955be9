#include "filedialog.h"

FileDialog::FileDialog(Mode mode, Prompts *prompts, QObject *parent)
    : QObject(parent), m_prompts(prompts)
{
    m_request.mode = mode;
}

bool FileDialog::execute()
{
    const std::optional<QStringList> chosen = m_prompts->chooseFile(m_request);
    if (!chosen || chosen->isEmpty())
        return false;
    // Several files may be picked; the first is the one used.
    m_request.fileName = chosen->first();
    return true;
}
