#include "deliver/Mailboxes.h"
#include "store/MailStore.h"

Target::Written Mailboxes::Write(const QByteArray&, const std::vector<Copy>& copies, const QByteArray& text, size_t& failed)
{
    std::vector<MailStore::NewCopy> files;
    files.reserve(copies.size());
    for (const Copy& c : copies)
        files.push_back({c.folder, c.head, {}});
    MailStore::StoreAll(files, text, failed);
    return files;
}

void Mailboxes::Abort(Written& written)
{
    for (const MailStore::NewCopy& c : std::any_cast<std::vector<MailStore::NewCopy>&>(written))
        if (!c.stored.isEmpty()) MailStore::Discard(c.folder, c.stored);
}
