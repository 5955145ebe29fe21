#include "mail/MimeParts.h"
#include "mail/Header.h"

#include <QStringDecoder>

namespace Mime {
namespace {

constexpr qsizetype MaxBoundary = 200;   // RFC 2046 allows 70; senders overshoot a little
constexpr qsizetype MaxCharsetName = 64;
constexpr qsizetype MaxEncodedWord = 256;   // RFC 2047 allows 75; some senders write longer ones

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
int Hex(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
}

}

void SkipCfws(QByteArrayView v, qsizetype& i)
{
    for (qsizetype depth = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (depth > 0) {
            if (c == '\\') ++i;
            else depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (c == '(') {
            depth = 1;
        } else if (!Blank(c)) {
            return;
        }
    }
}

QByteArray Quoted(QByteArrayView v, qsizetype& i)
{
    QByteArray out;
    for (++i; i < v.size() && v[i] != '"'; ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        out += v[i];
    }
    ++i;
    return out;
}

namespace {

// A token; at least one character, so a stray special moves the reader on.
QByteArray Token(QByteArrayView v, qsizetype& i)
{
    const qsizetype from = i;
    while (i < v.size() && !Blank(v[i]) && v[i] != ';' && v[i] != '=' && v[i] != '(' && v[i] != '"')
        ++i;
    if (i == from && i < v.size()) ++i;
    return v.sliced(from, i - from).toByteArray();
}

class TreeReader {
public:
    explicit TreeReader(QByteArrayView text) : text_(text) {}
    Part Read(qsizetype begin, qsizetype end, int depth, bool digest);

private:
    void Fields(Part& p, bool digest) const;
    void Split(Part& p, int depth);
    qsizetype Delimiter(qsizetype from, qsizetype to, QByteArrayView delimiter, qsizetype* after, bool* last) const;

    QByteArrayView text_;
    int count_ = 0;
};

void Opaque(Part& p)
{
    p.type = "application";
    p.subtype = "octet-stream";
    p.params.clear();
}

void TreeReader::Fields(Part& p, bool digest) const
{
    const QByteArray slice = QByteArray::fromRawData(text_.data() + p.begin, p.end - p.begin);
    const Mail::Header h(slice);
    p.bodyStart = p.begin + h.BodyStart();
    bool typed = false;
    const auto first = [](QByteArray& into, const Mail::Field& f) {
        if (into.isNull()) into = f.Value().trimmed();
    };
    for (const Mail::Field& f : h.Fields()) {
        if (f.Is("Content-Type") && !typed) {
            Structured s = ParseStructured(f.Value());
            const qsizetype slash = s.value.indexOf('/');
            typed = slash > 0 && slash + 1 < s.value.size() && s.value.count('/') == 1;
            if (typed)
                p.type = s.value.left(slash), p.subtype = s.value.mid(slash + 1), p.params = std::move(s.params);
        } else if (f.Is("Content-Transfer-Encoding") && p.encoding.isNull()) {
            qsizetype i = 0;
            SkipCfws(f.Value(), i);
            p.encoding = Token(f.Value(), i).toLower();
        } else if (f.Is("Content-Disposition") && !p.hasDisposition) {
            p.hasDisposition = true;
            p.disposition = ParseStructured(f.Value());
        }
        else if (f.Is("Content-ID")) first(p.id, f);
        else if (f.Is("Content-Description")) first(p.description, f);
        else if (f.Is("Content-MD5")) first(p.md5, f);
        else if (f.Is("Content-Language")) first(p.language, f);
        else if (f.Is("Content-Location")) first(p.location, f);
    }
    if (!typed && digest)
        p.type = "message", p.subtype = "rfc822";
    else if (!typed)
        p.params = {{"CHARSET", "US-ASCII"}};
}

Part TreeReader::Read(qsizetype begin, qsizetype end, int depth, bool digest)
{
    ++count_;
    Part p;
    p.begin = begin;
    p.end = end;
    Fields(p, digest);
    if (p.Multipart())
        Split(p, depth);
    else if (p.Message() && depth < MaxDepth && count_ < MaxParts)
        p.children.push_back(Read(p.bodyStart, end, depth + 1, false));
    else if (p.Message())
        Opaque(p);
    return p;
}

// The next delimiter line at or after `from` (a line start): where it starts, -1 when none.
qsizetype TreeReader::Delimiter(qsizetype from, qsizetype to, QByteArrayView delimiter, qsizetype* after, bool* last) const
{
    const QByteArrayView area = text_.first(to);
    for (qsizetype at = from; (at = area.indexOf(delimiter, at)) >= 0; ++at) {
        if (at != from && area[at - 1] != '\n')
            continue;
        qsizetype i = at + delimiter.size();
        *last = area.sliced(i).startsWith("--");
        i += *last ? 2 : 0;
        while (i < to && (area[i] == ' ' || area[i] == '\t'))
            ++i;
        if (i == to || area[i] == '\n' || (area[i] == '\r' && i + 1 < to && area[i + 1] == '\n')) {
            *after = i == to ? to : area[i] == '\n' ? i + 1 : i + 2;
            return at;
        }
    }
    return -1;
}

// The parts between delimiter lines; the line end before a delimiter belongs to it.
void TreeReader::Split(Part& p, int depth)
{
    QByteArray boundary;
    for (const auto& [name, value] : p.params)
        if (name == "BOUNDARY" && boundary.isNull()) boundary = value;
    if (boundary.isEmpty() || boundary.size() > MaxBoundary || depth >= MaxDepth || count_ >= MaxParts)
        return Opaque(p);
    const QByteArray delimiter = "--" + boundary;
    const bool digest = p.subtype == "digest";
    qsizetype after = 0;
    bool last = false;
    for (qsizetype at = Delimiter(p.bodyStart, p.end, delimiter, &after, &last); at >= 0 && !last && count_ < MaxParts;) {
        const qsizetype start = after;
        at = Delimiter(start, p.end, delimiter, &after, &last);
        qsizetype stop = at < 0 ? p.end : at;
        if (stop > start && text_[stop - 1] == '\n' && at >= 0) --stop;
        if (stop > start && text_[stop - 1] == '\r' && at >= 0) --stop;
        p.children.push_back(Read(start, stop, depth + 1, digest));
    }
    if (p.children.empty())
        Opaque(p);
}

QByteArray UndoQuotedPrintable(QByteArrayView in)
{
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '=') {
            out += in[i];
            continue;
        }
        qsizetype j = i + 1;
        while (j < in.size() && (in[j] == ' ' || in[j] == '\t'))
            ++j;
        if (j == in.size() || in[j] == '\n' || (in[j] == '\r' && j + 1 < in.size() && in[j + 1] == '\n')) {
            i = j < in.size() && in[j] == '\r' ? j + 1 : j;   // a soft line break
            continue;
        }
        const int high = i + 2 < in.size() ? Hex(in[i + 1]) : -1;
        const int low = high >= 0 ? Hex(in[i + 2]) : -1;
        if (low < 0) {
            out += '=';
            continue;
        }
        out += char(high * 16 + low);
        i += 2;
    }
    return out;
}

// One encoded word at `at` ("=?charset?B?text?=", the charset may carry "*language"):
// its text, and where it ends; null when it is no encoded word. Only so far is looked at
// for its end, so a header full of "=?" costs no more than its length times that.
QString EncodedWord(QByteArrayView v, qsizetype at, qsizetype* end)
{
    const QByteArrayView word = v.sliced(at, std::min(v.size() - at, MaxEncodedWord));
    const qsizetype q1 = word.indexOf('?', 2);
    if (q1 < 0 || q1 - 2 > MaxCharsetName || q1 + 3 >= word.size() || word[q1 + 2] != '?')
        return {};
    const qsizetype close = word.indexOf("?=", q1 + 3);
    if (close < 0)
        return {};
    QByteArrayView charset = word.sliced(2, q1 - 2);
    charset = charset.first(charset.indexOf('*') < 0 ? charset.size() : charset.indexOf('*'));
    const QByteArrayView text = word.sliced(q1 + 3, close - q1 - 3);
    if (charset.isEmpty() || text.contains(' '))
        return {};
    QByteArray bytes;
    const char how = char(word[q1 + 1] | 0x20);
    if (how == 'b') {
        bytes = QByteArray::fromBase64(text.toByteArray());
    } else if (how == 'q') {
        bytes = text.toByteArray().replace('_', ' ');
        bytes = UndoQuotedPrintable(bytes);
    } else {
        return {};
    }
    *end = at + close + 2;
    QString out = InCharset(charset, bytes);
    return out.isNull() ? QString("") : out;
}

}

QByteArray Structured::Param(QByteArrayView name) const
{
    for (const auto& [n, v] : params)
        if (n.compare(name, Qt::CaseInsensitive) == 0) return v;
    return "";
}

Structured ParseStructured(QByteArrayView v)
{
    Structured s;
    qsizetype i = 0;
    for (SkipCfws(v, i); i < v.size() && v[i] != ';'; SkipCfws(v, i))
        s.value += v[i] == '"' ? Quoted(v, i) : Token(v, i);
    s.value = s.value.toLower();
    while (i < v.size() && v[i] == ';') {
        ++i;
        SkipCfws(v, i);
        const QByteArray name = i < v.size() && v[i] != ';' ? Token(v, i) : QByteArray();
        SkipCfws(v, i);
        if (i < v.size() && v[i] == '=' && !name.isEmpty()) {
            SkipCfws(v, ++i);
            QByteArray value = i < v.size() && v[i] == '"' ? Quoted(v, i) : i < v.size() && v[i] != ';' ? Token(v, i) : QByteArray("");
            s.params.emplace_back(name.toUpper(), std::move(value));
        }
        while (i < v.size() && v[i] != ';')   // whatever follows up to the next parameter
            v[i] == '"' ? void(Quoted(v, i)) : void(++i);
    }
    return s;
}

Part ParseTree(QByteArrayView message)
{
    return TreeReader(message).Read(0, message.size(), 0, false);
}

bool Undo(QByteArrayView encoding, QByteArrayView body, QByteArray* out)
{
    if (encoding.isEmpty() || encoding == "7bit" || encoding == "8bit" || encoding == "binary")
        *out = body.toByteArray();
    else if (encoding == "base64")
        *out = QByteArray::fromBase64(body.toByteArray());
    else if (encoding == "quoted-printable")
        *out = UndoQuotedPrintable(body);
    else
        return false;
    return true;
}

QString DecodeWords(QByteArrayView v)
{
    QString out;
    qsizetype i = 0;
    bool afterWord = false;
    for (qsizetype at = 0; (at = v.indexOf("=?", at)) >= 0;) {
        qsizetype end = 0;
        const QString word = EncodedWord(v, at, &end);
        if (word.isNull()) {
            at += 2;
            continue;
        }
        const QByteArrayView gap = v.sliced(i, at - i);
        if (!afterWord || !gap.trimmed().isEmpty())   // blanks between two encoded words go
            out += QString::fromUtf8(gap);
        out += word;
        i = at = end;
        afterWord = true;
    }
    return out + QString::fromUtf8(v.sliced(i));
}

QString InCharset(QByteArrayView charset, QByteArrayView bytes)
{
    const QByteArray name = charset.toByteArray().toLower();
    if (name.isEmpty() || name == "us-ascii" || name == "ascii")
        return QString::fromUtf8(bytes);
    QStringDecoder decoder(name.constData());
    return decoder.isValid() ? decoder.decode(bytes) : QString::fromLatin1(bytes);
}

}
