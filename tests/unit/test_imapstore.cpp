// The IMAP folders of an account and the index of each: names that cannot leave the account,
// UIDs that are never used twice, flags kept across reopening, and files changed by others.
#include "TestSupport.h"
#include "store/Folders.h"
#include "store/MailStore.h"


namespace {
// "INBOX" first, each folder as "name attributes", "*" when subscribed.
QStringList Shown(const QString& home)
{
    QStringList out;
    for (const Folders::Info& i : Folders::List(home))
        out << (i.name + ' ' + i.attributes.join(' ') + (i.subscribed ? " *" : "")).trimmed();
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
            << QStringList{"create a/b/c/", "delete a/b", "!delete a/b 75", "create inbox/x", "delete a/b/c", "delete a/b"}
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
                else if (w[0] == "link") QVERIFY(QFile::link(pf.Path("Users"), home + "/.imap/" + w[1]));
            });
            QVERIFY2(failure.has_value() == fails, qPrintable(step + (failure ? ": " + failure->description : QString())));
            if (failure)
                QCOMPARE(failure->number, expected);
        }
        QCOMPARE(Shown(home), listed);
        QVERIFY(QFileInfo::exists(pf.Path("Users.txt")));   // nothing outside was touched
    }
};

QTEST_GUILESS_MAIN(TestImapStore)
#include "test_imapstore.moc"
