// DKIM: the relaxed body, the fields signed, the keys the settings name, the signature's tags
// and body hash, and which mail a delivery signs. Python's dkim module verifies real copies in
// tests/e2e/test_dkim.py.
#include "TestSupport.h"
#include "deliver/Delivery.h"
#include "tests/support/DkimKeys.h"

#include <QRegularExpression>
#include <sys/stat.h>

namespace {

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

}

class TestDkim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { mdlCommon::ServerDomain = "Example.Test"; }

    // A stored body in relaxed form, as pieces handed to the hash: one stuffed dot taken off;
    // blanks run together, none at a line's end, and empty lines at the end left out across
    // pieces. Short bodies of every kind are python3-dkim's to verify (tests/e2e/test_dkim.py).
    void relaxedBody_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("stuffed dots") << QByteArray("..leading\r\n...two\r\n..\r\na.\r\n ..x\r\n..  \r\n")
                                      << QByteArray(".leading\r\n..two\r\n.\r\na.\r\n ..x\r\n.\r\n");
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

    // The keys of the settings: an RSA key its owner's alone signs; one others may read, one
    // that cannot be read or one of the wrong kind is left out with one line.
    void load_data()
    {
        QTest::addColumn<QByteArray>("rsa");   // the key in DkimKey: "RSA", "RSA512", "ED25519", "missing", ""
        QTest::addColumn<int>("rsaMode");
        QTest::addColumn<QByteArray>("ed");    // the key in DkimEd25519Key, mode 0600
        QTest::addColumn<QString>("selector");
        QTest::addColumn<QString>("log");   // regular expression of all lines, joined by " | "
        QTest::addColumn<QByteArray>("signs");
        const auto row = [](const char* name, const char* rsa, int rsaMode, const char* ed, const char* selector, const QString& log, const char* signs) {
            QTest::newRow(name) << QByteArray(rsa) << rsaMode << QByteArray(ed) << QString(selector) << log << QByteArray(signs);
        };
        const QString signing = "DKIM: signing mail of example\\.test with sel\\._domainkey \\(rsa-sha256, 2048 bits\\)";
        row("none", "", 0600, "", "sel", "", "");
        row("RSA 0644", "RSA", 0644, "", "sel", "^DKIM: key file \\S+/rsa\\.pem may be read by others \\(mode 0644\\); it is not used until only its owner "
                                                "may \\(chmod 600\\); mail goes out unsigned$", "");
        row("Ed25519 alone", "", 0, "ED25519", "sel", "^DKIM: DkimEd25519Key is used only beside DkimKey; mail goes out unsigned$", "");
        row("Ed25519 as DkimKey", "ED25519", 0600, "", "sel", "^DKIM: key file \\S+ holds no RSA key; mail goes out unsigned$", "");
        row("RSA as Ed25519 key", "RSA", 0600, "RSA", "sel",
            "^DKIM: key file \\S+/ed\\.pem holds no Ed25519 key; signing with rsa-sha256 only \\| " + signing + "$", "rsa-sha256");
        row("short RSA", "RSA512", 0600, "", "sel", "^DKIM: the RSA key in \\S+ has 512 bits; at least 1024 are needed", "");
        row("missing", "missing", 0600, "", "sel", "^DKIM: cannot read key file \\S+/rsa\\.pem: .*mail goes out unsigned$", "");
        row("bad selector", "RSA", 0600, "", "a/b", "^DKIM: \"a/b\" is not a selector", "");
    }
    void load()
    {
        QFETCH(QByteArray, rsa); QFETCH(int, rsaMode); QFETCH(QByteArray, ed); QFETCH(QString, selector); QFETCH(QString, log);
        QFETCH(QByteArray, signs);
        ProgramFolder pf;
        Settings settings;
        settings.ServerDomain = "Example.Test.";
        settings.DkimSelector = selector;
        settings.DkimEd25519Selector = "sel-ed";
        const auto put = [&pf](const QString& name, const QByteArray& kind, int mode, QString& setting) {
            setting = name;
            if (kind != "missing")
                pf.Write(name, kind == "RSA512" ? Rsa512().pem : kind == "RSA" ? Rsa().pem : Ed().pem);
            ::chmod(QFile::encodeName(pf.Path(name)).constData(), mode_t(mode));
        };
        if (!rsa.isEmpty())
            put("rsa.pem", rsa, rsaMode, settings.DkimKey);
        if (!ed.isEmpty())
            put("ed.pem", ed, 0600, settings.DkimEd25519Key);
        Dkim::Signer signer = Signing();   // what was held before goes
        const QString lines = QString::fromUtf8(signer.Load(settings).join(" | "));
        QVERIFY2(log.isEmpty() ? lines.isEmpty() : QRegularExpression(log).match(lines).hasMatch(), qPrintable(lines));
        QCOMPARE(signer.Enabled(), !signs.isEmpty());
        const Dkim::Signature s = signer.Sign("From: a@example.test\r\n\r\nx\r\n", 1700000000, true);
        QCOMPARE(s.summary, signs.isEmpty() ? QByteArray() : "d=example.test s=" + selector.toUtf8() + " (" + signs + ")");
    }

    // The signature: the tags as meant (h=: the fields worth signing, as often as present in
    // any letter case, From once more). Its folding, body hash and python3-dkim's verdict are
    // tests/e2e/test_dkim.py's.
    void signature()
    {
        const QByteArray selector = "a-rather-long-selector-name.for-folding";
        const QByteArray text = "Received: from elsewhere\r\nTo: first@x.test\r\nFrom:  Demo \t <demo@example.test>  \r\nSubject: one\r\n\ttwo\r\n"
                                "X-Other: o\r\nto: second@x.test\r\nMessage-ID: <1@example.test>\r\n\r\nbody\r\n";
        const Dkim::Signature s = Signing(selector, true).Sign(text, 1700000000, false);
        QVERIFY2(s.error.isEmpty(), s.error.constData());
        QCOMPARE(s.summary, "d=example.test s=" + selector + " (rsa-sha256, ed25519-sha256)");
        const qsizetype second = s.header.indexOf("DKIM-Signature:", 1);
        QVERIFY(second > 0);
        for (const auto& [field, ed25519] : {std::pair{s.header.left(second), false}, std::pair{s.header.mid(second), true}}) {
            const auto tags = Tags(field);
            QCOMPARE(tags.keys(), (QList<QByteArray>{"a", "b", "bh", "c", "d", "h", "s", "t", "v"}));
            QCOMPARE(tags["a"], ed25519 ? QByteArray("ed25519-sha256") : QByteArray("rsa-sha256"));
            QCOMPARE(tags["c"] + ' ' + tags["d"] + ' ' + tags["t"] + ' ' + tags["v"], QByteArray("relaxed/relaxed example.test 1700000000 1"));
            QCOMPARE(tags["s"], ed25519 ? QByteArray("ed") : selector);
            QCOMPARE(tags["h"], QByteArray("from:from:to:to:subject:message-id"));
        }
        // From is listed once more than present, also when absent: nobody can add one.
        QCOMPARE(Dkim::SignedNames(Mail::Header("Subject: s\r\n").Fields()).join(':'), QByteArray("from:subject"));
    }

    // Which mail of a trusted client is signed: envelope sender or From: in the served domain;
    // one log line each. A header that cannot be read is delivered unsigned, with a line that
    // says why. Where the signature sits, untrusted, logged-in and notices are
    // tests/e2e/test_dkim.py's.
    void deliveries_data()
    {
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("log");   // the DKIM line
        const QByteArray ours = "demo@example.test", foreign = "x@elsewhere.test", signedLine = "2-DKIM signed d=example.test s=sel (rsa-sha256)";
        const auto from = [](const QByteArray& f) { return "From: " + f + "\r\nSubject: s\r\n\r\nbody\r\n"; };
        QTest::newRow("our sender") << ours << from(foreign) << signedLine;
        QTest::newRow("our From") << foreign << from("Demo <demo@EXAMPLE.test.>") << signedLine;
        QTest::newRow("subdomain is foreign") << QByteArray("a@sub.example.test") << from("a@sub.example.test") << QByteArray();
        QTest::newRow("From display name only") << foreign << from("\"demo@example.test\" <x@elsewhere.test>") << QByteArray();
        QTest::newRow("header not readable") << ours << QByteArray("just text\r\n") << QByteArray("2-DKIM not signed: a header line is not a field");
    }
    void deliveries()
    {
        QFETCH(QByteArray, sender); QFETCH(QByteArray, text); QFETCH(QByteArray, log);
        Box b;
        Queue queue;
        Wiring wiring(queue);
        wiring.Signer() = Signing();
        Envelope m;
        m.sender = sender;
        m.recipients = {"taro@example.test"};
        m.text = text;
        m.helo = "c.test";
        m.client = "127.0.0.1";
        m.index = 2;
        bool done = false;
        Deliver(b, wiring.Steps(), m, [&](const Outcome& o) { done = o.refusal.isEmpty() && o.stored == 1; });
        QVERIFY(done);
        const QByteArray stored = b.Stored();
        Lines dkimLines;
        for (const QByteArray& line : b.log)
            if (line.contains("DKIM")) dkimLines << line;
        QCOMPARE(dkimLines, log.isEmpty() ? Lines{} : Lines{log});
        QVERIFY2(stored.endsWith("\r\n" + text), stored.constData());
        QCOMPARE(stored.contains("\r\nDKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.test;"), log.startsWith("2-DKIM signed"));
    }

    // --dkim-keygen: a 2048-bit key and no other file; a selector that is no plain name makes
    // none. The record, that it publishes this key, the file's mode and never writing over a
    // key are tests/e2e/test_dkim.py's (test_keygen).
    void makeKey()
    {
        ProgramFolder pf;
        Dkim::MakeKey(pf.dir.path(), "s2024", "example.test");
        const Pkey key = Private(pf.Read("s2024.private"));
        QVERIFY(key && EVP_PKEY_is_a(key.get(), "RSA") && EVP_PKEY_get_bits(key.get()) == 2048);
        QCOMPARE(QDir(pf.dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), (QStringList{"DomainMX.txt", "Users.txt", "s2024.private"}));
        for (const QByteArray bad : {"../x", "", "a..b", "-a", "a_b"}) {
            const auto refused = FailureOf([&] { Dkim::MakeKey(pf.dir.path(), bad, "example.test"); });
            QVERIFY2(refused && refused->number == Err::InvalidArgument, bad.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestDkim)
#include "test_dkim.moc"
