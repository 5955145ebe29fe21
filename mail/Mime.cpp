#include "mail/Mime.h"
#include "mail/Header.h"
#include "mail/MimeParts.h"

#include <QList>
#include <algorithm>
#include <functional>

namespace Mime {
namespace {

constexpr qsizetype MaxQuoted = 1024;     // longer strings go as literals
constexpr int MaxPartNumber = 100000;

QByteArray Upper(const QByteArray& v) { return String(v.toUpper()); }

QByteArray ParamList(const Params& params)
{
    if (params.empty())
        return "NIL";
    QByteArray out = "(";
    for (const auto& [name, value] : params)
        out += String(name) + ' ' + String(value) + ' ';
    out.chop(1);
    return out + ')';
}

qsizetype Lines(QByteArrayView body)
{
    return body.count('\n') + (!body.isEmpty() && !body.endsWith('\n'));
}

// body-fld-dsp, body-fld-lang and body-fld-loc: what BODYSTRUCTURE adds to both kinds of part.
QByteArray Extension(const Part& p)
{
    QByteArray out = p.hasDisposition && !p.disposition.value.isEmpty()
                         ? '(' + Upper(p.disposition.value) + ' ' + ParamList(p.disposition.params) + ')'
                         : QByteArray("NIL");
    QByteArray languages;
    for (const QByteArray& l : p.language.split(','))
        if (!l.trimmed().isEmpty()) languages += String(l.trimmed()) + ' ';
    languages.chop(1);
    out += ' ' + (languages.isEmpty() ? QByteArray("NIL") : '(' + languages + ')');
    return out + ' ' + String(p.location);
}

QByteArray Structure(QByteArrayView text, const Part& p, bool extended)
{
    if (p.Multipart()) {
        QByteArray out = "(";
        for (const Part& c : p.children)
            out += Structure(text, c, extended);
        out += ' ' + Upper(p.subtype);
        if (extended)
            out += ' ' + ParamList(p.params) + ' ' + Extension(p);
        return out + ')';
    }
    const QByteArrayView body = text.sliced(p.bodyStart, p.BodySize());
    QByteArray out = '(' + Upper(p.type) + ' ' + Upper(p.subtype) + ' ' + ParamList(p.params) + ' ' + String(p.id) + ' ' +
                     String(p.description) + ' ' + (p.encoding.isEmpty() ? QByteArray("\"7BIT\"") : Upper(p.encoding)) + ' ' +
                     QByteArray::number(p.BodySize());
    if (p.Message()) {
        const Part& m = p.children.front();
        out += ' ' + Envelope(QByteArray::fromRawData(text.data() + m.begin, m.end - m.begin)) + ' ' + Structure(text, m, extended);
    }
    if (p.Message() || p.type == "text")
        out += ' ' + QByteArray::number(Lines(body));
    if (extended)
        out += ' ' + String(p.md5) + ' ' + Extension(p);
    return out + ')';
}

struct SectionPath {
    std::vector<int> numbers;
    QByteArray what;             // "", "HEADER", "HEADER.FIELDS", "HEADER.FIELDS.NOT", "TEXT", "MIME"
    QList<QByteArray> names;     // of HEADER.FIELDS
};

bool Digit(char c) { return c >= '0' && c <= '9'; }

// "(A "B" C)" after HEADER.FIELDS: at least one name.
bool FieldNames(QByteArrayView s, QList<QByteArray>* names)
{
    qsizetype i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i == s.size() || s[i++] != '(')
        return false;
    while (true) {
        while (i < s.size() && s[i] == ' ') ++i;
        if (i == s.size())
            return false;
        if (s[i] == ')')
            return !names->isEmpty() && s.sliced(i + 1).trimmed().isEmpty();
        if (s[i] == '"') {
            *names << Quoted(s, i);
            continue;
        }
        const qsizetype from = i;
        while (i < s.size() && s[i] != ' ' && s[i] != ')' && s[i] != '(' && s[i] != '"') ++i;
        if (i == from)
            return false;
        *names << s.sliced(from, i - from).toByteArray();
    }
}

std::optional<SectionPath> ParseSection(QByteArrayView s)
{
    SectionPath path;
    qsizetype i = 0;
    while (i < s.size() && Digit(s[i])) {
        int n = 0;
        for (; i < s.size() && Digit(s[i]) && n <= MaxPartNumber; ++i)
            n = n * 10 + (s[i] - '0');
        if (n == 0 || n > MaxPartNumber || (i < s.size() && s[i] != '.') || i + 1 == s.size())
            return std::nullopt;
        path.numbers.push_back(n);
        i += i < s.size();
    }
    const QByteArray rest = s.sliced(i).toByteArray().toUpper();
    const qsizetype blank = rest.indexOf(' ');
    path.what = blank < 0 ? rest : rest.left(blank);
    if (path.what == "HEADER.FIELDS" || path.what == "HEADER.FIELDS.NOT")
        return FieldNames(s.sliced(i + path.what.size()), &path.names) ? std::optional(path) : std::nullopt;
    const bool known = path.what.isEmpty() || path.what == "HEADER" || path.what == "TEXT" || (path.what == "MIME" && !path.numbers.empty());
    return known && blank < 0 ? std::optional(path) : std::nullopt;
}

// The part the numbers name, null when there is none: in a message that is no multipart,
// part 1 is its body.
const Part* Find(const Part& root, const std::vector<int>& numbers)
{
    const Part* p = &root;
    for (size_t k = 0; k < numbers.size(); ++k) {
        const Part* in = p;
        if (k > 0 && p->Message())
            in = &p->children.front();
        else if (k > 0 && !p->Multipart())
            return nullptr;
        if (in->Multipart() && size_t(numbers[k]) <= in->children.size())
            p = &in->children[numbers[k] - 1];
        else if (!in->Multipart() && numbers[k] == 1)
            p = in;
        else
            return nullptr;
    }
    return p;
}

QByteArray Slice(const QByteArray& text, qsizetype from, qsizetype to)
{
    return from == 0 && to == text.size() ? text : text.sliced(from, to - from);
}

QByteArray HeaderFields(const QByteArray& text, const Part& m, const SectionPath& path)
{
    const QByteArray header = QByteArray::fromRawData(text.constData() + m.begin, m.bodyStart - m.begin);
    const Mail::Header h(header);
    const bool wanted = path.what == "HEADER.FIELDS";
    QByteArray out;
    for (const Mail::Field& f : h.Fields()) {
        const bool named = std::any_of(path.names.begin(), path.names.end(), [&](const QByteArray& n) { return f.Is(n); });
        if (named == wanted)
            out += header.sliced(f.at, f.size);
    }
    return out + "\r\n";
}

}

QByteArray String(const QByteArray& value)
{
    if (value.isNull())
        return "NIL";
    const bool quotable = value.size() <= MaxQuoted && std::all_of(value.begin(), value.end(), [](char c) {
        return c != '\r' && c != '\n' && c != '\0' && uchar(c) < 0x80;
    });
    if (!quotable)
        return '{' + QByteArray::number(value.size()) + "}\r\n" + value;
    QByteArray out = "\"";
    out.reserve(value.size() + 2);
    for (const char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

QByteArray BodyStructure(const QByteArray& message, bool extended)
{
    return Structure(message, ParseTree(message), extended);
}

std::optional<QByteArray> Section(const QByteArray& message, QByteArrayView section)
{
    const std::optional<SectionPath> path = ParseSection(section);
    if (!path)
        return std::nullopt;
    if (path->numbers.empty() && path->what.isEmpty())
        return message;
    const Part root = ParseTree(message);
    const Part* p = Find(root, path->numbers);
    if (p && path->what.isEmpty())
        return Slice(message, p->bodyStart, p->end);
    if (p && path->what == "MIME")
        return Slice(message, p->begin, p->bodyStart);
    const Part* m = path->numbers.empty() ? p : p && p->Message() ? &p->children.front() : nullptr;
    if (!m)
        return QByteArray("");
    if (path->what == "HEADER")
        return Slice(message, m->begin, m->bodyStart);
    if (path->what == "TEXT")
        return Slice(message, m->bodyStart, m->end);
    return HeaderFields(message, *m, *path);
}

std::optional<QByteArray> Binary(const QByteArray& message, QByteArrayView part)
{
    const std::optional<SectionPath> path = ParseSection(part);
    if (!path || !path->what.isEmpty())
        return std::nullopt;
    if (path->numbers.empty())
        return message;
    const Part root = ParseTree(message);
    const Part* p = Find(root, path->numbers);
    if (!p)
        return QByteArray("");
    const QByteArrayView body = QByteArrayView(message).sliced(p->bodyStart, p->BodySize());
    QByteArray out;
    if (p->Multipart() || p->Message())
        return body.toByteArray();
    return Undo(p->encoding, body, &out) ? std::optional(out) : std::nullopt;
}

QString BodyText(const QByteArray& message)
{
    QString out;
    const std::function<void(const Part&)> add = [&](const Part& p) {
        for (const Part& c : p.children)
            add(c);
        if (p.Message())   // the header of a message inside is body text of the one around it
            out += DecodeWords(QByteArrayView(message).sliced(p.bodyStart, p.children.front().bodyStart - p.bodyStart)) + '\n';
        QByteArray bytes;
        if (p.type == "text" && Undo(p.encoding, QByteArrayView(message).sliced(p.bodyStart, p.BodySize()), &bytes))
            out += InCharset(Structured{"", p.params}.Param("CHARSET"), bytes) + '\n';
    };
    add(ParseTree(message));
    return out;
}

}
