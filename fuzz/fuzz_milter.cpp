// A filter answering anything, in any chunks: the conversation never crashes or loops, ends
// in one of its outcomes, and what it changes leaves a text with CR LF line ends only and a
// header of fields and folds, so nothing a filter sends can forge a second message or field.
#include "FuzzSupport.h"
#include "milter/MilterProtocol.h"

FUZZ_TARGET(milter)
{
    if (size < 1)
        return 0;
    const int chunking = data[0] & 127;
    const QByteArray stream = Bytes(data + 1, size - 1);
    Milter::Message m{"ann@out.test", {"taro@example.test", "jiro@example.test"}, "Subject: hi\r\nX-Two: a\r\n\tb\r\n\r\nbody\r\n..dot\r\n",
                      "c.test", "192.0.2.7", "mx.test", "", "Q1"};
    Milter::Conversation c(m);
    c.Begin();
    QByteArray in;
    Milter::Packet p;
    for (qsizetype at = 0; at < stream.size() && !c.Done();) {
        const qsizetype n = chunking == 0 ? stream.size() : 1 + (at * 31 + chunking) % chunking;
        in += stream.mid(at, n);
        at += n;
        Milter::Take t;
        while (!c.Done() && (t = Milter::Decode(in, p)) == Milter::Take::Packet) c.Feed(p);
        if (!c.Done() && t == Milter::Take::Bad) c.Fail("bad");
    }
    const Milter::Result& r = c.Outcome();
    if (r.kind == Milter::Result::Reject || r.kind == Milter::Result::Tempfail) {
        FUZZ_CHECK(r.reply.size() >= 4 && (r.reply[0] == '4' || r.reply[0] == '5'), "reply %s", r.reply.constData());
        FUZZ_CHECK(r.kind == (r.reply[0] == '4' ? Milter::Result::Tempfail : Milter::Result::Reject), "kind and reply disagree");
        for (const QByteArray& line : r.reply.split('\n'))
            for (const char ch : line) FUZZ_CHECK(ch == '\r' || (ch >= 32 && ch < 127), "unprintable reply");
    }
    FUZZ_CHECK(r.refused.size() <= size_t(m.recipients.size()), "more refused than recipients");
    if (!c.Done())
        return 0;
    Milter::Apply(m, r);
    FUZZ_CHECK(m.text.count("\r\n") == m.text.count('\r') && m.text.count('\r') == m.text.count('\n'), "a bare line end in the text");
    const Milter::Split s = Milter::SplitText(m.text);
    QByteArray back;
    for (const Milter::Header& h : s.headers) back += h.raw;
    FUZZ_CHECK(back + s.rest == m.text, "split is not lossless");
    FUZZ_CHECK(s.rest.isEmpty() || s.rest.startsWith("\r\n"), "a header line that is no field");
    for (const QByteArray& a : m.recipients + QList<QByteArray>{m.sender})
        for (const char ch : a) FUZZ_CHECK(quint8(ch) > 32 && ch != 127, "address with a blank or control character");
    return 0;
}
