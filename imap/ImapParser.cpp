// The IMAP command syntax: tags, atoms (a bracketed section such as BODY[HEADER.FIELDS (A B)]
// stays one atom), quoted strings, literals, parenthesised lists and NIL; and sequence sets.
#include "imap/ImapParser.h"

#include <QList>
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
            return true;
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

std::optional<SequenceSet> SequenceSet::Parse(QByteArrayView text)
{
    SequenceSet set;
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
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const auto& r) {
        const quint32 a = r.first ? r.first : largest, b = r.second ? r.second : largest;
        return n >= std::min(a, b) && n <= std::max(a, b);
    });
}

}
