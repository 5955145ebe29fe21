// DKIM signing: the relaxed forms, the fields signed, the keys and the DKIM-Signature field.
#include "dkim/Dkim.h"
#include "core/Settings.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/mdlCommon.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Dkim {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// Header lines are cut to this many characters (CR LF not counted).
constexpr qsizetype MaxLine = 76;

// Fields worth signing (RFC 6376 5.4.1, and those that shape how the body reads), in h= order.
const char* const Worth[] = {"from", "to", "cc", "subject", "date", "message-id", "reply-to", "in-reply-to", "references",
                             "mime-version", "content-type", "content-transfer-encoding", "resent-date", "resent-from",
                             "resent-to", "resent-cc", "list-id", "list-help", "list-unsubscribe", "list-subscribe",
                             "list-post", "list-owner", "list-archive"};

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct Key {
    std::shared_ptr<EVP_PKEY> pkey;
    QByteArray selector;
    bool ed25519 = false;
    QByteArray Algorithm() const { return ed25519 ? "ed25519-sha256" : "rsa-sha256"; }
};
// Set at start-up before anything is served; the writer threads only read them.
std::vector<Key> Keys;

// What OpenSSL said last, for a log line.
QByteArray OpenSslError()
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e)
        return "unknown error";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

QByteArray Domain()
{
    QByteArray d = mdlCommon::ServerDomain.toUtf8().toLower();
    if (d.endsWith('.'))
        d.chop(1);
    return d;
}

// A key file of the settings: its owner's alone, and of the kind asked for. Returns null with
// `problem` set otherwise.
Pkey ReadKey(const QString& setting, bool ed25519, QByteArray& problem)
{
    const QString path = QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting);
    const QByteArray shown = QFile::encodeName(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = "cannot read key file " + shown + ": " + file.errorString().toUtf8();
        return nullptr;
    }
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || (st.st_mode & 077)) {
        problem = "key file " + shown + " may be read by others (mode 0" + QByteArray::number(st.st_mode & 0777, 8)
                  + "); it is not used until only its owner may (chmod 600)";
        return nullptr;
    }
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    // No passphrase: a protected key must not make the server ask on its terminal.
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!key) {
        problem = "cannot read key file " + shown + ": " + OpenSslError();
        return nullptr;
    }
    if (ed25519 && !EVP_PKEY_is_a(key.get(), "ED25519"))
        problem = "key file " + shown + " holds no Ed25519 key";
    else if (!ed25519 && !EVP_PKEY_is_a(key.get(), "RSA"))
        problem = "key file " + shown + " holds no RSA key";
    else if (!ed25519 && EVP_PKEY_get_bits(key.get()) < 1024)   // receivers ignore shorter ones
        problem = "the RSA key in " + shown + " has " + QByteArray::number(EVP_PKEY_get_bits(key.get())) + " bits; at least 1024 are needed";
    return problem.isEmpty() ? std::move(key) : nullptr;
}

QByteArray Sha256(const std::function<void(EVP_MD_CTX*)>& feed)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr))
        return {};
    feed(ctx.get());
    if (!EVP_DigestFinal_ex(ctx.get(), digest, &length))
        return {};
    return QByteArray(reinterpret_cast<const char*>(digest), int(length));
}

// The signature of `data`: RSA over its SHA-256 hash; Ed25519 over the SHA-256 hash itself
// (RFC 8463). "" when OpenSSL fails.
QByteArray SignData(const Key& key, const QByteArray& data)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    QByteArray input = data;
    if (key.ed25519)
        input = Sha256([&data](EVP_MD_CTX* c) { EVP_DigestUpdate(c, data.constData(), size_t(data.size())); });
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

bool ParseHeader(const QByteArray& text, std::vector<Field>& fields, qsizetype& bodyStart)
{
    fields.clear();
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype lf = text.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? text.size() : lf + 1;
        const qsizetype from = text[pos] == '.' ? pos + 1 : pos;   // the stuffed dot
        const QByteArrayView line(text.constData() + from, end - from);
        if (line.isEmpty() || line == "\r\n") {
            bodyStart = end;
            return true;
        }
        if (Blank(line[0])) {
            if (fields.empty())
                return false;
            fields.back().raw += line;
        } else {
            const qsizetype colon = line.indexOf(':');
            QByteArrayView name = colon < 0 ? QByteArrayView() : line.first(colon);
            while (!name.isEmpty() && Blank(name.back()))
                name.chop(1);
            if (name.isEmpty())
                return false;
            for (const char c : name)
                if (uchar(c) < 0x21 || uchar(c) > 0x7e)
                    return false;
            fields.push_back({name.toByteArray(), line.toByteArray()});
        }
        pos = end;
    }
    bodyStart = text.size();
    return true;
}

QByteArray RelaxedHeader(QByteArrayView field)
{
    const qsizetype colon = field.indexOf(':');
    QByteArrayView name = colon < 0 ? field : field.first(colon);
    while (!name.isEmpty() && Blank(name.back()))
        name.chop(1);
    QByteArray out = name.toByteArray().toLower() + ':';
    bool gap = false, any = false;
    for (const char c : colon < 0 ? QByteArrayView() : field.sliced(colon + 1)) {
        if (c == '\r' || c == '\n')   // unfolding
            continue;
        if (Blank(c)) {
            gap = true;
            continue;
        }
        if (gap && any)
            out += ' ';
        out += c;
        gap = false;
        any = true;
    }
    return out + "\r\n";
}

namespace {

// Both forms of a stored body (RFC 6376 3.4.3 simple, 3.4.4 relaxed), handed on in pieces. Empty
// lines are held back (those at the end do not count); in the relaxed form a line of blanks is
// empty, blanks at its start become one space and runs inside it one space, those at its end go.
void Body(QByteArrayView stored, bool relaxed, const std::function<void(QByteArrayView)>& sink)
{
    QByteArray out;
    constexpr qsizetype Piece = 64 * 1024;
    out.reserve(Piece + 1024);
    const auto flush = [&](bool always) {
        if ((always || out.size() >= Piece) && !out.isEmpty()) {
            sink(out);
            out.clear();
        }
    };
    qsizetype emptyLines = 0;
    bool any = false;
    const char* p = stored.data();
    const char* const end = p + stored.size();
    for (; p < end;) {
        const char* lf = static_cast<const char*>(memchr(p, '\n', size_t(end - p)));
        const char* next = lf ? lf + 1 : end;
        const char* stop = lf ? (lf > p && lf[-1] == '\r' ? lf - 1 : lf) : end;
        if (p < stop && *p == '.')   // the stuffed dot
            ++p;
        const char* first = p;
        while (relaxed && first < stop && Blank(*first))
            ++first;
        if (first == stop) {
            ++emptyLines;
            p = next;
            continue;
        }
        for (; emptyLines > 0; --emptyLines) {
            out += "\r\n";
            flush(false);
        }
        if (!relaxed && stop - p >= Piece) {   // a long line goes as it is
            flush(true);
            sink(QByteArrayView(p, stop - p));
        } else if (!relaxed) {
            out.append(p, stop - p);
        } else {
            if (first > p)
                out += ' ';
            for (const char* q = first; q < stop;) {
                const char* run = q;
                while (run < stop && !Blank(*run))
                    ++run;
                out.append(q, run - q);
                for (q = run; q < stop && Blank(*q);)
                    ++q;
                if (q < stop)
                    out += ' ';
                flush(false);   // a long line too
            }
        }
        out += "\r\n";
        flush(false);
        any = true;
        p = next;
    }
    if (!relaxed && !any)
        out += "\r\n";
    flush(true);
}

}

void RelaxedBody(QByteArrayView stored, const std::function<void(QByteArrayView)>& sink) { Body(stored, true, sink); }

QByteArray RelaxedBody(QByteArrayView stored)
{
    QByteArray all;
    RelaxedBody(stored, [&all](QByteArrayView piece) { all += piece; });
    return all;
}

void SimpleBody(QByteArrayView stored, const std::function<void(QByteArrayView)>& sink) { Body(stored, false, sink); }

QByteArray SimpleBody(QByteArrayView stored)
{
    QByteArray all;
    SimpleBody(stored, [&all](QByteArrayView piece) { all += piece; });
    return all;
}

QByteArray BodyHash(QByteArrayView stored, bool relaxed, qint64 limit, qint64* length)
{
    qint64 total = 0;
    const QByteArray hash = Sha256([&](EVP_MD_CTX* c) {
        const auto feed = [&](QByteArrayView piece) {
            const qint64 take = limit < 0 ? piece.size() : std::clamp<qint64>(limit - total, 0, piece.size());
            if (take > 0)
                EVP_DigestUpdate(c, piece.data(), size_t(take));
            total += piece.size();
        };
        if (relaxed)
            RelaxedBody(stored, feed);
        else
            SimpleBody(stored, feed);
    });
    if (length)
        *length = total;
    return hash;
}

QList<QByteArray> SignedNames(const std::vector<Field>& fields)
{
    QList<QByteArray> names;
    for (const char* name : Worth) {
        qsizetype present = 0;
        for (const Field& f : fields)
            present += f.name.compare(name, Qt::CaseInsensitive) == 0;
        if (qstrcmp(name, "from") == 0)
            ++present;
        for (qsizetype i = 0; i < present; ++i)
            names << name;
    }
    return names;
}

QByteArray MailboxDomain(QByteArrayView value)
{
    QByteArray plain, angled;
    bool inAngle = false, seenAngle = false, quoted = false;
    int comment = 0;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted || comment > 0) {
            if (c == '\\')
                ++i;
            else if (quoted && c == '"')
                quoted = false;
            else if (!quoted && c == '(')
                ++comment;
            else if (!quoted && c == ')')
                --comment;
            continue;
        }
        if (c == '"')
            quoted = true;
        else if (c == '(')
            comment = 1;
        else if (c == '<')
            inAngle = seenAngle = true, angled.clear();
        else if (c == '>' && inAngle)
            break;
        else if (c == ',' && !inAngle)   // the first mailbox only
            break;
        else
            (inAngle ? angled : plain) += c;
    }
    return AddressDomain(seenAngle ? angled : plain);
}

QByteArray AddressDomain(QByteArrayView address)
{
    const qsizetype at = address.lastIndexOf('@');
    if (at < 0)
        return {};
    QByteArray domain = address.sliced(at + 1).trimmed().toByteArray().toLower();
    if (domain.endsWith('.'))
        domain.chop(1);
    return domain;
}

bool Served(const QByteArray& domain) { return !domain.isEmpty() && domain == Domain(); }

bool ValidSelector(const QByteArray& selector)
{
    if (selector.isEmpty() || selector.size() > 63 * 4)
        return false;
    for (const QByteArray& label : selector.split('.')) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith('-') || label.endsWith('-'))
            return false;
        for (const char c : label)
            if (!std::isalnum(uchar(c)) && c != '-')
                return false;
    }
    return true;
}

QList<QByteArray> Load(const Settings& settings)
{
    Unload();
    const QString rsaFile = settings.DkimKey.trimmed(), edFile = settings.DkimEd25519Key.trimmed();
    if (rsaFile.isEmpty()) {
        if (!edFile.isEmpty())
            return {"DKIM: DkimEd25519Key is used only beside DkimKey; mail goes out unsigned"};
        return {};
    }
    const QByteArray selector = settings.DkimSelector.trimmed().toUtf8();
    const QByteArray edSelector = settings.DkimEd25519Selector.trimmed().toUtf8();
    for (const QByteArray& s : {selector, edSelector})
        if (!ValidSelector(s))
            return {"DKIM: \"" + s + "\" is not a selector (DNS labels of letters, digits and hyphens); mail goes out unsigned"};
    QList<QByteArray> lines;
    QByteArray problem;
    Pkey rsa = ReadKey(rsaFile, false, problem);
    if (!rsa)
        return {"DKIM: " + problem + "; mail goes out unsigned"};
    const int bits = EVP_PKEY_get_bits(rsa.get());
    Keys.push_back({std::shared_ptr<EVP_PKEY>(rsa.release(), EVP_PKEY_free), selector, false});
    QByteArray signing = "DKIM: signing mail of " + Domain() + " with " + selector + "._domainkey (rsa-sha256, " + QByteArray::number(bits) + " bits)";
    if (!edFile.isEmpty()) {
        problem.clear();
        if (Pkey ed = ReadKey(edFile, true, problem)) {
            Keys.push_back({std::shared_ptr<EVP_PKEY>(ed.release(), EVP_PKEY_free), edSelector, true});
            signing += " and " + edSelector + "._domainkey (ed25519-sha256)";
        } else {
            lines << "DKIM: " + problem + "; signing with rsa-sha256 only";
        }
    }
    return lines << signing;
}

void Unload() { Keys.clear(); }

bool Enabled() { return !Keys.empty(); }

Signature Sign(const QByteArray& text, qint64 now, bool senderOurs)
{
    Signature made;
    if (Keys.empty())
        return made;
    std::vector<Field> fields;
    qsizetype bodyStart = 0;
    if (!ParseHeader(text, fields, bodyStart)) {
        made.error = "a header line is not a field";
        return made;
    }
    if (!senderOurs) {
        const auto from = std::find_if(fields.begin(), fields.end(), [](const Field& f) { return f.name.compare("from", Qt::CaseInsensitive) == 0; });
        if (from == fields.end() || !Served(MailboxDomain(QByteArrayView(from->raw).sliced(from->raw.indexOf(':') + 1))))
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
    const QByteArray bodyHash = BodyHash(QByteArrayView(text).sliced(bodyStart), true);
    if (bodyHash.isEmpty()) {
        made.error = "hashing failed: " + OpenSslError();
        return made;
    }
    Tag h{"h=" + names.first()};
    for (qsizetype i = 1; i < names.size(); ++i)
        h << ':' + names[i];
    QByteArray algorithms;
    for (const Key& key : Keys) {
        const QList<Tag> tags{{"v=1"}, {"a=" + key.Algorithm()}, {"c=relaxed/relaxed"}, {"d=" + Domain()}, {"s=" + key.selector},
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
    made.summary = "d=" + Domain() + " s=" + Keys.front().selector + " (" + algorithms + ")";
    return made;
}

QByteArray MakeKey(const QString& folder, const QByteArray& selector, const QByteArray& domain)
{
    if (!ValidSelector(selector))
        throw Failure(Err::InvalidArgument, QStringLiteral("\"%1\" is not a selector (DNS labels of letters, digits and hyphens)").arg(QString::fromUtf8(selector)));
    const QString target = QDir(folder).filePath(QString::fromUtf8(selector) + QStringLiteral(".private"));
    const auto exists = [&target] { return Failure(Err::FileExists, target + QStringLiteral(" exists already; it is not replaced")); };
    if (QFileInfo::exists(target))
        throw exists();
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(2048)));
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    unsigned char* der = nullptr;
    const int derLength = key ? i2d_PUBKEY(key.get(), &der) : -1;
    if (!key || !bio || derLength <= 0 || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        OPENSSL_free(der);
        throw Failure(Err::DeviceIO, QStringLiteral("cannot make an RSA key: ") + QString::fromUtf8(OpenSslError()));
    }
    const QByteArray publicKey = QByteArray(reinterpret_cast<const char*>(der), derLength).toBase64();
    OPENSSL_free(der);
    char* pem = nullptr;
    const long pemLength = BIO_get_mem_data(bio.get(), &pem);
    const QByteArray temporary = DurableFile::WriteTemporary(folder, {QByteArrayView(pem, qsizetype(pemLength))});
    const int err = DurableFile::LinkNew(temporary, QFile::encodeName(target));
    ::unlink(temporary.constData());
    if (err == EEXIST)
        throw exists();
    if (err)
        throw FailureFromErrno(err, target);
    DurableFile::FlushFolder(folder);
    // A DNS text string holds at most 255 characters; a longer value is several in a row.
    const QByteArray value = "v=DKIM1; k=rsa; p=" + publicKey;
    QByteArray strings;
    for (qsizetype i = 0; i < value.size(); i += 255)
        strings += (i ? " \"" : "\"") + value.mid(i, 255) + '"';
    return selector + "._domainkey." + domain + " IN TXT " + strings;
}

}
