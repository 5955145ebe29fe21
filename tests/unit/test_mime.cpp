// Messages as IMAP shows them: envelopes, body structures, sections and decoded parts; the
// FETCH items and SEARCH keys a client sends, over a few messages.
#include "imap/ImapFetch.h"
#include "imap/ImapParser.h"
#include "mail/Mime.h"
#include "mail/MimeParts.h"

#include <QtTest>

namespace {

QByteArray Crlf(QByteArray text) { return text.replace("\n", "\r\n"); }

// The arguments of a command line as the server reads them (none when it cannot).
std::vector<Imap::Arg> Args(const QByteArray& text)
{
    QByteArray tag, error;
    return Imap::ParseCommand("A1 X " + text, &tag, &error).value_or(Imap::Command()).args;
}

const QByteArray Mixed = Crlf("From: Taro <taro@example.test>\nSubject: =?UTF-8?Q?caf=C3=A9?= menu\nDate: Mon, 7 Dec 2026 10:00:00 +0900 (JST)\n"
                              "Content-Type: multipart/mixed; boundary=\"outer\"\n\npreamble\n--outer\n"
                              "Content-Type: multipart/alternative; boundary=inner\n\n--inner\n"
                              "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\ncaf=C3=A9 =\nok\n"
                              "--inner\nContent-Type: text/html\n\n<p>cafe</p>\n--inner--\n--outer\n"
                              "Content-Type: application/octet-stream; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n"
                              "Content-Disposition: attachment; filename=\"a.bin\"\nContent-Language: en, ja\n\nAAEC\n--outer\n"
                              "Content-Type: message/rfc822\n\nFrom: Hanako <hanako@example.test>\nSubject: inner\n\nhi\n--outer--\nepilogue\n");
const QByteArray Plain = Crlf("Subject: hello\nX-Note: a\n b\n\nhello\nworld\n");
const QByteArray Broken = Crlf("Content-Type: multipart/mixed; boundary=b\nContent-Transfer-Encoding: x-uuencode\n\nno delimiter\n");

}

class TestMime : public QObject {
    Q_OBJECT
private slots:
    void bodyStructure_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("extended");
        QTest::addColumn<QByteArray>("structure");
        QTest::newRow("no type: text/plain, US-ASCII") << Plain << true << QByteArray("(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 14 2 NIL NIL NIL NIL)");
        QTest::newRow("mixed: alternative, attachment, message")
            << Mixed << true
            << QByteArray("(((\"TEXT\" \"PLAIN\" (\"CHARSET\" \"utf-8\") NIL NIL \"QUOTED-PRINTABLE\" 15 2 NIL NIL NIL NIL)"
                          "(\"TEXT\" \"HTML\" NIL NIL NIL \"7BIT\" 11 1 NIL NIL NIL NIL) \"ALTERNATIVE\" (\"BOUNDARY\" \"inner\") NIL NIL NIL)"
                          "(\"APPLICATION\" \"OCTET-STREAM\" (\"NAME\" \"a.bin\") NIL NIL \"BASE64\" 4 NIL (\"ATTACHMENT\" (\"FILENAME\" \"a.bin\")) (\"en\" \"ja\") NIL)"
                          "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 56 (NIL \"inner\" ((\"Hanako\" NIL \"hanako\" \"example.test\")) "
                          "((\"Hanako\" NIL \"hanako\" \"example.test\")) ((\"Hanako\" NIL \"hanako\" \"example.test\")) NIL NIL NIL NIL NIL) "
                          "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 2 1 NIL NIL NIL NIL) 4 NIL NIL NIL NIL) "
                          "\"MIXED\" (\"BOUNDARY\" \"outer\") NIL NIL NIL)");
        QTest::newRow("BODY leaves the extensions out") << Crlf("Content-Type: multipart/digest; boundary=d\n\n--d\n\nA: 1\n\nx\n--d--\n") << false
            << QByteArray("((\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 9 (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) "
                          "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" 1 1) 3) \"DIGEST\")");
        QTest::newRow("a multipart never split is one opaque part")
            << Broken << false << QByteArray("(\"APPLICATION\" \"OCTET-STREAM\" NIL NIL NIL \"X-UUENCODE\" 14)");
    }
    void bodyStructure()
    {
        QFETCH(QByteArray, message); QFETCH(bool, extended); QFETCH(QByteArray, structure);
        QCOMPARE(Mime::BodyStructure(message, extended), structure);
    }

    void envelope_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("envelope");
        QTest::newRow("names, routes, groups; sender and reply-to from From")
            << QByteArray("From: \"Yamada, \\\"Taro\\\"\" <taro@Example.Test> (work)\r\nTo: Team: a@x.test, B <@r.test,@s.test:b@y.test>;, c.d @ z.test\r\n"
                          "Cc: undisclosed-recipients:;\r\nMessage-ID: <1@x.test>\r\n\r\n")
            << QByteArray("(NIL NIL ((\"Yamada, \\\"Taro\\\"\" NIL \"taro\" \"Example.Test\")) ((\"Yamada, \\\"Taro\\\"\" NIL \"taro\" \"Example.Test\")) "
                          "((\"Yamada, \\\"Taro\\\"\" NIL \"taro\" \"Example.Test\")) ((NIL NIL \"Team\" NIL)(NIL NIL \"a\" \"x.test\")"
                          "(\"B\" \"@r.test,@s.test\" \"b\" \"y.test\")(NIL NIL NIL NIL)(NIL NIL \"c.d\" \"z.test\")) "
                          "((NIL NIL \"undisclosed-recipients\" NIL)(NIL NIL NIL NIL)) NIL NIL \"<1@x.test>\")");
        QTest::newRow("encoded words kept, 8-bit as a literal, no domain")
            << QByteArray("Subject: =?UTF-8?B?5pel?=\r\nFrom: =?ISO-8859-1?Q?J=F6rg?= <joerg>\r\nSender: \xE5\xA4\xAA <t@x.test>\r\nIn-Reply-To: <0@x.test>\r\n\r\n")
            << QByteArray("(NIL \"=?UTF-8?B?5pel?=\" ((\"=?ISO-8859-1?Q?J=F6rg?=\" NIL \"joerg\" \"\")) (({3}\r\n\xE5\xA4\xAA NIL \"t\" \"x.test\")) "
                          "((\"=?ISO-8859-1?Q?J=F6rg?=\" NIL \"joerg\" \"\")) NIL NIL NIL \"<0@x.test>\" NIL)");
        QTest::newRow("a NUL in an address (it once hung the reader)") << QByteArray("To: a\0b@x.test\r\n\r\n", 18)
            << QByteArray("(NIL NIL NIL NIL NIL ((NIL NIL {3}\r\na\0b \"x.test\")) NIL NIL NIL NIL)", 67);
    }
    void envelope()
    {
        QFETCH(QByteArray, header); QFETCH(QByteArray, envelope);
        QCOMPARE(Mime::Envelope(header), envelope);
    }

    // BODY[section] and BINARY[part]: "!" for no answer (a malformed section, an unknown encoding).
    void section_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("section");
        QTest::addColumn<QByteArray>("bytes");
        const auto row = [](const char* name, const QByteArray& m, const char* s, const QByteArray& b) { QTest::newRow(name) << m << QByteArray(s) << b; };
        row("whole", Plain, "", Plain);
        row("header with its empty line", Plain, "HEADER", Plain.left(33));
        row("text", Plain, "text", "hello\r\nworld\r\n");
        row("part 1 of a single part is its body", Plain, "1", "hello\r\nworld\r\n");
        row("1.MIME of a single part is the header", Plain, "1.MIME", Plain.left(33));
        row("fields, folds kept, any case", Plain, "HEADER.FIELDS (x-note \"SUBJECT\")", "Subject: hello\r\nX-Note: a\r\n b\r\n\r\n");
        row("fields not", Plain, "HEADER.FIELDS.NOT (SUBJECT)", "X-Note: a\r\n b\r\n\r\n");
        row("nested part: the delimiter's line end is not the part's", Mixed, "1.2", "<p>cafe</p>");
        row("a part's MIME header", Mixed, "1.2.MIME", "Content-Type: text/html\r\n\r\n");
        row("the message in a part", Mixed, "3", Crlf("From: Hanako <hanako@example.test>\nSubject: inner\n\nhi"));
        row("its header fields", Mixed, "3.HEADER.FIELDS (Subject)", "Subject: inner\r\n\r\n");
        row("its text, its part 1", Mixed, "3.1", "hi");
        row("HEADER of a part that holds no message", Mixed, "2.HEADER", "");
        row("no such part", Mixed, "4", "");
        row("no such part below a leaf", Mixed, "2.1", "");
        for (const char* bad : {"0", "1.", "1..2", "MIME", "HEADER.FIELDS", "HEADER.FIELDS ()", "HEADER.FIELDS (A", "TEXT X", "1.BODY", "99999999999"})
            row(bad, Mixed, bad, "!");
        row("BINARY: quoted-printable, soft break", Mixed, "b:1.1", "caf\xC3\xA9 ok");
        row("BINARY: base64", Mixed, "b:2", QByteArray("\0\1\2", 3));
        row("BINARY: a message as it is", Mixed, "b:3.1", "hi");
        row("BINARY: unknown encoding", Broken, "b:1", "!");
        row("BINARY: no section text", Mixed, "b:1.MIME", "!");
    }
    void section()
    {
        QFETCH(QByteArray, message); QFETCH(QByteArray, section); QFETCH(QByteArray, bytes);
        const bool binary = section.startsWith("b:");
        const auto got = binary ? Mime::Binary(message, section.mid(2)) : Mime::Section(message, section);
        QCOMPARE(got.value_or("!"), bytes);
    }

    // Whatever a message holds, the parts come out bounded and in linear time.
    void hostile()
    {
        QByteArray deep;
        for (int i = 0; i < 5000; ++i)
            deep += "Content-Type: message/rfc822\r\n\r\n";
        QByteArray many = "Content-Type: multipart/mixed; boundary=x\r\n\r\n";
        for (int i = 0; i < 20000; ++i)
            many += "--x\r\n\r\n.\r\n";
        const QByteArray open = "Content-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\n\r\n" + QByteArray(1 << 20, 'a');
        const QByteArray noisy = "From: " + QByteArray(1 << 20, '[') + "\r\nSubject: " + QByteArray(1 << 20, '?').replace("??", "=?");
        QElapsedTimer t;
        t.start();
        QVERIFY(Mime::Envelope(noisy).startsWith("(NIL {1048576}\r\n=?=?"));
        QCOMPARE(Mime::DecodeWords(noisy).size(), noisy.size());
        QCOMPARE(Mime::BodyStructure(deep, true).count("\"RFC822\""), 32);
        QCOMPARE(Mime::BodyStructure(many, false).count("\"PLAIN\""), 999);
        QCOMPARE(Mime::Section(open, "1")->size(), 1 << 20);
        QCOMPARE(Mime::Section(deep, QByteArray(30000, '1').replace("11", "1.").chopped(1)).value(), "");
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    }

    // FETCH items and each message's response; "!" before a BAD or NO text.
    void fetch_data()
    {
        QTest::addColumn<QByteArray>("items");
        QTest::addColumn<bool>("uid");
        QTest::addColumn<QByteArray>("response");
        const auto row = [](const char* items, bool uid, const QByteArray& r) { QTest::newRow(items) << QByteArray(items) << uid << r; };
        row("FAST", false, "* 3 FETCH (FLAGS (\\Seen $Work) INTERNALDATE \"07-Dec-2026 01:00:00 +0000\" RFC822.SIZE 40)\r\n");
        row("(RFC822.SIZE UID)", true, "* 3 FETCH (UID 9 RFC822.SIZE 40)\r\n");
        row("(BODY.PEEK[HEADER.FIELDS (SUBJECT)]<0.8> BODY[TEXT]<7.100>)", false,
            "* 3 FETCH (BODY[HEADER.FIELDS (SUBJECT)]<0> {8}\r\nSubject: BODY[TEXT]<7> {7}\r\nworld\r\n)\r\n");
        row("BODY[]<100.5>", false, "* 3 FETCH (BODY[]<100> {0}\r\n)\r\n");
        row("(BINARY.PEEK[1] BINARY.SIZE[1]) (CHANGEDSINCE 4)", false, "* 3 FETCH (BINARY[1] {14}\r\nhello\r\nworld\r\n BINARY.SIZE[1] 14 MODSEQ (5))\r\n");
        row("RFC822.HEADER", false, "* 3 FETCH (RFC822.HEADER {33}\r\n" + Plain.left(33) + ")\r\n");
        for (const char* bad : {"(FAST)", "BODY[1", "BODY[]<5>", "BODY[]<0.0>", "BINARY.SIZE[1]<0.1>", "FLAGS (CHANGEDSINCE 0)", "FLAGS (VANISHED)", "NOPE", "()"})
            row(bad, false, "!Invalid FETCH items");
    }
    void fetch()
    {
        QFETCH(QByteArray, items); QFETCH(bool, uid); QFETCH(QByteArray, response);
        qputenv("TZ", "UTC");
        const IndexEntry e{9, "m", 5, {"\\Seen", "$Work"}, 1796605200, 40};
        QByteArray error;
        const auto f = Imap::FetchItems::Parse(Args(items), 0, &error);
        QCOMPARE(f ? f->Response({3, &e, [] { return Plain; }}, uid, false, &error) : '!' + error, response);
    }

    // SEARCH over three messages: which numbers match, and the untagged response.
    void search_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("response");
        const auto row = [](const char* keys, const QByteArray& r) { QTest::newRow(keys) << QByteArray(keys) << r; };
        row("ALL", "* SEARCH 1 2 3\r\n");
        row("CHARSET UTF-8 SUBJECT \"CAFÉ\"", "* SEARCH 1\r\n");
        row("FROM taro TO nobody", "* SEARCH\r\n");
        row("SUBJECT HELLO", "* SEARCH 2\r\n");
        row("HEADER X-Note \"\"", "* SEARCH 2\r\n");
        row("BODY \"café ok\"", "* SEARCH 1\r\n");
        row("TEXT hanako", "* SEARCH 1\r\n");
        row("OR (LARGER 100 SEEN) NOT 1:2", "* SEARCH 1 3\r\n");
        row("UNKEYWORD $Work UID 20:*", "* SEARCH 3\r\n");
        row("SENTBEFORE 8-Dec-2026 SENTSINCE 7-dec-2026", "* SEARCH 1 3\r\n");
        row("ON 7-Dec-2026 NOT SINCE 8-Dec-2026 OLD", "* SEARCH 1 3\r\n");
        row("SINCE 8-Dec-2026 BEFORE 9-Dec-2026", "* SEARCH 2\r\n");
        row("MODSEQ \"/flags/\\\\draft\" all 6", "* SEARCH 2 3 (MODSEQ 7)\r\n");
        row("RETURN (MIN MAX COUNT ALL) NOT 2", "* ESEARCH (TAG \"A1\") MIN 1 MAX 3 COUNT 2 ALL 1,3\r\n");
        row("RETURN () 1:3", "* ESEARCH (TAG \"A1\") ALL 1:3\r\n");
        row("RETURN (COUNT) NEW", "* ESEARCH (TAG \"A1\") COUNT 0\r\n");
        for (const char* bad : {"", "NOT", "OR 1", "LARGER x", "SINCE 32-Dec-2026", "SINCE 7-Dec-26", "HEADER \"\" x", "()", "1:x", "RETURN (FIRST) ALL"})
            row(bad, "!BAD");
        row("CHARSET KOI8-R ALL", "![BADCHARSET] (US-ASCII UTF-8) Unsupported charset");
        QByteArray nested = QByteArray(200, 'x').replace("x", "NOT ") + "ALL";
        QTest::newRow("nested too deep") << nested << QByteArray("!BAD");
    }
    void search()
    {
        QFETCH(QByteArray, keys); QFETCH(QByteArray, response);
        qputenv("TZ", "UTC");
        const QByteArray texts[] = {Mixed, Plain, Broken};
        const IndexEntry entries[] = {{3, "a", 1, {"\\Seen"}, 1796605200, Mixed.size()}, {5, "b", 6, {"$work"}, 1796605200 + 86400, 40},
                                      {21, "c", 7, {}, 1796605200, 60}};
        QByteArray error;
        const auto q = Imap::SearchQuery::Parse(Args(keys), 0, &error);
        std::vector<quint32> matches;
        for (quint32 i = 0; q && i < 3; ++i)
            if (q->Matches({i + 1, &entries[i], [&] { return texts[i]; }, [&] { return texts[i].left(texts[i].indexOf("\r\n\r\n") + 4); }}, 3, 21))
                matches.push_back(i + 1);
        QCOMPARE(q ? q->Response("A1", matches, false, 7) : '!' + (error.startsWith('[') ? error : "BAD"), response);
    }
};

QTEST_GUILESS_MAIN(TestMime)
#include "test_mime.moc"
