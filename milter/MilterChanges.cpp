// A filter's changes applied to the message: header fields added, changed or removed,
// recipients and sender, the body, quarantine.
#include "milter/MilterProtocol.h"
#include "mail/Header.h"

#include <algorithm>

namespace Milter {
namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

// A header's lines as we store them; a line a filter did not fold is folded, so that no value
// can end the header or start a field of its own.
QByteArray HeaderRaw(const QByteArray& name, const QByteArray& value, bool leadingSpace)
{
    // The text is kept dot-stuffed: a name that begins with a dot has it doubled.
    QByteArray raw = (name.startsWith('.') ? "." : "") + name + ':';
    const QList<QByteArray> lines = Mail::WithCrLf(value).split('\n');
    bool first = true;
    for (QByteArray line : lines) {
        if (line.endsWith('\r')) line.chop(1);
        if (first) {
            raw += (leadingSpace || line.isEmpty() || Blank(line[0]) ? QByteArray() : QByteArray(" ")) + line;
            first = false;
            continue;
        }
        if (line.trimmed().isEmpty()) continue;
        raw += "\r\n" + (Blank(line[0]) ? line : '\t' + line);
    }
    return raw + "\r\n";
}

// An address as a filter gives it, without its angle brackets; "" when it holds what no
// address may (blanks, control characters).
QByteArray Address(const QByteArray& given)
{
    QByteArray a = given.trimmed();
    if (a.startsWith('<') && a.endsWith('>'))
        a = a.mid(1, a.size() - 2);
    for (const char c : a)
        if (quint8(c) <= 32 || c == 127 || c == '<' || c == '>') return {};
    return a;
}

bool SameAddress(const QByteArray& a, const QByteArray& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

QByteArray Count(int n, const char* sign) { return sign + QByteArray::number(n) + " header" + (n > 1 ? "s" : ""); }

// The message as one filter's changes shape it, and what they did for the log.
struct Editing {
    Message& m;
    Split s;
    bool leadingSpace;
    std::optional<QByteArray> body;
    int added = 0, changed = 0, removed = 0;
    QList<QByteArray> notes;

    std::vector<size_t> FieldsOf(const QByteArray& name) const
    {
        std::vector<size_t> at;
        for (size_t i = 0; i < s.headers.size(); ++i)
            if (s.headers[i].name.compare(name, Qt::CaseInsensitive) == 0) at.push_back(i);
        return at;
    }
    void Add(size_t at, const Change& c)
    {
        s.headers.insert(s.headers.begin() + std::min(at, s.headers.size()), {c.name, HeaderRaw(c.name, c.value, leadingSpace)});
        ++added;
    }
    // The index-th field of the name (the first for 0): changed, removed with an empty value,
    // or added when there is none such.
    void Change(const Milter::Change& c)
    {
        const auto at = FieldsOf(c.name);
        const size_t n = std::max<quint32>(c.index, 1);
        if (n > at.size()) {
            if (!c.value.isEmpty()) Add(s.headers.size(), c);
        } else if (c.value.isEmpty()) {
            s.headers.erase(s.headers.begin() + at[n - 1]);
            ++removed;
        } else {
            s.headers[at[n - 1]].raw = HeaderRaw(s.headers[at[n - 1]].name, c.value, leadingSpace);
            ++changed;
        }
    }
    void AddRecipient(const QByteArray& given)
    {
        const QByteArray a = Address(given);
        if (a.isEmpty()) { notes << "bad recipient ignored"; return; }
        if (std::none_of(m.recipients.begin(), m.recipients.end(), [&](const QByteArray& x) { return SameAddress(x, a); })) {
            m.recipients << a;
            notes << "+rcpt <" + a + '>';
        }
    }
    void DeleteRecipient(const QByteArray& given)
    {
        const QByteArray a = Address(given);
        if (m.recipients.removeIf([&](const QByteArray& x) { return SameAddress(x, a); }) > 0)
            notes << "-rcpt <" + a + '>';
    }
    void ChangeSender(const QByteArray& given)
    {
        const QByteArray a = given.trimmed() == "<>" ? QByteArray() : Address(given.trimmed());
        if (a.isEmpty() && given.trimmed() != "<>") { notes << "bad sender ignored"; return; }
        m.sender = a;
        notes << "sender <" + a + '>';
    }
    void Quarantine(const QByteArray& reason)
    {
        const auto flags = FieldsOf("X-Spam-Flag");
        if (flags.empty() || s.headers[flags.front()].Value(false).trimmed().compare("YES", Qt::CaseInsensitive) != 0)
            s.headers.insert(s.headers.begin(), {"X-Spam-Flag", "X-Spam-Flag: YES\r\n"});
        notes << "quarantined (" + reason.left(200) + ')';
    }
    void Apply(const Milter::Change& c)
    {
        switch (c.command) {
        case 'h': return Add(s.headers.size(), c);
        case 'i': return Add(c.index, c);
        case 'm': return Change(c);
        case '+': case '2': return AddRecipient(c.name);
        case '-': return DeleteRecipient(c.name);
        case 'e': return ChangeSender(c.name);
        case 'b': (body ? *body : body.emplace()).append(c.value); return;
        case 'q': return Quarantine(c.name);
        }
    }
    QByteArray Text()
    {
        QByteArray text;
        for (const Header& h : s.headers) {
            if (!text.isEmpty() && !text.endsWith('\n')) text += "\r\n";
            text += h.raw;
        }
        if (!text.isEmpty() && !text.endsWith('\n')) text += "\r\n";
        if (!body)
            return text + s.rest;
        notes << "body replaced";
        return text + "\r\n" + Mail::Stuffed(Mail::WithCrLf(*body));
    }
    QByteArray Summary()
    {
        if (removed) notes.prepend(Count(removed, "-"));
        if (changed) notes.prepend(Count(changed, "~"));
        if (added) notes.prepend(Count(added, "+"));
        return notes.join(", ");
    }
};

}

QByteArray Apply(Message& m, const Result& r)
{
    if ((r.kind != Result::Continue && r.kind != Result::Accept) || r.changes.empty())
        return {};
    Editing e{m, SplitText(m.text), r.leadingSpace, {}, 0, 0, 0, {}};
    for (const Change& c : r.changes)
        e.Apply(c);
    m.text = e.Text();
    return e.Summary();
}

}
