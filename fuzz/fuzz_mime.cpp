// Messages holding anything, as IMAP shows them. Input: a section up to the first LF,
// then the message. The structures are well-formed IMAP lists, the header and text put
// together are the message, every part the structure names is a piece of the message, and
// nothing hangs or grows without bound.
#include "FuzzSupport.h"
#include "mail/Mime.h"
#include "mail/MimeParts.h"

namespace {

// An IMAP value list: parentheses balanced, quoted strings closed, literals as long as they
// say, nothing after the last parenthesis.
bool WellFormed(const QByteArray& v)
{
    int depth = 0;
    for (qsizetype i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth < 0) return false;
            if (depth == 0) return i + 1 == v.size();
        } else if (c == '"') {
            for (++i; i < v.size() && v[i] != '"'; ++i)
                if (v[i] == '\\') ++i;
            if (i >= v.size()) return false;
        } else if (c == '{') {
            const qsizetype close = v.indexOf("}\r\n", i);
            if (close < 0) return false;
            i = close + 2 + v.mid(i + 1, close - i - 1).toLongLong();
        }
    }
    return false;
}

// The part numbers a structure has at its top and one level below: "1", "1.1", "2"...
QList<QByteArray> Numbers(const Mime::Part& root)
{
    QList<QByteArray> out;
    const auto& top = root.Multipart() ? root.children : std::vector<Mime::Part>{};
    for (size_t i = 0; i < std::max<size_t>(top.size(), 1) && i < 8; ++i) {
        const QByteArray n = QByteArray::number(qsizetype(i + 1));
        out << n;
        const Mime::Part* p = top.empty() ? nullptr : &top[i];
        if (p && (p->Multipart() || p->Message()))
            out << n + ".1" << n + ".HEADER" << n + ".1.MIME";
    }
    return out;
}

}

FUZZ_TARGET(mime)
{
    const QByteArray input = Bytes(data, size);
    const qsizetype lf = input.indexOf('\n');
    const QByteArray section = lf < 0 ? QByteArray() : input.left(lf);
    const QByteArray message = input.mid(lf + 1);

    for (bool extended : {false, true}) {
        const QByteArray s = Mime::BodyStructure(message, extended);
        FUZZ_CHECK(WellFormed(s), "BODYSTRUCTURE %s", s.constData());
        FUZZ_CHECK(s.size() < 64 * 1024 + 64 * message.size(), "BODYSTRUCTURE of %d bytes for %d", int(s.size()), int(message.size()));
    }
    const QByteArray envelope = Mime::Envelope(message);
    FUZZ_CHECK(WellFormed(envelope), "ENVELOPE %s", envelope.constData());
    const QByteArray string = Mime::String(section);
    FUZZ_CHECK(WellFormed('(' + string + ')'), "string %s", string.constData());

    FUZZ_CHECK(Mime::Section(message, "HEADER").value() + Mime::Section(message, "TEXT").value() == message, "HEADER and TEXT are not the message");
    for (const QByteArray& n : Numbers(Mime::ParseTree(message))) {
        const QByteArray part = Mime::Section(message, n).value();
        FUZZ_CHECK(message.contains(part), "part %s is no piece of the message", n.constData());
        const std::optional<QByteArray> binary = Mime::Binary(message, n);
        FUZZ_CHECK(!binary || binary->size() <= part.size(), "BINARY[%s] larger than its part", n.constData());
    }
    const std::optional<QByteArray> asked = Mime::Section(message, section);
    FUZZ_CHECK(!asked || asked->size() <= message.size() + 2, "section %s larger than the message", section.constData());
    (void)Mime::Binary(message, section);
    (void)Mime::BodyText(message);
    (void)Mime::DecodeWords(message);
    return 0;
}
