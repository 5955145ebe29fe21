// DKIM: the relaxed forms, header parsing, the fields signed, the keys the settings name, the
// signature itself (checked with OpenSSL's verify over the data we expect), and which mail a
// delivery signs. Python's dkim module verifies real copies in tests/e2e/test_dkim.py.
#include "TestSupport.h"
#include "deliver/Delivery.h"
#include "dkim/Dkim.h"
#include "tests/support/DkimKeys.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <sys/stat.h>
#include <tuple>

namespace {

// Writes a key file with `mode` into the program folder and names it in the settings.
void PutKey(const ProgramFolder& pf, const QString& name, const QByteArray& pem, int mode, QString& setting)
{
    pf.Write(name, pem);
    ::chmod(QFile::encodeName(pf.Path(name)).constData(), mode_t(mode));
    setting = name;
}

// The tags of a DKIM-Signature field, unfolded.
QMap<QByteArray, QByteArray> Tags(const QByteArray& field)
{
    QMap<QByteArray, QByteArray> tags;
    for (const QByteArray& tag : field.mid(field.indexOf(':') + 1).replace("\r\n", "").split(';')) {
        const qsizetype eq = tag.indexOf('=');
        tags[tag.left(eq).trimmed()] = QByteArray(tag.mid(eq + 1)).replace(" ", "").replace("\t", "");
    }
    return tags;
}

// A table whose test maps one text to another: columns "in" and "out".
void Pairs(std::initializer_list<std::tuple<const char*, QByteArray, QByteArray>> rows)
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    for (const auto& [name, in, out] : rows)
        QTest::newRow(name) << in << out;
}

Lines DkimLines(const Lines& log)
{
    Lines found;
    for (const QByteArray& line : log)
        if (line.contains("DKIM")) found << line;
    return found;
}


}

class TestDkim : public QObject {
    Q_OBJECT
    Settings keys_;   // the DKIM settings of the test

private slots:
    void init()
    {
        mdlCommon::ServerDomain = "Example.Test";
        keys_ = Settings();
        keys_.DkimSelector = "sel";
        keys_.DkimEd25519Selector = "sel-ed";
        Dkim::Unload();
    }
    void cleanupTestCase() { Dkim::Unload(); }

private:
    // Delivers `text` from a client of the local network to taro, with the RSA key loaded.
    void DeliverSigned(Box& b, const QByteArray& sender, const QByteArray& text)
    {
        PutKey(b.pf, "rsa.pem", Rsa().pem, 0600, keys_.DkimKey);
        Dkim::Load(keys_);
        Envelope m;
        m.sender = sender;
        m.recipients = {"taro@example.test"};
        m.text = text;
        m.helo = "c.test";
        m.client = "127.0.0.1";
        m.index = 2;
        bool done = false;
        Deliver(b, Wired().Steps(), m, [&](const Outcome& o) { done = o.refusal.isEmpty() && o.stored == 1; });
        QVERIFY(done);
    }

private slots:

    // One field in relaxed form at its edges. Names in lower case, unfolding and blanks run
    // together are proven by python3-dkim's verdict on our signatures (tests/e2e/test_dkim.py).
    void relaxedHeader_data()
    {
        Pairs({
            {"folded after the colon", "Subject:\r\n  x\r\n", "subject:x\r\n"},
            {"no line end", "Subject: x", "subject:x\r\n"},
            {"8-bit kept", "Subject: caf\xc3\xa9  \xff\r\n", "subject:caf\xc3\xa9 \xff\r\n"},
        });
    }
    void relaxedHeader()
    {
        QFETCH(QByteArray, in); QFETCH(QByteArray, out);
        QCOMPARE(Dkim::RelaxedHeader(in), out);
    }

    // A stored body in relaxed form: blanks run together, none at a line's end, empty lines at
    // the end left out, one CR LF at the end of a body that has text; one stuffed dot taken off.
    void relaxedBody_data()
    {
        Pairs({
            {"RFC 6376 3.4.5", " C \r\nD \t E\r\n\r\n\r\n", " C\r\nD E\r\n"},
            {"empty", "", ""},
            {"empty lines inside kept", "a\r\n\r\n\r\nb\r\n", "a\r\n\r\n\r\nb\r\n"},
            {"blank line inside emptied", "a\r\n \t \r\nb\r\n", "a\r\n\r\nb\r\n"},
            {"no final line end", "a  b", "a b\r\n"},
            {"stuffed dots", "..leading\r\n...two\r\n..\r\na.\r\n ..x\r\n..  \r\n",
             ".leading\r\n..two\r\n.\r\na.\r\n ..x\r\n.\r\n"},
            {"8-bit and NUL", QByteArray("caf\xc3\xa9\x00  \xff\r\n", 11), QByteArray("caf\xc3\xa9\x00 \xff\r\n", 10)},
        });
        const QByteArray y(100000, 'y'), z(100000, 'z'), empties = QByteArray(100000, '\n').replace("\n", "\r\n");
        QTest::newRow("line longer than a piece") << y + " \t " + z + " \r\n" << y + " " + z + "\r\n";
        QTest::newRow("empty lines longer than a piece") << "a\r\n" + empties + "b\r\n\r\n" << "a\r\n" + empties + "b\r\n";
        QByteArray many, manyRelaxed;   // more than one piece handed to the hash
        for (int i = 0; i < 30000; ++i) {
            many += "line " + QByteArray::number(i) + " \t end \r\n" + (i % 7 ? "" : "\r\n");
            manyRelaxed += "line " + QByteArray::number(i) + " end\r\n" + (i % 7 ? "" : "\r\n");
        }
        QTest::newRow("many pieces") << many + "\r\n\r\n" << manyRelaxed;
    }
    void relaxedBody()
    {
        QFETCH(QByteArray, in); QFETCH(QByteArray, out);
        QCOMPARE(Dkim::RelaxedBody(in), out);
        int pieces = 0;
        QByteArray joined;
        Dkim::RelaxedBody(in, [&](QByteArrayView p) { ++pieces; joined += p; });
        QCOMPARE(joined, out);
        QCOMPARE(pieces > 1, out.size() > 64 * 1024);
    }

    // h=: the fields worth signing as often as present (any letter case), From once more.
    void signedNames_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QByteArray>("names");
        QTest::newRow("no From still lists it") << QByteArray("Subject: s\r\n") << QByteArray("from:subject");
        QTest::newRow("others left out") << QByteArray("Received: x\r\nReturn-Path: <a@b>\r\nX-Mailer: m\r\nFrom: a@b\r\nComments: c\r\nKeywords: k\r\n")
                                         << QByteArray("from:from");
        QTest::newRow("letter case, twice") << QByteArray("to: a\r\nFrom: f\r\nTO: b\r\n") << QByteArray("from:from:to:to");
        QTest::newRow("all, in our order")
            << QByteArray("List-Archive: 1\r\nList-Owner: 1\r\nList-Post: 1\r\nList-Subscribe: 1\r\nList-Unsubscribe: 1\r\nList-Help: 1\r\n"
                          "List-Id: 1\r\nResent-Cc: 1\r\nResent-To: 1\r\nResent-From: 1\r\nResent-Date: 1\r\nContent-Transfer-Encoding: 1\r\n"
                          "Content-Type: 1\r\nMIME-Version: 1\r\nReferences: 1\r\nIn-Reply-To: 1\r\nReply-To: 1\r\nMessage-ID: 1\r\nDate: 1\r\n"
                          "Subject: 1\r\nCc: 1\r\nTo: 1\r\nFrom: 1\r\n")
            << QByteArray("from:from:to:cc:subject:date:message-id:reply-to:in-reply-to:references:mime-version:content-type:"
                          "content-transfer-encoding:resent-date:resent-from:resent-to:resent-cc:list-id:list-help:list-unsubscribe:"
                          "list-subscribe:list-post:list-owner:list-archive");
    }
    void signedNames()
    {
        QFETCH(QByteArray, header); QFETCH(QByteArray, names);
        const Mail::Header h(header);
        QVERIFY(h.Readable());
        QCOMPARE(Dkim::SignedNames(h.Fields()).join(':'), names);
    }

    // The keys of the settings: an RSA key its owner's alone signs; one others may read, one
    // that cannot be read or one of the wrong kind is left out with one line.
    void load_data()
    {
        QTest::addColumn<QByteArray>("rsa");   // "RSA", "RSA512", "ED25519", "missing", ""
        QTest::addColumn<int>("rsaMode");
        QTest::addColumn<QByteArray>("ed");
        QTest::addColumn<int>("edMode");
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("log");   // regular expression of all lines, joined by " | "
        QTest::addColumn<QByteArray>("signs");
        const QString signing = "DKIM: signing mail of example\\.test with sel\\._domainkey \\(rsa-sha256, 2048 bits\\)";
        QTest::newRow("none") << QByteArray() << 0600 << QByteArray() << 0 << "sel" << "" << QByteArray();
        QTest::newRow("RSA") << QByteArray("RSA") << 0600 << QByteArray() << 0 << "sel" << "^" + signing + "$" << QByteArray("rsa-sha256");
        QTest::newRow("RSA 0644") << QByteArray("RSA") << 0644 << QByteArray() << 0 << "sel"
                                  << "^DKIM: key file \\S+/rsa\\.pem may be read by others \\(mode 0644\\); it is not used until only its owner "
                                     "may \\(chmod 600\\); mail goes out unsigned$" << QByteArray();
        QTest::newRow("Ed25519 0604: RSA only") << QByteArray("RSA") << 0600 << QByteArray("ED25519") << 0604 << "sel"
                                                << "^DKIM: key file \\S+/ed\\.pem may be read by others \\(mode 0604\\).*; signing with rsa-sha256 only \\| "
                                                   + signing + "$" << QByteArray("rsa-sha256");
        QTest::newRow("Ed25519 alone") << QByteArray() << 0 << QByteArray("ED25519") << 0600 << "sel"
                                       << "^DKIM: DkimEd25519Key is used only beside DkimKey; mail goes out unsigned$" << QByteArray();
        QTest::newRow("Ed25519 as DkimKey") << QByteArray("ED25519") << 0600 << QByteArray() << 0 << "sel" << "^DKIM: key file \\S+ holds no RSA key; mail goes out unsigned$"
                                            << QByteArray();
        QTest::newRow("RSA as Ed25519 key") << QByteArray("RSA") << 0600 << QByteArray("RSA") << 0600 << "sel"
                                            << "^DKIM: key file \\S+/ed\\.pem holds no Ed25519 key; signing with rsa-sha256 only \\| " + signing + "$"
                                            << QByteArray("rsa-sha256");
        QTest::newRow("short RSA") << QByteArray("RSA512") << 0600 << QByteArray() << 0 << "sel" << "^DKIM: the RSA key in \\S+ has 512 bits; at least 1024 are needed"
                                   << QByteArray();
        QTest::newRow("missing") << QByteArray("missing") << 0600 << QByteArray() << 0 << "sel" << "^DKIM: cannot read key file \\S+/rsa\\.pem: .*mail goes out unsigned$"
                                 << QByteArray();
        QTest::newRow("bad selector") << QByteArray("RSA") << 0600 << QByteArray() << 0 << "a/b" << "^DKIM: \"a/b\" is not a selector" << QByteArray();
    }
    void load()
    {
        QFETCH(QByteArray, rsa); QFETCH(int, rsaMode); QFETCH(QByteArray, ed); QFETCH(int, edMode); QFETCH(QString, selector); QFETCH(QString, log);
        QFETCH(QByteArray, signs);
        ProgramFolder pf;
        keys_.DkimSelector = selector;
        const auto pem = [](const QByteArray& kind) {
            return kind == "RSA512" ? Rsa512().pem : kind == "RSA" ? Rsa().pem : Ed().pem;
        };
        if (rsa == "missing")
            keys_.DkimKey = "rsa.pem";
        else if (!rsa.isEmpty())
            PutKey(pf, "rsa.pem", pem(rsa), rsaMode, keys_.DkimKey);
        if (!ed.isEmpty())
            PutKey(pf, "ed.pem", pem(ed), edMode, keys_.DkimEd25519Key);
        const QString lines = QString::fromUtf8(Dkim::Load(keys_).join(" | "));
        QVERIFY2(log.isEmpty() ? lines.isEmpty() : QRegularExpression(log).match(lines).hasMatch(), qPrintable(lines));
        QCOMPARE(Dkim::Enabled(), !signs.isEmpty());
        const Dkim::Signature s = Dkim::Sign("From: a@example.test\r\n\r\nx\r\n", 1700000000, true);
        QCOMPARE(s.summary, signs.isEmpty() ? QByteArray() : "d=example.test s=" + selector.toUtf8() + " (" + signs + ")");
    }

    // The signature: the tags as meant and a body hash of the relaxed body. Its folding and
    // python3-dkim's verdict are tests/e2e/test_dkim.py's.
    void signature()
    {
        ProgramFolder pf;
        const QByteArray rsa = Rsa().pem, ed = Ed().pem;
        PutKey(pf, "rsa.pem", rsa, 0600, keys_.DkimKey);
        PutKey(pf, "ed.pem", ed, 0600, keys_.DkimEd25519Key);
        keys_.DkimSelector = "a-rather-long-selector-name.for-folding";
        Dkim::Load(keys_);
        const QByteArray text = "Received: from elsewhere\r\nTo: first@x.test\r\nFrom:  Demo \t <demo@example.test>  \r\nSubject: one\r\n\ttwo\r\n"
                                "X-Other: o\r\nto: second@x.test\r\nMessage-ID: <1@example.test>\r\n\r\n..dot  line\r\n\r\n";
        const Dkim::Signature s = Dkim::Sign(text, 1700000000, false);
        QVERIFY2(s.error.isEmpty(), s.error.constData());
        QCOMPARE(s.summary, QByteArray("d=example.test s=a-rather-long-selector-name.for-folding (rsa-sha256, ed25519-sha256)"));
        const QByteArray bodyHash = QCryptographicHash::hash(".dot line\r\n", QCryptographicHash::Sha256).toBase64();
        const qsizetype second = s.header.indexOf("DKIM-Signature:", 1);
        QVERIFY(second > 0);
        for (const auto& [field, ed25519] : {std::pair{s.header.left(second), false}, std::pair{s.header.mid(second), true}}) {
            const auto tags = Tags(field);
            QCOMPARE(tags.keys(), (QList<QByteArray>{"a", "b", "bh", "c", "d", "h", "s", "t", "v"}));
            QCOMPARE(tags["a"], ed25519 ? QByteArray("ed25519-sha256") : QByteArray("rsa-sha256"));
            QCOMPARE(tags["c"] + ' ' + tags["d"] + ' ' + tags["t"] + ' ' + tags["v"], QByteArray("relaxed/relaxed example.test 1700000000 1"));
            QCOMPARE(tags["s"], ed25519 ? QByteArray("sel-ed") : keys_.DkimSelector.toUtf8());
            QCOMPARE(tags["h"], QByteArray("from:from:to:to:subject:message-id"));
            QCOMPARE(tags["bh"], bodyHash);
        }
    }

    // Which senders of a trusted client are signed: envelope sender or From: in the served
    // domain; one log line each. The signature sits on top of the text, under the trace
    // headers of the copy. Untrusted, logged-in and notices are tests/e2e/test_dkim.py's.
    void deliveries_data()
    {
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("log");   // "" when not signed
        const QByteArray ours = "demo@example.test", foreign = "x@elsewhere.test", signedLine = "2-DKIM signed d=example.test s=sel (rsa-sha256)";
        QTest::newRow("our sender") << ours << foreign << signedLine;
        QTest::newRow("our From") << foreign << QByteArray("Demo <demo@EXAMPLE.test.>") << signedLine;
        QTest::newRow("subdomain is foreign") << QByteArray("a@sub.example.test") << QByteArray("a@sub.example.test") << QByteArray();
        QTest::newRow("From display name only") << foreign << QByteArray("\"demo@example.test\" <x@elsewhere.test>") << QByteArray();
        QTest::newRow("empty sender") << QByteArray() << foreign << QByteArray();
    }
    void deliveries()
    {
        QFETCH(QByteArray, sender); QFETCH(QByteArray, from); QFETCH(QByteArray, log);
        const QByteArray text = "From: " + from + "\r\nSubject: s\r\n\r\nbody\r\n";
        Box b;
        DeliverSigned(b, sender, text);
        const QByteArray stored = b.Stored();
        QVERIFY2(stored.startsWith("Return-Path: <" + sender + ">\r\nReceived: from c.test"), stored.constData());
        const qsizetype at = stored.indexOf("DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test;");
        QCOMPARE(DkimLines(b.log), log.isEmpty() ? Lines{} : Lines{log});
        QVERIFY2(stored.endsWith("\r\n" + text), stored.constData());
        if (log.isEmpty())
            QCOMPARE(at, -1);
        else
            QVERIFY2(at > 0 && stored.indexOf("\r\n\r\n") > at && stored.mid(at).indexOf("\r\nFrom: ") > 0, stored.constData());
    }

    // A header that cannot be read as fields is delivered unsigned, with a line that says why.
    void unreadableHeader()
    {
        Box b;
        DeliverSigned(b, "demo@example.test", "just text\r\n");
        QCOMPARE(DkimLines(b.log), Lines{"2-DKIM not signed: a header line is not a field"});
        QVERIFY(b.Stored().endsWith("\r\njust text\r\n") && !b.Stored().contains("DKIM"));
    }

    // --dkim-keygen: a 2048-bit key and no other file; a selector that is no plain name makes
    // none. The record, that it publishes this key, the file's mode and never writing over a
    // key are tests/e2e/test_dkim.py's (test_keygen).
    void makeKey()
    {
        ProgramFolder pf;
        Dkim::MakeKey(pf.dir.path(), "s2024", "example.test");
        EVP_PKEY* key = Private(pf.Read("s2024.private"));
        QVERIFY(key && EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_get_bits(key) == 2048);
        EVP_PKEY_free(key);
        QCOMPARE(QDir(pf.dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), (QStringList{"DomainMX.txt", "Users.txt", "s2024.private"}));
        for (const QByteArray bad : {"../x", "", "a..b", "-a", "a_b"}) {
            const auto refused = FailureOf([&] { Dkim::MakeKey(pf.dir.path(), bad, "example.test"); });
            QVERIFY2(refused && refused->number == Err::InvalidArgument, bad.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestDkim)
#include "test_dkim.moc"
