// The IMAP command syntax: tags, atoms (a bracketed section such as BODY[HEADER.FIELDS (A B)]
// stays one atom), quoted strings, literals, parenthesised lists and NIL; and sequence sets.
#include "imap/ImapParser.h"

#include <QList>
#include <QStringDecoder>
#include <algorithm>
#include <limits>

namespace Imap {

bool Arg::IsAtom(QByteArrayView word) const
{
    return kind == Atom && text.compare(word, Qt::CaseInsensitive) == 0;
}

namespace {

constexpr quint32 MaxNumber = 4294967295u;

bool IsAtomChar(char c)
{
    const auto u = uchar(c);
    return u > 0x20 && u < 0x7f && c != '(' && c != ')' && c != '{' && c != '"';
}

bool ValidUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString ignored = decoder(bytes);
    return !decoder.hasError();
}

bool IsDigits(QByteArrayView s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A number of at most `most`; nullopt for anything else.
std::optional<quint64> Number(QByteArrayView s, quint64 most)
{
    if (!IsDigits(s) || s.size() > 20)
        return std::nullopt;
    bool ok = false;
    const qulonglong n = QByteArray(s.data(), s.size()).toULongLong(&ok);
    return ok && n <= most ? std::optional<quint64>(n) : std::nullopt;
}

struct Cursor {
    QByteArrayView s;
    qsizetype i = 0;
    QByteArray error;
    bool AtEnd() const { return i >= s.size(); }
    char Peek() const { return AtEnd() ? '\0' : s[i]; }
    bool Fail(const char* why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }
};

bool ParseArg(Cursor& c, Arg& arg, int depth);

bool ParseAtom(Cursor& c, Arg& arg)
{
    const qsizetype start = c.i;
    while (!c.AtEnd() && IsAtomChar(c.Peek())) {
        if (c.s[c.i++] != '[')
            continue;
        // A section runs to its bracket, blanks and parentheses within it.
        const qsizetype close = c.s.sliced(c.i).indexOf(']');
        if (close < 0 || c.s.sliced(c.i, close).contains('\n'))
            return c.Fail("Unterminated [");
        c.i += close + 1;
    }
    if (c.i == start)
        return c.Fail("Missing or malformed argument");
    arg.text = c.s.sliced(start, c.i - start).toByteArray();
    arg.kind = arg.IsAtom("NIL") ? Arg::Nil : Arg::Atom;
    return true;
}

bool ParseQuoted(Cursor& c, Arg& arg)
{
    arg.kind = Arg::String;
    for (++c.i; !c.AtEnd(); ++c.i) {
        char ch = c.s[c.i];
        if (ch == '"') {
            ++c.i;
            return ValidUtf8(arg.text) || c.Fail("Invalid UTF-8 in quoted string");
        }
        if (ch == '\r' || ch == '\n' || ch == '\0')
            break;
        if (ch == '\\') {
            ch = c.i + 1 < c.s.size() ? c.s[c.i + 1] : '\0';
            if (ch != '\\' && ch != '"')
                return c.Fail("Bad escape in quoted string");
            ++c.i;
        }
        arg.text += ch;
    }
    return c.Fail("Unterminated quoted string");
}

// {n}, {n+} or ~{n}, its line end and n bytes.
bool ParseLiteral(Cursor& c, Arg& arg)
{
    arg.kind = Arg::String;
    if (c.Peek() == '~')
        ++c.i;
    const qsizetype close = c.s.sliced(c.i).indexOf('}');
    if (c.Peek() != '{' || close < 0)
        return c.Fail("Malformed literal");
    QByteArrayView count = c.s.sliced(c.i + 1, close - 1);
    if (count.endsWith('+'))
        count.chop(1);
    const auto n = Number(count, quint64(MaxLiteral));
    c.i += close + 1;
    if (c.s.sliced(c.i).startsWith("\r\n"))
        ++c.i;
    if (!n || c.Peek() != '\n' || c.s.size() - c.i - 1 < qsizetype(*n))
        return c.Fail("Malformed literal");
    arg.text = c.s.sliced(c.i + 1, qsizetype(*n)).toByteArray();
    c.i += 1 + qsizetype(*n);
    return true;
}

bool ParseList(Cursor& c, Arg& arg, int depth)
{
    if (depth >= MaxDepth)
        return c.Fail("Lists nested too deep");
    arg.kind = Arg::List;
    ++c.i;
    while (c.Peek() != ')') {
        if (!arg.items.empty() && c.Peek() == ' ')
            ++c.i;
        Arg item;
        if (!ParseArg(c, item, depth + 1))
            return false;
        arg.items.push_back(std::move(item));
    }
    ++c.i;
    return true;
}

bool ParseArg(Cursor& c, Arg& arg, int depth)
{
    switch (c.Peek()) {
    case '(': return ParseList(c, arg, depth);
    case '"': return ParseQuoted(c, arg);
    case '{':
    case '~': return ParseLiteral(c, arg);
    }
    return ParseAtom(c, arg);
}

QByteArray Word(Cursor& c)
{
    const qsizetype start = c.i;
    while (!c.AtEnd() && IsAtomChar(c.Peek()) && c.Peek() != '[')
        ++c.i;
    return c.s.sliced(start, c.i - start).toByteArray();
}

// The literal a command line announces at its end: its length and whether the client waits
// for a continuation; nullopt when the line announces none.
struct Announced {
    qint64 length;
    bool waits;
};
std::optional<Announced> LiteralAt(QByteArrayView line)
{
    if (!line.endsWith('}'))
        return std::nullopt;
    const qsizetype open = line.lastIndexOf('{');
    if (open < 0)
        return std::nullopt;
    QByteArrayView count = line.sliced(open + 1, line.size() - open - 2);
    const bool waits = !count.endsWith('+');
    if (!waits)
        count.chop(1);
    if (!IsDigits(count))
        return std::nullopt;
    const auto n = Number(count, quint64(1) << 62);
    return Announced{n ? qint64(*n) : std::numeric_limits<qint64>::max(), waits};
}

}

std::optional<Command> ParseCommand(QByteArrayView line, QByteArray* tag, QByteArray* error)
{
    if (line.endsWith('\n'))
        line.chop(line.endsWith("\r\n") ? 2 : 1);
    Cursor c{line, 0, {}};
    Command command;
    command.tag = Word(c);
    *tag = command.tag.contains('+') || command.tag == "*" ? QByteArray() : command.tag;
    if (tag->isEmpty()) {
        *error = line.trimmed().isEmpty() ? "Empty command line" : "Missing or malformed tag";
        return std::nullopt;
    }
    if (c.Peek() == ' ')
        ++c.i;
    command.name = Word(c).toUpper();
    if (command.name == "UID" && c.Peek() == ' ') {
        ++c.i;
        command.name += ' ' + Word(c).toUpper();
    }
    if (command.name.isEmpty() || command.name.endsWith(' '))
        c.Fail("Missing command");
    while (c.error.isEmpty() && !c.AtEnd()) {
        if (c.Peek() != ' ')
            c.Fail("Missing blank between arguments");
        while (c.Peek() == ' ')
            ++c.i;
        Arg arg;
        if (!c.AtEnd() && ParseArg(c, arg, 0))
            command.args.push_back(std::move(arg));
    }
    if (!c.error.isEmpty()) {
        *error = c.error;
        return std::nullopt;
    }
    return command;
}

namespace {

// The characters of one "&...-" run of modified UTF-7: base64 with "," for "/" of UTF-16, none
// of them printable ASCII (that is written as itself).
std::optional<QString> Utf7Run(QByteArrayView run)
{
    QByteArray base64 = run.toByteArray().replace(',', '/');
    const bool alphabet = std::all_of(base64.begin(), base64.end(), [](char c) { return std::isalnum(uchar(c)) || c == '+' || c == '/'; });
    base64 += QByteArray((4 - base64.size() % 4) % 4, '=');
    const auto decoded = QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (!alphabet || !decoded || decoded.decoded.isEmpty() || decoded.decoded.size() % 2)
        return std::nullopt;
    QString text;
    for (qsizetype i = 0; i < decoded.decoded.size(); i += 2)
        text += QChar(char16_t(uchar(decoded.decoded[i]) << 8 | uchar(decoded.decoded[i + 1])));
    const bool printable = std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
    return !printable && QStringView(text).isValidUtf16() ? std::optional<QString>(text) : std::nullopt;
}

}

std::optional<QString> MailboxName(const QByteArray& sent, bool utf8)
{
    if (utf8 || std::any_of(sent.begin(), sent.end(), [](char c) { return uchar(c) >= 0x80; }))
        return ValidUtf8(sent) ? std::optional<QString>(QString::fromUtf8(sent).normalized(QString::NormalizationForm_C)) : std::nullopt;
    QString name;
    for (qsizetype i = 0; i < sent.size(); ++i) {
        if (sent[i] != '&') {
            name += QLatin1Char(sent[i]);
            continue;
        }
        const qsizetype end = sent.indexOf('-', i + 1);
        const auto run = end == i + 1 ? std::optional<QString>(QStringLiteral("&")) : end > i ? Utf7Run(QByteArrayView(sent).sliced(i + 1, end - i - 1)) : std::nullopt;
        if (!run)
            return std::nullopt;
        name += *run;
        i = end;
    }
    return name.normalized(QString::NormalizationForm_C);
}

QByteArray MailboxText(const QString& name, bool utf8)
{
    if (utf8)
        return name.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < name.size();) {
        qsizetype j = i;
        while (j < name.size() && (name[j].unicode() < 0x20 || name[j].unicode() >= 0x7f))
            ++j;
        if (j == i) {
            out += name[i] == u'&' ? QByteArray("&-") : QByteArray(1, char(name[i].unicode()));
            ++i;
            continue;
        }
        QByteArray utf16;
        for (qsizetype k = i; k < j; ++k)
            utf16.append(char(name[k].unicode() >> 8)).append(char(name[k].unicode() & 0xff));
        out += '&' + utf16.toBase64(QByteArray::OmitTrailingEquals).replace('/', ',') + '-';
        i = j;
    }
    return out;
}

CommandReader::Outcome CommandReader::Next(qint64 limit, Command* command, QByteArray* tag, QByteArray* error)
{
    for (;;) {
        if (literalEnd_ > 0) {
            if (buffer_.size() < literalEnd_)
                return Outcome::More;
            scanned_ = std::exchange(literalEnd_, 0);
        }
        const qsizetype nl = buffer_.indexOf('\n', scanned_);
        if (text_ + (nl < 0 ? buffer_.size() : nl + 1) - scanned_ > MaxCommandText) {
            *tag = {};
            *error = "Command line too long";
            return Outcome::Close;
        }
        if (nl < 0)
            return Outcome::More;
        text_ += nl + 1 - scanned_;
        const QByteArrayView line = QByteArrayView(buffer_).sliced(scanned_, nl - scanned_ + 1 - (nl > 0 && buffer_[nl - 1] == '\r' ? 2 : 1));
        const auto literal = LiteralAt(line);
        if (!literal) {
            QByteArray whole = std::move(buffer_);
            buffer_ = whole.mid(nl + 1);   // not the room a large literal took
            whole.truncate(nl + 1);
            scanned_ = continued_ = text_ = 0;
            if (const auto parsed = ParseCommand(whole, tag, error)) {
                *command = *parsed;
                return Outcome::Command;
            }
            return Outcome::Bad;
        }
        if (literal->length > limit) {
            QByteArray ignored;
            ParseCommand(buffer_.left(nl), tag, &ignored);
            *error = "Literal too large";
            if (!literal->waits)
                return Outcome::Close;
            buffer_ = buffer_.mid(nl + 1);
            scanned_ = continued_ = text_ = 0;
            return Outcome::TooBig;
        }
        literalEnd_ = nl + 1 + qsizetype(literal->length);
        if (literal->waits && continued_ <= nl && buffer_.size() == nl + 1) {
            continued_ = nl + 1;
            return Outcome::Continue;
        }
    }
}

std::optional<QByteArray> CommandReader::NextLine()
{
    const qsizetype nl = buffer_.indexOf('\n');
    if (nl < 0)
        return std::nullopt;
    QByteArray line = buffer_.left(nl > 0 && buffer_[nl - 1] == '\r' ? nl - 1 : nl);
    buffer_ = buffer_.mid(nl + 1);
    return line;
}

std::optional<SequenceSet> SequenceSet::Parse(QByteArrayView text, const std::vector<quint32>* saved)
{
    SequenceSet set;
    if (text == "$") {
        if (!saved)
            return std::nullopt;
        for (quint32 n : *saved) {   // none: a set of nothing
            if (!set.ranges_.empty() && set.ranges_.back().second + 1 == n)
                set.ranges_.back().second = n;
            else
                set.ranges_.emplace_back(n, n);
        }
        set.sorted_ = true;
        return set;
    }
    for (QByteArrayView part : QByteArray(text.data(), text.size()).split(',')) {
        const qsizetype colon = part.indexOf(':');
        const QByteArrayView first = colon < 0 ? part : part.first(colon);
        const QByteArrayView second = colon < 0 ? part : part.sliced(colon + 1);
        const auto value = [](QByteArrayView s) { return s == "*" ? std::optional<quint64>(0) : Number(s, MaxNumber); };
        const auto a = value(first), b = value(second);
        if (!a || !b || (first != "*" && *a == 0) || (second != "*" && *b == 0))
            return std::nullopt;
        set.ranges_.emplace_back(quint32(*a), quint32(*b));
    }
    return set;
}

std::vector<std::pair<quint32, quint32>> SequenceSet::Ranges(quint32 largest) const
{
    std::vector<std::pair<quint32, quint32>> out;
    for (auto [a, b] : ranges_) {
        a = a ? a : largest;
        b = b ? b : largest;
        out.emplace_back(std::min(a, b), std::max(a, b));
    }
    std::sort(out.begin(), out.end());
    std::vector<std::pair<quint32, quint32>> merged;
    for (const auto& r : out) {
        if (!merged.empty() && quint64(r.first) <= quint64(merged.back().second) + 1)
            merged.back().second = std::max(merged.back().second, r.second);
        else
            merged.push_back(r);
    }
    return merged;
}

bool SequenceSet::Contains(quint32 n, quint32 largest) const
{
    if (sorted_) {   // a saved result may have many runs: SEARCH $ looks each message up
        const auto after = std::upper_bound(ranges_.begin(), ranges_.end(), std::pair(n, std::numeric_limits<quint32>::max()));
        return after != ranges_.begin() && std::prev(after)->second >= n;
    }
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const auto& r) {
        const quint32 a = r.first ? r.first : largest, b = r.second ? r.second : largest;
        return n >= std::min(a, b) && n <= std::max(a, b);
    });
}

}
