// The IMAP folders of an account and the index of each: names that cannot leave the account,
// UIDs that are never used twice, flags kept across reopening, and files changed by others.
#include "TestSupport.h"
#include "deliver/Delivery.h"
#include "mail/Header.h"
#include "store/Folders.h"
#include "store/HeaderCache.h"
#include "store/IndexFile.h"
#include "store/MailStore.h"
#include "store/MailboxIndex.h"

namespace {
// "INBOX" first, each folder as "name attributes", "*" when subscribed.
QStringList Shown(const QString& home)
{
    QStringList out;
    for (const Folders::Info& i : Folders::List(home))
        out << (i.name + ' ' + i.attributes.join(' ') + (i.subscribed ? " *" : "")).trimmed();
    return out;
}

// Entries as "uid" or "uid[flags]".
QString Shown(const MailboxIndex& index)
{
    QStringList out;
    for (const IndexEntry& e : index.Entries())
        out << QString::number(e.uid) + (e.flags.isEmpty() ? QString() : '[' + QString::fromUtf8(e.flags.join(' ')) + ']');
    return out.join(' ');
}

QList<QByteArray> Words(const QString& text)
{
    QList<QByteArray> out;
    for (const QString& w : text.split(' ', Qt::SkipEmptyParts))
        out << w.toUtf8();
    return out;
}
}

class TestImapStore : public QObject {
    Q_OBJECT
private slots:
    // Where a name lies below the mailbox folder; "" when it cannot be a folder.
    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        const QString deep = QStringList(32, "d").join('/');
        QTest::newRow("INBOX in any case is the mailbox") << "iNbOx" << ".";
        QTest::newRow("children of INBOX") << "inbox/Sub" << ".imap/INBOX/Sub";
        QTest::newRow("levels") << "Sent/2024/März 日本" << ".imap/Sent/2024/März 日本";
        QTest::newRow("hidden, percent and backslash written out") << ".x/50%\\y" << ".imap/%2Ex/50%25%5Cy";
        QTest::newRow("parent") << ".." << "";
        QTest::newRow("parent inside") << "a/../b" << "";
        QTest::newRow("dot level") << "a/./b" << "";
        QTest::newRow("leading delimiter") << "/etc" << "";
        QTest::newRow("empty level") << "a//b" << "";
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "";
        QTest::newRow("32 levels") << deep << ".imap/" + deep;
        QTest::newRow("33 levels") << deep + "/d" << "";
        QTest::newRow("level over 255 bytes") << QString(128, QChar(0xe9)) << "";
    }
    void names()
    {
        QFETCH(QString, name); QFETCH(QString, path);
        ProgramFolder pf;
        const QString home = pf.Mailbox("taro");
        QCOMPARE(Folders::PathOf(home, name), path.isEmpty() ? QString() : path == "." ? home : home + '/' + path);
    }

    // CREATE, DELETE, RENAME and SUBSCRIBE as LIST shows them after; "!step n": fails with Err n.
    void folders_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("first login") << QStringList{"special", "special"}
            << QStringList{"INBOX \\HasNoChildren *", "Archive \\HasNoChildren \\Archive *", "Drafts \\HasNoChildren \\Drafts *",
                           "Junk \\HasNoChildren \\Junk *", "Sent \\HasNoChildren \\Sent *", "Trash \\HasNoChildren \\Trash *"};
        QTest::newRow("parents made; a deleted parent stays Noselect until its children go")
            << QStringList{"create a/b/c/", "select a/b", "delete a/b", "!delete a/b 75", "!select a/b 75", "create inbox/x", "delete a/b/c", "delete a/b"}
            << QStringList{"INBOX \\HasChildren", "INBOX/x \\HasNoChildren", "a \\HasNoChildren"};
        QTest::newRow("Noselect made selectable again") << QStringList{"create a/b", "delete a", "create a"}
            << QStringList{"INBOX \\HasNoChildren", "a \\HasChildren", "a/b \\HasNoChildren"};
        QTest::newRow("taken, missing, INBOX, hostile")
            << QStringList{"create x", "!create x 58", "!create INBOX 58", "!delete nope 53", "!delete inbox 70", "!rename nope y 53",
                           "!rename x INBOX 58", "!rename x x/y 5", "!create a/../b 5", "!subscribe ../x 5", "link evil", "!create evil/x 5"}
            << QStringList{"INBOX \\HasNoChildren", "x \\HasNoChildren"};
        QTest::newRow("rename moves children and subscriptions")
            << QStringList{"create a/b", "subscribe a/b", "create ab", "subscribe ab", "rename a z/y", "subscribe INBOX", "unsubscribe inbox"}
            << QStringList{"INBOX \\HasNoChildren", "ab \\HasNoChildren *", "z \\HasChildren", "z/y \\HasChildren", "z/y/b \\HasNoChildren *"};
    }
    void folders()
    {
        QFETCH(QStringList, steps); QFETCH(QStringList, listed);
        ProgramFolder pf;
        const QString home = pf.Mailbox("taro");
        for (const QString& step : steps) {
            const bool fails = step.startsWith('!');
            QStringList w = step.mid(fails).split(' ');
            const int expected = fails ? w.takeLast().toInt() : 0;
            const auto failure = FailureOf([&] {
                if (w[0] == "special") Folders::MakeSpecial(home);
                else if (w[0] == "create") Folders::Create(home, w[1]);
                else if (w[0] == "delete") Folders::Delete(home, w[1]);
                else if (w[0] == "rename") Folders::Rename(home, w[1], w[2]);
                else if (w[0] == "subscribe" || w[0] == "unsubscribe") Folders::Subscribe(home, w[1], w[0] == "subscribe");
                else if (w[0] == "select") MailboxIndex::Open(Folders::PathOf(home, w[1]));
                else if (w[0] == "link") QVERIFY(QFile::link(pf.Path("Users"), home + "/.imap/" + w[1]));
            });
            QVERIFY2(failure.has_value() == fails, qPrintable(step + (failure ? ": " + failure->description : QString())));
            if (failure)
                QCOMPARE(failure->number, expected);
        }
        QCOMPARE(Shown(home), listed);
        QVERIFY(QFileInfo::exists(pf.Path("Users.txt")));   // nothing outside was touched
    }

    // An index through appends, stores, expunges, files changed behind its back, reopening, and
    // a lost or damaged index file.
    void index_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("entries");
        QTest::addColumn<bool>("newValidity");
        // Each row starts with two messages, UIDs 1 and 2.
        QTest::newRow("UIDs never used again across reopen") << QStringList{"expunge 2", "reopen", "append"} << "1 3" << false;
        QTest::newRow("a crash before the index record: the file gets the next UID") << QStringList{"deliver", "reopen", "append"} << "1 2 3 4" << false;
        QTest::newRow("files added and removed by others") << QStringList{"deliver", "remove 1", "append"} << "2 3 4" << false;
        QTest::newRow("marked by POP3 stays, gone once purged") << QStringList{"mark 1", "expect 1 2", "mark 2", "purge 2"} << "1" << false;
        QTest::newRow("expunge while POP3 has it marked") << QStringList{"mark 1", "expunge 1", "append"} << "2 3" << false;
        QTest::newRow("flags set, added, removed in any case")
            << QStringList{"store 1 + \\seen $Work", "store 1 + \\SEEN", "store 1 - $work", "store 2 = \\Flagged \\Draft", "store 2 - \\draft", "reopen"}
            << "1[\\Seen] 2[\\Flagged]" << false;
        QTest::newRow("unchangedSince leaves a changed message alone")
            << QStringList{"store 1 + a", "store 1 + b 3", "store 1 + c 4", "store 2 + d 3", "reopen"} << "1[a c] 2[d]" << false;
        QTest::newRow("lost index: rebuilt from the files") << QStringList{"store 1 + \\Seen", "lose", "reopen"} << "1 2" << true;
        QTest::newRow("damaged line: rebuilt, the flags read before it kept")
            << QStringList{"store 2 + \\Seen", "damage", "reopen"} << "1 2[\\Seen]" << true;
        QTest::newRow("a last line cut short is left out") << QStringList{"store 1 + x", "tear", "reopen", "append", "reopen"} << "1[x] 2 3" << false;
        QTest::newRow("a header kept is never that of a file since rewritten, replaced or marked")
            << QStringList{"settle", "header 1 one", "header 2 two", "rewrite 1 one tri", "header 1 tri", "replace 2 two owt", "header 2 owt",
                           "settle", "lose", "reopen", "header 1 tri", "rewrite 1 tri fou", "header 1 fou", "mark 2", "header 2 owt"}
            << "1 2" << true;
    }
    void index()
    {
        QFETCH(QStringList, steps); QFETCH(QString, entries); QFETCH(bool, newValidity);
        ProgramFolder pf;
        const QString home = pf.Mailbox("taro");
        auto index = MailboxIndex::Open(home);
        const quint32 validity = index->UidValidity();
        index->Append("Subject: one\r\n\r\n.\r\n", {}, {});
        index->Append("Subject: two\r\n\r\n", {}, {});
        const auto name = [&](const QString& uid) { return index->Find(uid.toUInt())->name; };
        for (const QString& step : steps) {
            QStringList w = step.split(' ');
            if (w[0] == "append") index->Append("a\r\n", {}, QDateTime());
            else if (w[0] == "deliver") MailStore::Store(home, "x\r\n");
            else if (w[0] == "remove") QVERIFY(QFile::remove(home + '/' + name(w[1])));
            else if (w[0] == "mark") MailStore::Mark(home, name(w[1]));
            else if (w[0] == "purge") MailStore::Purge(home, name(w[1]).chopped(3) + "del");
            else if (w[0] == "expunge") index->Expunge({w[1].toUInt()});
            else if (w[0] == "expect") QCOMPARE(Shown(*index), step.mid(7));
            else if (w[0] == "reopen") { index.reset(); index = MailboxIndex::Open(home); }
            else if (w[0] == "lose") QVERIFY(QFile::remove(home + "/.imap-index"));
            else if (w[0] == "damage") QVERIFY(pf.Write("Users/taro/.imap-journal", pf.Read("Users/taro/.imap-journal") + "+ 7 x\n"));
            else if (w[0] == "tear") QVERIFY(pf.Write("Users/taro/.imap-journal", pf.Read("Users/taro/.imap-journal") + "+ 2 9 0 1 x.eml"));
            else if (w[0] == "settle") QTest::qWait(200);   // past the tick of the file times
            else if (w[0] == "header") QCOMPARE(HeaderCache::Envelope(*index, w[1].toUInt()).split('"').at(1), w[2].toUtf8());
            else if (w[0] == "rewrite" || w[0] == "replace") {   // in place, or a new file renamed over it
                const QString file = "Users/taro/" + name(w[1]), to = w[0] == "rewrite" ? file : "Users/taro/new";
                QVERIFY(pf.Write(to, pf.Read(file).replace(w[2].toUtf8(), w[3].toUtf8())));
                QVERIFY(to == file || ::rename(QFile::encodeName(pf.Path(to)).constData(), QFile::encodeName(pf.Path(file)).constData()) == 0);
            }
            else if (w[0] == "store") {
                const auto mode = w[2] == "+" ? MailboxIndex::FlagMode::Add : w[2] == "-" ? MailboxIndex::FlagMode::Remove : MailboxIndex::FlagMode::Set;
                const quint64 since = w.size() == 5 && w[4][0].isDigit() ? w.takeLast().toULongLong() : 0;
                const quint64 before = index->Find(w[1].toUInt())->modseq;
                const bool stored = index->Store(w[1].toUInt(), mode, Words(w.mid(3).join(' ')), since);
                QCOMPARE(stored, !since || before <= since);
            }
            if (w[0] != "expect" && w[0] != "reopen") index->Refresh();   // Open is up to date by itself
        }
        QCOMPARE(Shown(*index), entries);
        QCOMPARE(index->UidValidity() != validity, newValidity);
        QVERIFY(!newValidity || index->UidValidity() > validity);
        for (const IndexEntry& e : index->Entries())
            QCOMPARE(e.size, index->Text(e.uid).size());
    }

    // One index per folder while it is open; what one holder changes the others see at once,
    // removals are told by mod-sequence, a copy keeps flags, date and text.
    void shared()
    {
        ProgramFolder pf;
        const QString home = pf.Mailbox("taro");
        const auto a = MailboxIndex::Open(home), b = MailboxIndex::Open(home + "/");
        QCOMPARE(a.get(), b.get());
        int told = 0;
        const int watch = b->Watch([&] { ++told; });
        const QByteArray text = ".leading dot\r\n..two\r\n";
        const QDateTime date(QDate(2024, 2, 29), QTime(12, 0), Qt::UTC);
        const quint32 uid = a->Append(text, {"\\Seen", "$Later"}, date);
        QCOMPARE(told, 1);
        const QString stored = a->Find(uid)->name;
        QVERIFY2(QRegularExpression("^\\d{6}-\\d{8}\\.eml$").match(stored).hasMatch(), qPrintable(stored));
        QCOMPARE(pf.Read("Users/taro/" + stored), Mail::Stuffed(text));
        QCOMPARE(a->Text(uid), text);

        Folders::MakeSpecial(home);
        const auto sent = MailboxIndex::Open(Folders::PathOf(home, "Sent"));
        const quint32 copy = a->CopyTo(uid, *sent);
        const IndexEntry& e = *sent->Find(copy);
        QCOMPARE(QList<QByteArray>(e.flags), QList<QByteArray>({"\\Seen", "$Later"}));
        QCOMPARE(e.internalDate, date.toSecsSinceEpoch());
        QCOMPARE(sent->Text(copy), text);
        Folders::Rename(home, "Sent", "Old/Sent");   // renamed while open: the same index, by its new name
        QCOMPARE(MailboxIndex::Open(Folders::PathOf(home, "Old/Sent")).get(), sent.get());
        QCOMPARE(sent->Text(copy), text);

        const quint64 before = a->HighestModSeq();
        const quint32 second = a->Append("x\r\n", {}, {});
        a->Expunge({uid});
        const quint64 between = a->HighestModSeq();
        a->Expunge({second});
        QCOMPARE(a->ExpungedSince(before), QList<quint32>({uid, second}));
        QCOMPARE(a->ExpungedSince(between), QList<quint32>{second});
        QCOMPARE(told, 4);
        b->Unwatch(watch);
        a->Append("y\r\n", {"\\Flagged"}, {});
        QCOMPARE(told, 4);
        QVERIFY(MailStore::List(home)->messages.size() == 1);   // POP3 sees INBOX only
        Folders::Rename(home, "INBOX", "Old/Inbox");             // the messages leave with their flags
        a->Refresh();
        QVERIFY(a->Entries().empty());
        QVERIFY(MailboxIndex::Open(Folders::PathOf(home, "Old/Inbox"))->Entries().at(0).Has("\\flagged"));
    }

    // A journal grown past the messages is folded into the snapshot, each change with it.
    void fold()
    {
        ProgramFolder pf;
        const QString home = pf.Mailbox("taro");
        for (int i = 0; i < 1100; ++i)
            pf.Write(QString("Users/taro/251207-%1.eml").arg(i, 8, 10, QChar('0')), "x\r\n");
        auto index = MailboxIndex::Open(home);
        QList<quint32> all;
        for (const IndexEntry& e : index->Entries())
            all << e.uid;
        index->Store(all, MailboxIndex::FlagMode::Add, {"\\Seen"});
        index->Store(1, MailboxIndex::FlagMode::Add, {"last"});
        QVERIFY(QFileInfo(home + "/.imap-journal").size() < 100);   // the last change only
        index.reset();
        index = MailboxIndex::Open(home);
        QCOMPARE(index->Entries().size(), size_t(1100));
        QVERIFY(std::all_of(index->Entries().begin(), index->Entries().end(), [](const IndexEntry& e) { return e.Has("\\seen"); }));
        QVERIFY(index->Find(1)->Has("last"));
    }

    // Removals stay told however many there are: the oldest ones as the UIDs not present.
    void tombstones()
    {
        IndexData data;
        data.Put({20001, "kept.eml", 1, {}, 0, 0});
        for (quint32 uid = 1; uid <= 20000; ++uid)
            data.Remove(uid, uid + 1);
        data.Prune();
        QVERIFY(data.tombstones.size() <= 10000);
        QCOMPARE(data.RemovedSince(0).size(), 20000);
        QCOMPARE(data.RemovedSince(19999), QList<quint32>({19999, 20000}));
    }

    // QuarantineToJunk files mail marked as spam into Junk, made when missing; POP3 keeps it otherwise.
    void junk_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QByteArray>("flag");
        QTest::addColumn<QString>("folder");
        QTest::newRow("marked, on") << true << QByteArray("X-Spam-Flag:  yes ") << "Users/taro/.imap/Junk";
        QTest::newRow("marked, off") << false << QByteArray("X-Spam-Flag: YES") << "Users/taro";
        QTest::newRow("not marked, on") << true << QByteArray("X-Spam-Flag: NO") << "Users/taro";
    }
    void junk()
    {
        QFETCH(bool, on); QFETCH(QByteArray, flag); QFETCH(QString, folder);
        Box b;
        mdlCommon::ServerDomain = "example.test";
        b.settings.AuthChecks = false;
        b.settings.QuarantineToJunk = on;
        Envelope m;
        m.sender = "ann@out.test", m.recipients = {"taro@example.test", "Taro@example.test"}, m.text = flag + "\r\nSubject: s\r\n\r\nbody\r\n";
        m.client = "192.0.2.7", m.index = 2;
        int stored = 0;
        Deliver(b, Wired().Steps(), m, [&](const Outcome& o) { stored = o.stored; });
        QCOMPARE(stored, 1);
        QCOMPARE(b.pf.Files(folder).filter(".eml").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestImapStore)
#include "test_imapstore.moc"
