#include "imap/ImapHeaders.h"
#include "mail/Header.h"
#include "store/MailboxIndex.h"

#include <QCache>
#include <QHash>

namespace Imap {
namespace {

// Bytes of headers kept over all folders; those asked for longest ago go first.
constexpr qsizetype HeldBytes = 32 * 1024 * 1024;

// A folder renamed keeps its UIDs; one made again under an old name has a new UIDVALIDITY.
struct Key {
    QString folder;
    quint32 validity = 0;
    quint32 uid = 0;
    bool operator==(const Key&) const = default;
};

size_t qHash(const Key& k, size_t seed = 0) { return qHashMulti(seed, k.folder, k.validity, k.uid); }

}

QByteArray HeaderOf(const MailboxIndex& box, quint32 uid)
{
    static QCache<Key, QByteArray> held(HeldBytes);
    Key key{box.Path(), box.UidValidity(), uid};
    if (const QByteArray* header = held.object(key))
        return *header;
    const QByteArray text = box.Text(uid);
    const QByteArray header = text.left(Mail::Header(text).BodyStart());
    const qsizetype cost = header.size() + key.folder.size() * qsizetype(sizeof(QChar)) + qsizetype(sizeof(Key));
    held.insert(std::move(key), new QByteArray(header), cost);   // one too big to keep is dropped at once
    return header;
}

}
