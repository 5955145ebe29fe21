// Message files, their names, and what a restart clears up. Which folders are mailboxes
// is tested through SMTP delivery, POP3 login and the administration window.
#include "TestSupport.h"
#include "store/MailStore.h"

namespace {
QDateTime At(int h, int mi, int s, int ms, int d = 2) { return QDateTime(QDate(2025, 3, d), QTime(h, mi, s, ms)); }
}

class TestMailStore : public QObject {
    Q_OBJECT
private slots:
    // The name is the moment to the hundredth; a taken name (.eml or .del) moves on to the
    // next free hundredth, so every name keeps its 19 characters and nothing is replaced.
    void store_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QStringList>("taken");
        QTest::addColumn<QString>("expected");
        const QDateTime t = At(9, 5, 7, 300);
        QTest::newRow("free") << t << QStringList{"250302-09050731.eml"} << "250302-09050730.eml";
        QTest::newRow("999 ms is not rounded up") << At(9, 5, 7, 999) << QStringList{} << "250302-09050799.eml";
        QTest::newRow("eml and next del taken") << t << QStringList{"250302-09050730.eml", "250302-09050731.del"} << "250302-09050732.eml";
        QTest::newRow("into the next day") << At(23, 59, 59, 995) << QStringList{"250302-23595999.del"} << "250303-00000000.eml";
        QTest::newRow("other extensions do not block") << t << QStringList{"250302-09050730.txt", "250302-09050730.EML"} << "250302-09050730.eml";
    }
    void store()
    {
        QFETCH(QDateTime, when); QFETCH(QStringList, taken); QFETCH(QString, expected);
        ProgramFolder pf;
        const QString box = pf.Mailbox("taro");
        for (const QString& n : taken)
            pf.Write("Users/taro/" + n, "old " + n.toLatin1());
        static const char raw[] = "a\0b\xff\xfe\nc\r\n..dot\r\nno final line end";
        const QByteArray content(raw, sizeof raw - 1);
        QCOMPARE(MailStore::Store(box, content, when), expected);
        QCOMPARE(pf.Read("Users/taro/" + expected), content);
        // Read whole whatever size was expected of it, with or without room around it.
        for (const qint64 size : {qint64(-1), qint64(0), content.size() - 1, content.size(), content.size() + 9})
            for (const qsizetype room : {0, 7})
                QCOMPARE(MailStore::Read(box, expected, room, room, size), content);
        for (const QString& n : taken)
            QCOMPARE(pf.Read("Users/taro/" + n), "old " + n.toLatin1());
        QCOMPARE(pf.Files("Users/taro").size(), taken.size() + 1);   // no temporary file left

        const QString second = MailStore::Store(box, "", when);   // the same moment again
        QVERIFY(second > expected);
        QVERIFY2(QRegularExpression("^\\d{6}-\\d{8}\\.eml$").match(second).hasMatch(), qPrintable(second));
        QCOMPARE(pf.Read("Users/taro/" + expected), content);
        QCOMPARE(pf.Read("Users/taro/" + second), QByteArray());
        // Names only move forward: a freed one is not given again, a later moment is used as it is.
        QVERIFY(QFile::remove(pf.Path("Users/taro/" + second)));
        QVERIFY(MailStore::Store(box, "", when) > second);
        // Later than every row's moments; 57 ms is the hundredth 05.
        QCOMPARE(MailStore::Store(box, "", At(12, 34, 56, 57, 4)), QString("250304-12345605.eml"));
    }

    // A mailbox's listing is kept between logins: whatever changes its folder, this server or
    // another program, shows at the next listing; a listing handed out earlier stays as it was.
    void listing_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("expected");
        const QString a = "250101-10000000.eml 3", b = "250101-10000001.eml 5";
        QTest::newRow("another program adds one") << QStringList{"write 250101-10000002.eml 7"} << QStringList{a, b, "250101-10000002.eml 7"};
        QTest::newRow("renamed in; other names, links and folders are not messages")
            << QStringList{"write .new.tmp 4", "rename .new.tmp 250101-09000000.eml", "write notes.txt 1", "link 250101-10000003.eml",
                           "folder 250101-10000004.eml"} << QStringList{"250101-09000000.eml 4", a, b};
        QTest::newRow("own store, mark, purge") << QStringList{"store", "mark 250101-10000000.eml", "list", "purge 250101-10000000.del"}
                                                << QStringList{b, "250302-09050730.eml 2"};
        QTest::newRow("mark, then take it back") << QStringList{"mark 250101-10000001.eml", "list", "unmark 250101-10000001.del"} << QStringList{a, b};
        QTest::newRow("changes between listings") << QStringList{"write 250101-10000002.eml 1", "list", "remove 250101-10000002.eml", "list",
                                                                 "remove 250101-10000000.eml"} << QStringList{b};
        QTest::newRow("folder replaced") << QStringList{"replace", "write 250101-10000000.eml 8"} << QStringList{"250101-10000000.eml 8"};
    }
    void listing()
    {
        QFETCH(QStringList, steps); QFETCH(QStringList, expected);
        ProgramFolder pf;
        const QString box = pf.Mailbox("taro");
        pf.Write("Users/taro/250101-10000000.eml", "abc");
        pf.Write("Users/taro/250101-10000001.eml", "abcde");
        const auto shown = [](const MailStore::Listing& l) {
            QStringList out;
            for (const MailStore::Message& m : l.messages) out << m.name + ' ' + QString::number(m.size);
            return out;
        };
        const auto first = MailStore::List(box);
        const QStringList before = shown(*first);
        for (const QString& step : steps) {
            const QStringList w = step.split(' ');
            const QString path = pf.Path("Users/taro/" + w.value(1));
            if (w[0] == "write") QVERIFY(pf.Write("Users/taro/" + w[1], QByteArray(w[2].toInt(), 'x')));
            else if (w[0] == "remove") QVERIFY(QFile::remove(path));
            else if (w[0] == "rename") QVERIFY(QFile::rename(path, pf.Path("Users/taro/" + w[2])));
            else if (w[0] == "link") QVERIFY(QFile::link(pf.Path("Users/taro/250101-10000000.eml"), path));
            else if (w[0] == "folder") QVERIFY(QDir().mkpath(path));
            else if (w[0] == "store") MailStore::Store(box, "\r\n", At(9, 5, 7, 300));
            else if (w[0] == "mark") MailStore::Mark(box, w[1]);
            else if (w[0] == "unmark") MailStore::Unmark(box, w[1]);
            else if (w[0] == "purge") MailStore::Purge(box, w[1]);
            else if (w[0] == "list") MailStore::List(box);
            else if (w[0] == "replace") QVERIFY(QDir(box).removeRecursively() && QDir().mkpath(box));
        }
        const auto now = MailStore::List(box);
        QCOMPARE(shown(*now), expected);
        qint64 bytes = 0;
        for (const QString& m : expected) bytes += m.section(' ', 1).toLongLong();
        QCOMPARE(now->bytes, bytes);
        QCOMPARE(shown(*first), before);
    }

    // Copies of one message are stored all or none, whichever copy fails: the others' files
    // (named or not yet) are gone, and the failure names the copy.
    void storeAllOrNone_data()
    {
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<int>("failed");
        QTest::newRow("all stored") << QStringList{"taro", "hana", "taro2"} << -1;
        QTest::newRow("last missing") << QStringList{"taro", "hana", "nobody"} << 2;
    }
    void storeAllOrNone()
    {
        QFETCH(QStringList, boxes);
        QFETCH(int, failed);
        ProgramFolder pf;
        std::vector<MailStore::NewCopy> copies;
        for (const QString& b : boxes) {
            if (b != "nobody") pf.Mailbox(b);
            copies.push_back({pf.Path("Users/" + b), "Return-Path: <" + b.toLatin1() + ">\r\n", {}});
        }
        size_t at = 99;
        const auto f = FailureOf([&] { MailStore::StoreAll(copies, "Subject: s\r\n\r\nx\r\n", at); });
        QCOMPARE(bool(f), failed >= 0);
        if (f) QCOMPARE(int(at), failed);
        for (size_t i = 0; i < copies.size(); ++i) {
            const QDir box(copies[i].folder);
            const QStringList left = box.entryList(QDir::Files | QDir::Hidden);
            QCOMPARE(left.size(), f || boxes[int(i)] == "nobody" ? 0 : 1);
            if (!f) QCOMPARE(MailStore::Read(copies[i].folder, copies[i].stored), copies[i].head + "Subject: s\r\n\r\nx\r\n");
        }
    }

    // A delivery killed in mid-write left its temporary file for ever, and a session that
    // never said QUIT (a crash) left its marks hiding messages for ever; nothing else goes.
    void recover()
    {
        ProgramFolder pf;
        for (const char* f : {"Users/taro/.incoming-a1B2c3.tmp", "Users/taro/.incoming-older", "Users/taro/250302-09050730.eml",
                              "Users/taro/250302-09050731.del", "Users/taro/notes.incoming-x", "outside/.incoming-z.tmp",
                              "Users/taro/.imap/Junk/.incoming-j.tmp"})
            pf.Write(f, QByteArray(f).right(5));
        pf.Mailbox("taro/.incoming-folder");
        QFile::link(pf.Path("outside/.incoming-z.tmp"), pf.Path("Users/taro/.incoming-link.tmp"));
        QFile::link(pf.Path("outside"), pf.Path("Users/linked"));
        QStringList lines = MailStore::Recover();
        lines.sort();
        QCOMPARE(lines, (QStringList{"Removed unfinished delivery Users/taro/.imap/Junk/.incoming-j.tmp (5 bytes)",
                                     "Removed unfinished delivery Users/taro/.incoming-a1B2c3.tmp (5 bytes)",
                                     "Removed unfinished delivery Users/taro/.incoming-older (5 bytes)",
                                     "Took back the mark of Users/taro/250302-09050731.del (its session ended without QUIT)"}));
        QCOMPARE(pf.Files("Users/taro"), (QStringList{".incoming-link.tmp", "250302-09050730.eml", "250302-09050731.eml", "notes.incoming-x"}));
        QCOMPARE(pf.Files("outside"), QStringList{".incoming-z.tmp"});
        QVERIFY(QDir(pf.Path("Users/taro/.incoming-folder")).exists());
    }
};

QTEST_GUILESS_MAIN(TestMailStore)
#include "test_mailstore.moc"
