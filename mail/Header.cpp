#include "mail/Header.h"

#include <cstring>

namespace Mail {
namespace {
bool Blank(char c) { return c == ' ' || c == '\t'; }
bool IsEmptyLine(QByteArrayView line) { return line.isEmpty() || line == "\r\n"; }
// A line of the stored text without its stuffed dot.
QByteArrayView Unstuffed(const QByteArray& text, qsizetype pos, qsizetype end)
{
    const qsizetype from = text[pos] == '.' ? pos + 1 : pos;
    return QByteArrayView(text.constData() + from, end - from);
}

// The length of a field name at the start of `line` ("name:", blanks allowed before the
// colon), or -1 when the line does not start a field: printable characters, no colon.
qsizetype FieldNameLength(QByteArrayView line)
{
    qsizetype i = 0;
    while (i < line.size() && uchar(line[i]) > 32 && uchar(line[i]) < 127 && line[i] != ':')
        ++i;
    const qsizetype name = i;
    while (i < line.size() && Blank(line[i]))
        ++i;
    return name > 0 && i < line.size() && line[i] == ':' ? name : -1;
}

}

QByteArray Field::Value() const
{
    QByteArray v = raw.mid(raw.indexOf(':') + 1);
    v.removeIf([](char c) { return c == '\r' || c == '\n'; });
    return v;
}

Header::Header(const QByteArray& stored)
{
    bool odd = false, inField = false;   // inField: the line above belongs to the last field
    const auto oddLine = [&](qsizetype pos) {
        if (!odd)
            leading_ = fields_.size(), fieldsEnd_ = pos;
        odd = true;
        inField = false;
    };
    qsizetype pos = 0;
    emptyLine_ = bodyStart_ = stored.size();
    while (pos < stored.size()) {
        const qsizetype lf = stored.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? stored.size() : lf + 1;
        const QByteArrayView line = Unstuffed(stored, pos, end);
        if (IsEmptyLine(line)) {
            emptyLine_ = pos;
            bodyStart_ = end;
            break;
        }
        if (Blank(line[0]) && inField) {
            fields_.back().raw += line;
            fields_.back().size = end - fields_.back().at;
        } else if (const qsizetype n = Blank(line[0]) ? -1 : FieldNameLength(line); n > 0) {
            fields_.push_back({line.first(n).toByteArray(), line.toByteArray(), pos, end - pos});
            inField = true;
        } else {
            oddLine(pos);
        }
        pos = end;
    }
    if (!odd)
        leading_ = fields_.size(), fieldsEnd_ = emptyLine_;
    readable_ = !odd;
}

QList<QByteArray> Header::Values(QByteArrayView name) const
{
    QList<QByteArray> values;
    for (const Field& f : fields_)
        if (f.Is(name))
            values << f.Value();
    return values;
}

int Header::Hops() const
{
    int hops = 0;
    for (const Field& f : fields_)
        hops += f.Is("Received");
    return hops;
}

QByteArray Unstuffed(QByteArrayView stored)
{
    QByteArray out;
    out.reserve(stored.size());
    for (qsizetype pos = 0; pos < stored.size();) {
        const qsizetype lf = stored.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? stored.size() : lf + 1;
        const qsizetype from = stored[pos] == '.' ? pos + 1 : pos;
        out.append(stored.sliced(from, end - from));
        pos = end;
    }
    return out;
}

QByteArray Stuffed(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    for (qsizetype pos = 0; pos < text.size();) {
        const qsizetype lf = text.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? text.size() : lf + 1;
        if (text[pos] == '.')
            out += '.';
        out.append(text.sliced(pos, end - pos));
        pos = end;
    }
    return out;
}

QByteArray WithCrLf(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            out += c;
            continue;
        }
        out += "\r\n";
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    if (!out.isEmpty() && !out.endsWith("\r\n"))
        out += "\r\n";
    return out;
}

bool BareLineEnd(QByteArrayView text)
{
    const char* p = text.data();
    const char* end = p + text.size();
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\n', size_t(end - q)));
        if (!q) break;
        if (q == p || q[-1] != '\r') return true;
    }
    for (const char* q = p; q < end; ++q) {
        q = static_cast<const char*>(memchr(q, '\r', size_t(end - q)));
        if (!q) break;
        if (q + 1 == end || q[1] != '\n') return true;
    }
    return false;
}

qint64 BodyFinder::Feed(QByteArrayView piece)
{
    static constexpr char Ends[] = "\r\n\r\n";
    for (qsizetype i = 0; body_ < 0 && i < piece.size(); ++i) {
        const char c = piece[i];
        matched_ = c == Ends[matched_] ? matched_ + 1 : (c == '\r' ? 1 : 0);
        const qint64 at = seen_ + i + 1;
        if (matched_ == 4 || (matched_ == 2 && at == 2))
            body_ = at;
    }
    seen_ += piece.size();
    return body_;
}

}
