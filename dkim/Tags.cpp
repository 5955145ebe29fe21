#include "dkim/Tags.h"

#include <limits>

namespace DkimVerify {
namespace {

bool Alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool Digit(char c) { return c >= '0' && c <= '9'; }

QByteArrayView Trimmed(QByteArrayView v)
{
    while (!v.isEmpty() && White(v.front()))
        v = v.sliced(1);
    while (!v.isEmpty() && White(v.back()))
        v.chop(1);
    return v;
}

// A DNS name holds at most this many characters, a label this many.
constexpr qsizetype MaxName = 253, MaxLabel = 63;

}

bool White(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

QByteArray Solid(QByteArrayView v)
{
    QByteArray out;
    out.reserve(v.size());
    for (const char c : v)
        if (!White(c))
            out += c;
    return out;
}

bool DomainName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > MaxName)
        return false;
    qsizetype label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (Alpha(c) || Digit(c) || c == '-' || c == '_') {
            if (++label > MaxLabel)
                return false;
        } else {
            return false;
        }
    }
    return label > 0;
}

bool Number(QByteArrayView v, qint64& n)
{
    if (v.isEmpty())
        return false;
    n = 0;
    for (const char c : v) {
        if (!Digit(c))
            return false;
        n = n > std::numeric_limits<qint64>::max() / 20 ? n : n * 10 + (c - '0');
    }
    return true;
}

QList<QByteArray> Colons(QByteArrayView v)
{
    QList<QByteArray> out;
    for (const QByteArrayView piece : QByteArrayView(v).toByteArray().split(':'))
        out << Trimmed(piece).toByteArray();
    return out;
}

bool Base64(QByteArrayView v, QByteArray& out)
{
    const QByteArray solid = Solid(v);
    for (const char c : solid)
        if (!Alpha(c) && !Digit(c) && c != '+' && c != '/' && c != '=')
            return false;
    auto decoded = QByteArray::fromBase64Encoding(solid, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    out = decoded.decoded;
    return true;
}

const QByteArray* Find(const Tags& tags, const char* name)
{
    for (const auto& [n, v] : tags)
        if (n == name)
            return &v;
    return nullptr;
}

bool ParseTags(QByteArrayView text, Tags& tags, QByteArray& error)
{
    tags.clear();
    bool ok = true;
    const auto fault = [&](const QByteArray& why) {
        if (ok)
            error = why;
        ok = false;
    };
    const QList<QByteArray> items = text.toByteArray().split(';');
    for (qsizetype k = 0; k < items.size(); ++k) {
        const QByteArrayView item = Trimmed(items[k]);
        if (item.isEmpty()) {
            if (k + 1 < items.size())
                fault("empty tag");
            continue;   // a final ";" may end the list
        }
        const qsizetype eq = item.indexOf('=');
        if (eq < 0) {
            fault("tag without =");
            continue;
        }
        const QByteArrayView name = Trimmed(item.first(eq)), value = Trimmed(item.sliced(eq + 1));
        bool good = !name.isEmpty() && Alpha(name.front());
        for (const char c : name)
            good = good && (Alpha(c) || Digit(c) || c == '_');
        if (!good) {
            fault("bad tag name");
            continue;
        }
        bool printable = true;
        for (const char c : value)
            printable = printable && (White(c) || (uchar(c) >= 0x21 && uchar(c) <= 0x7e));
        if (!printable) {
            fault("bad character in " + name.toByteArray() + "=");
            continue;
        }
        if (Find(tags, name.toByteArray().constData())) {
            fault("duplicate " + name.toByteArray() + "=");
            continue;
        }
        tags.append({name.toByteArray(), value.toByteArray()});
    }
    return ok;
}

}
