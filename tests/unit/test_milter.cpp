// Milter, the MTA side: dialogues with a scripted filter played as rows (what we send, what
// it answers, how the message ends up), packets and custom replies at the edges, and the
// delivery step over real sockets (filters in a row, one gone mid-way).
// The real engines (rspamd, opendkim, a pymilter filter) are in tests/e2e/test_milter.py.
#include "TestSupport.h"
#include "deliver/Delivery.h"
#include "milter/MilterClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Milter::Result;
Q_DECLARE_METATYPE(Milter::Result::Kind)

namespace {

// '~' for NUL.
QByteArray Z(QByteArray s) { return s.replace('~', '\0'); }
QByteArray Be32(quint32 v) { const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; return QByteArray(b, 4); }

// A filter that answers as its script says. Each row answers one command of ours that waits
// for a reply: "X packets", X the command we must have sent, the packets separated by '|',
// each its reply command then its data ('~' stands for NUL; for i and m the index comes
// first, then a comma). "O version actions flags" (hex) negotiates; a row with no packets
// stays silent, "!" closes the connection.
struct Script {
    explicit Script(QList<QByteArray> r = {}) : rows(std::move(r)) {}
    QList<QByteArray> rows;
    qsizetype next = 0;
    quint32 flags = 0;
    QByteArray seen;            // what we sent, macros left out
    QByteArray error;
    bool close = false;

    bool Waits(char c) const
    {
        static const QHash<char, quint32> noReply{{'C', Milter::NrConnect}, {'H', Milter::NrHelo}, {'M', Milter::NrMail}, {'R', Milter::NrRcpt},
                                                  {'T', Milter::NrData}, {'L', Milter::NoHeaderReply}, {'N', Milter::NrEoh}, {'B', Milter::NrBody}};
        return c == 'O' || c == 'E' || (noReply.contains(c) && !(flags & noReply[c]));
    }
    QByteArray Answer(const Milter::Packet& p)
    {
        if (p.command == 'D')
            return {};
        seen += p.command;
        if (!Waits(p.command)) return {};
        if (next >= rows.size()) { error += "no row for " + QByteArray(1, p.command) + ' '; return {}; }
        const QByteArray row = rows[next++];
        if (row[0] != p.command) { error += "sent " + QByteArray(1, p.command) + " for row " + row + ' '; return {}; }
        const QByteArray rest = row.mid(2);
        if (const QList<QByteArray> n = rest.split(' '); p.command == 'O' && n.size() == 3) {
            flags = n[2].toUInt(nullptr, 16);
            return Milter::Encode('O', Be32(n[0].toUInt()) + Be32(n[1].toUInt(nullptr, 16)) + Be32(flags));
        }
        if (rest == "!") { close = true; return {}; }
        QByteArray out;
        for (const QByteArray& token : rest.split('|')) {
            if (token.isEmpty()) continue;
            QByteArray data = Z(token.mid(1));
            if (token[0] == 'i' || token[0] == 'm') {
                const qsizetype comma = data.indexOf(',');
                data = Be32(data.left(comma).toUInt()) + data.mid(comma + 1);
            }
            out += Milter::Encode(token[0], data);
        }
        return out;
    }
};

const Milter::Message Sample{"ann@out.test", {"taro@example.test", "jiro@example.test"},
                             "Subject: hi\r\nFrom: ann@out.test\r\nX-Long: a\r\n\tb\r\n\r\nbody\r\n..dot\r\n", "c.out.test",
                             "192.0.2.7", "mx.example.test", "", "Q1"};

// The conversation without a socket: the filter reads all we sent, we read all it answered.
Result Converse(Script& s, const Milter::Message& m)
{
    Milter::Conversation c(m);
    QByteArray out = c.Begin();
    Milter::Packet p;
    while (!c.Done()) {
        QByteArray replies;
        while (Milter::Decode(out, p) == Milter::Take::Packet) replies += s.Answer(p);
        if (replies.isEmpty()) { c.Fail("silent"); break; }
        while (!c.Done() && Milter::Decode(replies, p) == Milter::Take::Packet) out += c.Feed(p);
    }
    while (Milter::Decode(out, p) == Milter::Take::Packet) s.Answer(p);
    return c.Outcome();
}

// The same filter on a loopback port, for one connection.
struct SocketFilter {
    Script script;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::thread thread;
    explicit SocketFilter(QList<QByteArray> rows) : script(std::move(rows))
    {
        socklen_t n = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), n);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &n);
        thread = std::thread([this] { Serve(); });
    }
    ~SocketFilter()
    {
        shutdown(listener, SHUT_RDWR);   // wakes an accept still waiting
        thread.join();
        close(listener);
    }
    void Serve()
    {
        const int fd = accept(listener, nullptr, nullptr);
        const timeval limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        QByteArray in, out;
        char buf[65536];
        Milter::Packet p;
        for (ssize_t got; !script.close && (got = recv(fd, buf, sizeof buf, 0)) > 0;) {
            in.append(buf, got);
            for (out.clear(); Milter::Decode(in, p) == Milter::Take::Packet;) out += script.Answer(p);
            if (!script.close && send(fd, out.constData(), size_t(out.size()), MSG_NOSIGNAL) < 0) break;
        }
        close(fd);
    }
    QString Setting() const { return "inet:127.0.0.1:" + QString::number(ntohs(address.sin_port)); }
};

const QList<QByteArray> Through = {"C c", "H c", "M c", "R c", "R c", "T c", "L c", "L c", "L c", "N c", "B c"};

// A message from outside for taro, as a session hands it to the delivery.
Envelope Incoming()
{
    Envelope m;
    m.sender = "ann@out.test", m.recipients = {"taro@example.test"}, m.text = "Subject: s\r\n\r\nbody\r\n";
    m.helo = "c.out.test", m.client = "192.0.2.7", m.index = 2;
    return m;
}

}

class TestMilter : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        mdlCommon::ServerDomain = "example.test";
        mdlCommon::SetReporter([](const QString&) {});
    }

    // What we send at each step, what each reply does to the message, and how it ends.
    void dialogues_data()
    {
        QTest::addColumn<QList<QByteArray>>("rows");
        QTest::addColumn<QByteArray>("seen");
        QTest::addColumn<Result::Kind>("kind");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("refused");   // recipients refused at RCPT, comma-separated
        const auto row = [](const char* name, const QList<QByteArray>& rows, const QByteArray& seen, Result::Kind kind, const QByteArray& reply = {},
                            const QByteArray& refused = {}) { QTest::newRow(name) << rows << seen << kind << reply << refused; };
        const QByteArray all = "OCHMRRTLLLNBEQ";
        const QList<QByteArray> v6 = {"O 6 1ff 0"}, through = v6 + Through;
        row("continue throughout", through + QList<QByteArray>{"E c"}, all, Result::Continue);
        row("reject at connect", v6 + QList<QByteArray>{"C r"}, "OCQ", Result::Reject, "550 5.7.1 Command rejected");
        row("accept at HELO: no more questions", v6 + QList<QByteArray>{"C c", "H a"}, "OCHQ", Result::Accept);
        row("discard in the body", v6 + Through.mid(0, 10) + QList<QByteArray>{"B d"}, all.left(12) + 'Q', Result::Discard);
        row("custom reply of several lines, LF or CR LF", through + QList<QByteArray>{"E y550-5.7.1 one\n550-5.7.1 two\r\n550 5.7.1 three~"}, all,
            Result::Reject, "550-5.7.1 one\r\n550-5.7.1 two\r\n550 5.7.1 three");
        row("every recipient refused", v6 + QList<QByteArray>{"C c", "H c", "M c", "R r", "R t"}, "OCHMRRQ", Result::Tempfail,
            "451 4.7.1 Service unavailable - try again later", "taro@example.test,jiro@example.test");
        row("skip the rest of the body", v6 + Through.mid(0, 10) + QList<QByteArray>{"B s", "E c"}, all, Result::Continue);
        // Steps left out (no connect, HELO, headers, body) and replies not sent (MAIL, RCPT, DATA, EOH).
        row("steps left out, replies not awaited", {"O 6 1ff 5c033", "E c"}, "OMRRTNEQ", Result::Continue);
        // What a filter must not do: it fails, and MilterDefault decides.
        row("version 1", {"O 1 1ff 0"}, "OQ", Result::Failed);
        row("change it did not ask for", QList<QByteArray>{"O 6 1 0"} + Through + QList<QByteArray>{"E bnew~|c"}, all, Result::Failed);
        row("header name with a colon", through + QList<QByteArray>{"E hX:Y~z~|c"}, all, Result::Failed);
        row("reply code 250", through + QList<QByteArray>{"E y250 ok~"}, all, Result::Failed);
        row("unknown reply", v6 + QList<QByteArray>{"C z"}, "OCQ", Result::Failed);
    }
    void dialogues()
    {
        QFETCH(QList<QByteArray>, rows); QFETCH(QByteArray, seen); QFETCH(Result::Kind, kind); QFETCH(QByteArray, reply); QFETCH(QByteArray, refused);
        Script s(rows);
        const Result r = Converse(s, Sample);
        QVERIFY2(s.error.isEmpty(), s.error.constData());
        QCOMPARE(s.seen, seen);
        QCOMPARE(r.kind, kind);
        QCOMPARE(r.reply, reply);
        QByteArrayList got;
        for (const auto& x : r.refused) got << x.address;
        QCOMPARE(got.join(','), refused);
        QCOMPARE(s.next, s.rows.size());   // every row was used
    }

    // What the filter is told: macros (an IPv6 client's too), header values (with and without
    // their leading space) and the body without SMTP's doubled dots, in chunks. The connect,
    // HELO and MAIL data and an IPv4 client's macros are tests/e2e/test_milter.py's (test_answers).
    void whatFiltersSee()
    {
        Milter::Message m = Sample;
        m.user = "ann";
        m.client = "IPv6:::1";
        m.text += QByteArray(70000, 'x') + "\r\n";
        Milter::Conversation c(m);
        QByteArray out = c.Begin();
        Milter::Packet p;
        QVERIFY(Milter::Decode(out, p) == Milter::Take::Packet && p.command == 'O' && p.data == Be32(6) + Be32(0x1FF) + Be32(0x1FFFFF));
        for (const quint32 flags : {0u, quint32(Milter::HeaderLeadingSpace)}) {
            Milter::Conversation c(m);
            c.Begin();
            out = c.Feed({'O', Be32(6) + Be32(0x1FF) + Be32(flags | Milter::NrConnect | Milter::NrHelo | Milter::NrMail | Milter::NrRcpt | Milter::NrData
                                                           | Milter::NoHeaderReply | Milter::NrEoh | Milter::NrBody)});
            QList<QByteArray> packets, macros;
            QByteArray body;
            while (Milter::Decode(out, p) == Milter::Take::Packet) {
                if (p.command == 'D') macros << p.data;
                else if (p.command == 'B') { body += p.data; QVERIFY(p.data.size() <= Milter::BodyChunk); }
                else packets << p.command + p.data;
            }
            QCOMPARE(macros.size(), 7);
            QVERIFY2(macros[0].contains(Z("_~unknown [::1]~")), macros[0].constData());
            QCOMPARE(macros[1], Z("Mi~Q1~{mail_addr}~ann@out.test~{auth_authen}~ann~"));
            QCOMPARE(macros.last(), Z("Ei~Q1~"));
            const QByteArray lead = flags ? " " : "";
            QCOMPARE(packets[6], Z("LSubject~" + lead + "hi~"));
            QCOMPARE(packets[8], Z("LX-Long~" + lead + "a\n\tb~"));
            QCOMPARE(body, "body\r\n.dot\r\n" + QByteArray(70000, 'x') + "\r\n");
            QCOMPARE(packets.last(), QByteArray("E"));
            QVERIFY(!c.Done());
        }
    }

    // The changes at the end of the message, as they land in the text and the envelope.
    void changes_data()
    {
        QTest::addColumn<QByteArray>("packets");   // the reply to E, as in a script row
        QTest::addColumn<QByteArray>("text");      // "" unchanged
        QTest::addColumn<QByteArray>("log");
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("recipients");
        QTest::addColumn<QByteArray>("protocol");   // the protocol flags the filter asks for, hex
        const QByteArray head = "Subject: hi\r\nFrom: ann@out.test\r\nX-Long: a\r\n\tb\r\n", body = "\r\nbody\r\n..dot\r\n";
        const auto row = [](const char* name, const QByteArray& packets, const QByteArray& text, const QByteArray& log,
                            const QByteArray& sender = "ann@out.test", const QByteArray& recipients = "taro@example.test,jiro@example.test",
                            const QByteArray& protocol = "0") { QTest::newRow(name) << packets << text << log << sender << recipients << protocol; };
        row("add, folded value with LF", "hX-Spamd-Result~default: False [0.1 / 15.0];\n\tR_SPF (0.0)~|c",
            head + "X-Spamd-Result: default: False [0.1 / 15.0];\r\n\tR_SPF (0.0)\r\n" + body, "+1 header");
        row("a value cannot start a field or end the header", "hX-A~1\r\nBcc: x\r\n\r\nnew body~|c", head + "X-A: 1\r\n\tBcc: x\r\n\tnew body\r\n" + body,
            "+1 header");
        row("leading space kept: values as the filter wrote them", "hX-A~ one~|hX-B~two~|c", head + "X-A: one\r\nX-B:two\r\n" + body, "+2 headers",
            "ann@out.test", "taro@example.test,jiro@example.test", "100000");
        row("insert at the top and at 2, past the end", "i0,X-Top~t~|i2,X-Two~2~|i99,X-End~e~|c",
            "X-Top: t\r\nSubject: hi\r\nX-Two: 2\r\nFrom: ann@out.test\r\nX-Long: a\r\n\tb\r\nX-End: e\r\n" + body, "+3 headers");
        row("change, delete, change a missing one", "m1,subject~new~|m1,X-Long~~|m2,From~second~|c",
            "Subject: new\r\nFrom: ann@out.test\r\nFrom: second\r\n" + body, "+1 header, ~1 header, -1 header");
        row("sender and recipients", "e<bounce@out.test>~SIZE=1~|+<archive@example.test>~|2copy@example.test~NOTIFY=NEVER~|-<TARO@example.test>~|+jiro@example.test~|c",
            "", "sender <bounce@out.test>, +rcpt <archive@example.test>, +rcpt <copy@example.test>, -rcpt <TARO@example.test>", "bounce@out.test",
            "jiro@example.test,archive@example.test,copy@example.test");
        row("null sender; an address with a line end is ignored", "e<>~|+<x@y\r\nRCPT TO:<z@w>>~|c", "", "sender <>, bad recipient ignored", "");
        row("body replaced in chunks, dots doubled, LF made CR LF", "bline 1\n.hidden\n|blast|c", head + "\r\nline 1\r\n..hidden\r\nlast\r\n", "body replaced");
        row("changes, then a reject: none lands", "hX-A~1~|r", "", "");
    }
    void changes()
    {
        QFETCH(QByteArray, packets); QFETCH(QByteArray, text); QFETCH(QByteArray, log); QFETCH(QByteArray, sender); QFETCH(QByteArray, recipients);
        QFETCH(QByteArray, protocol);
        Script s(QList<QByteArray>{"O 6 1ff " + protocol} + Through + QList<QByteArray>{"E " + packets});
        Milter::Message m = Sample;
        const QByteArray before = m.text;
        const Result r = Converse(s, m);
        QVERIFY2(s.error.isEmpty(), s.error.constData());
        QVERIFY(r.kind != Result::Failed);
        QCOMPARE(Milter::Apply(m, r), log);
        QCOMPARE(m.text, text.isEmpty() ? before : text);
        QCOMPARE(m.sender, sender);
        QCOMPARE(m.recipients.join(','), recipients);
    }

    void packets_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QByteArray>("commands");   // the packets taken, "." when more is needed, "!" when bad
        QTest::newRow("two and a half") << QByteArray("\0\0\0\1c\0\0\0\3hab\0\0\0\5x", 17) << QByteArray("ch.");
        QTest::newRow("zero length") << QByteArray("\0\0\0\0c", 5) << QByteArray("!");
        QTest::newRow("past the largest") << Be32(Milter::MaxPacket + 1) + "b" << QByteArray("!");
    }
    void packets()
    {
        QFETCH(QByteArray, buffer); QFETCH(QByteArray, commands);
        QByteArray got;
        Milter::Packet p;
        for (;;) {
            const Milter::Take t = Milter::Decode(buffer, p);
            if (t == Milter::Take::Packet) { got += p.command; continue; }
            got += t == Milter::Take::More ? '.' : '!';
            break;
        }
        QCOMPARE(got, commands);
    }

    void settings_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QByteArray>("parsed");   // host/port/path or !error per entry, "|" between
        QTest::newRow("v6 and a name") << "inet6:[::1]:8891, inet:localhost:8892" << QByteArray("::1/8891|localhost/8892");
        QTest::newRow("bad ones are kept, as failures") << "inet:host,tcp:1.2.3.4:5,unix:,inet:h:70000" << QByteArray("!|!|!|!");
    }
    void settings()
    {
        QFETCH(QString, setting); QFETCH(QByteArray, parsed);
        QByteArrayList got;
        for (const Milters::Filter& f : Milters::ParseList(setting))
            got << (!f.error.isEmpty() ? QByteArray("!") : f.path.isEmpty() ? f.host + '/' + QByteArray::number(f.port) : f.path);
        QCOMPARE(got.join('|'), parsed);
    }

    // Filters on real sockets, in a row: the second sees what the first changed, and both
    // changes land; a third that closes the connection mid-way is noticed, and MilterDefault
    // passes the message. How the other answers, changes and failures end a delivery (rejects,
    // discard, quarantine, a refused recipient, 451 for a silent or absent filter, trusted
    // clients) is proven against libmilter through the real server in tests/e2e/test_milter.py.
    void filtersInARow()
    {
        Box b;
        SocketFilter first({"O 6 1ff 0", "C c", "H c", "M c", "R c", "T c", "L c", "N c", "B c", "E hX-First~1~|c"});
        SocketFilter second({"O 6 1ff 0", "C c", "H c", "M c", "R c", "T c", "L c", "L c", "N c", "B c", "E m1,X-First~changed~|hX-Second~2~|c"});
        SocketFilter gone({"O 6 1ff 0", "C !"});
        b.settings.AuthChecks = false;   // their DNS questions would leave the machine
        b.settings.MilterDefaultAccept = true;
        b.settings.Milters = first.Setting() + ',' + second.Setting() + ',' + gone.Setting();
        Deliver(b, Wired().Steps(), Incoming(), [](const Outcome&) {});
        const QByteArray errors = first.script.error + second.script.error + gone.script.error;
        QVERIFY2(errors.isEmpty(), errors.constData());
        QVERIFY2(b.Stored().endsWith("\r\nSubject: s\r\nX-First: changed\r\nX-Second: 2\r\n\r\nbody\r\n"), b.Stored().constData());
        QVERIFY2(b.log.contains("2-Milter " + gone.Setting().toUtf8() + ": not used (the filter closed the connection), passed per MilterDefault"),
                 b.log.join("\n").constData());
    }
};

QTEST_GUILESS_MAIN(TestMilter)
#include "test_milter.moc"
