#include "dkim/Canonical.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <openssl/evp.h>

namespace Dkim {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

QByteArray Digest(const std::function<void(EVP_MD_CTX*)>& feed)
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

}

QByteArray Sha256(QByteArrayView data)
{
    return Digest([&data](EVP_MD_CTX* c) { EVP_DigestUpdate(c, data.data(), size_t(data.size())); });
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

QByteArray SimpleHeader(const QByteArray& raw)
{
    QByteArray out;
    out.reserve(raw.size() + 2);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r'))
            out += '\r';
        out += raw[i];
    }
    return out;
}

namespace {

// One line in the relaxed form: blanks at its start (`indented`) one space, runs inside it one
// space, those at its end none; handed on as it grows, so a long line is never held whole.
template <class Flush>
void AppendRelaxed(QByteArray& out, bool indented, const char* first, const char* stop, const Flush& flush)
{
    if (indented)
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
        flush(false);
    }
}

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
            AppendRelaxed(out, first > p, first, stop, flush);
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
    const QByteArray hash = Digest([&](EVP_MD_CTX* c) {
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


}
