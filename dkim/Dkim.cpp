// DKIM signing: the fields signed and the DKIM-Signature field.
#include "dkim/Dkim.h"
#include "mail/AddressList.h"

#include <algorithm>

namespace Dkim {
namespace {

// Header lines are cut to this many characters (CR LF not counted).
constexpr qsizetype MaxLine = 76;

// Fields worth signing (RFC 6376 5.4.1, and those that shape how the body reads), in h= order.
const char* const Worth[] = {"from", "to", "cc", "subject", "date", "message-id", "reply-to", "in-reply-to", "references",
                             "mime-version", "content-type", "content-transfer-encoding", "resent-date", "resent-from",
                             "resent-to", "resent-cc", "list-id", "list-help", "list-unsubscribe", "list-subscribe",
                             "list-post", "list-owner", "list-archive"};

// The signature of `data`: RSA over its SHA-256 hash; Ed25519 over the SHA-256 hash itself
// (RFC 8463). "" when OpenSSL fails.
QByteArray SignData(const Key& key, const QByteArray& data)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    QByteArray input = data;
    if (key.ed25519)
        input = Sha256(data);
    size_t length = 0;
    if (!ctx || input.isEmpty() || EVP_DigestSignInit(ctx.get(), nullptr, key.ed25519 ? nullptr : EVP_sha256(), nullptr, key.pkey.get()) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(input.constData()), size_t(input.size())) != 1)
        return {};
    QByteArray signature(qsizetype(length), '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(input.constData()), size_t(input.size())) != 1)
        return {};
    signature.truncate(qsizetype(length));
    return signature;
}

// A tag cut where folding white space may stand inside it: each piece stays on one line.
using Tag = QList<QByteArray>;

// Base64 may be folded anywhere: one piece per character after the first.
Tag Base64Tag(const QByteArray& name, const QByteArray& value)
{
    Tag tag{name + value.left(1)};
    for (qsizetype i = 1; i < value.size(); ++i)
        tag << value.mid(i, 1);
    return tag;
}

// The DKIM-Signature field with its tags in lines of at most MaxLine characters. Folding
// depends only on what comes before, so the field with b= empty folds as the signed one does
// up to its b=.
QByteArray Folded(const QList<Tag>& tags)
{
    QByteArray field, line = "DKIM-Signature:";
    for (qsizetype t = 0; t < tags.size(); ++t)
        for (qsizetype p = 0; p < tags[t].size(); ++p) {
            const QByteArray piece = tags[t][p] + (p + 1 == tags[t].size() && t + 1 < tags.size() ? ";" : "");
            const QByteArray gap = p == 0 ? " " : "";
            if (line.size() + gap.size() + piece.size() > MaxLine && line.size() > 1) {
                field += line + "\r\n";
                line = '\t' + piece;
            } else {
                line += gap + piece;
            }
        }
    return field + line + "\r\n";
}

}

QList<QByteArray> SignedNames(const std::vector<Mail::Field>& fields)
{
    QList<QByteArray> names;
    for (const char* name : Worth) {
        qsizetype present = 0;
        for (const Mail::Field& f : fields)
            present += f.name.compare(name, Qt::CaseInsensitive) == 0;
        if (qstrcmp(name, "from") == 0)
            ++present;
        for (qsizetype i = 0; i < present; ++i)
            names << name;
    }
    return names;
}

Signature Signer::Sign(const QByteArray& text, qint64 now, bool senderOurs) const
{
    Signature made;
    if (keys_.empty())
        return made;
    const Mail::Header header(text);
    if (!header.Readable()) {
        made.error = "a header line is not a field";
        return made;
    }
    const std::vector<Mail::Field>& fields = header.Fields();
    if (!senderOurs) {
        const auto from = std::find_if(fields.begin(), fields.end(), [](const Mail::Field& f) { return f.Is("from"); });
        if (from == fields.end() || !Mail::AddressList::Parse(from->Value()).FirstDomain().IsServed(QString::fromUtf8(domain_)))
            return made;
    }
    const QList<QByteArray> names = SignedNames(fields);
    // Each name takes the lowest field of that name not yet taken; one too many takes nothing.
    QByteArray signedFields;
    std::vector<bool> taken(fields.size());
    for (const QByteArray& name : names)
        for (size_t i = fields.size(); i-- > 0;)
            if (!taken[i] && fields[i].name.compare(name, Qt::CaseInsensitive) == 0) {
                taken[i] = true;
                signedFields += RelaxedHeader(fields[i].raw);
                break;
            }
    const QByteArray bodyHash = BodyHash(QByteArrayView(text).sliced(header.BodyStart()), true);
    if (bodyHash.isEmpty()) {
        made.error = "hashing failed: " + OpenSslError();
        return made;
    }
    Tag h{"h=" + names.first()};
    for (qsizetype i = 1; i < names.size(); ++i)
        h << ':' + names[i];
    QByteArray algorithms;
    for (const Key& key : keys_) {
        const QList<Tag> tags{{"v=1"}, {"a=" + key.Algorithm()}, {"c=relaxed/relaxed"}, {"d=" + domain_}, {"s=" + key.selector},
                              {"t=" + QByteArray::number(now)}, h, {"bh=" + bodyHash.toBase64()}};
        // The field signs itself too: with b= empty and without its CR LF.
        const QByteArray bEmpty = RelaxedHeader(Folded(tags + QList<Tag>{{"b="}}));
        const QByteArray signature = SignData(key, signedFields + bEmpty.chopped(2));
        if (signature.isEmpty()) {
            made.error = key.Algorithm() + " signing failed: " + OpenSslError();
            made.header.clear();
            return made;
        }
        made.header += Folded(tags + QList<Tag>{Base64Tag("b=", signature.toBase64())});
        algorithms += (algorithms.isEmpty() ? "" : ", ") + key.Algorithm();
    }
    made.summary = "d=" + domain_ + " s=" + keys_.front().selector + " (" + algorithms + ")";
    return made;
}

}
