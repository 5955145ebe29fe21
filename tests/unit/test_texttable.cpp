// The text tables: SQL over CSV files that people also edit by hand.
#include "TestSupport.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"

#include <QtTest>
#include <sys/stat.h>

namespace {

const QByteArray UsersHeader = "UserName,Password,MailID\n";

// Whether a write replaced the file by rename: the inode changes.
qint64 Inode(const ProgramFolder& f, const QString& name)
{
    struct stat st {};
    return ::stat(QFile::encodeName(f.Path(name)).constData(), &st) == 0 ? qint64(st.st_ino) : -1;
}

QStringList Column(const TextDatabase::Result& r, int c)
{
    QStringList out;
    for (const QStringList& row : r.rows) out << row.value(c);
    return out;
}

}

class TestTextTable : public QObject {
    Q_OBJECT
private slots:
    void lookups_data();
    void lookups();
    void handEditSeenByNextStatement_data();
    void handEditSeenByNextStatement();
    void missingTableFails();
    void writesReplaceFileWholeAndKeepHeader_data();
    void writesReplaceFileWholeAndKeepHeader();
    void fieldsRoundTrip_data();
    void fieldsRoundTrip();
    void malformedLineSkippedButKept_data();
    void malformedLineSkippedButKept();
    void priorityOrdersAsNumberKeepsText();
    void updateReportsChangedRows();
};

void TestTextTable::lookups_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QStringList>("mailIds");

    const QByteArray users = UsersHeader + "taro,pw,taro\n"
                             "quote,it's,quoted\n"
                             "twin,same,first\n"
                             "twin,same,second\n";
    const QString login = QStringLiteral("Select MailID From Users.txt Where UserName=? And Password=?");
    const QString byMailId = QStringLiteral("Select MailID From Users.txt Where MailID=?");

    QTest::newRow("MailID padded to ten") << users << byMailId << QStringList{"taro      "} << QStringList{"taro"};
    QTest::newRow("MailID exact") << users << byMailId << QStringList{"taro"} << QStringList{"taro"};
    QTest::newRow("MailID padded in the file") << UsersHeader + "pad,pw,pad       \n" << byMailId << QStringList{"pad"} << QStringList{"pad       "};
    QTest::newRow("leading blank counts") << users << byMailId << QStringList{" taro"} << QStringList{};
    QTest::newRow("password with quote") << users << login << QStringList{"quote", "it's"} << QStringList{"quoted"};
    QTest::newRow("injection finds nothing") << users << login << QStringList{"taro", "' or '1'='1"} << QStringList{};
    QTest::newRow("injection in user name") << users << login << QStringList{"' or '1'='1' --", "x"} << QStringList{};
    QTest::newRow("password is case-sensitive") << users << login << QStringList{"taro", "PW"} << QStringList{};
    QTest::newRow("twin rows, first first") << users << login << QStringList{"twin", "same"} << QStringList{"first", "second"};
    QTest::newRow("header only") << UsersHeader << login << QStringList{"taro", "pw"} << QStringList{};
    QTest::newRow("CRLF and BOM") << QByteArray("\xEF\xBB\xBFUserName,Password,MailID\r\ntaro,pw,taro\r\n") << login
                                  << QStringList{"taro", "pw"} << QStringList{"taro"};
}

void TestTextTable::lookups()
{
    QFETCH(QByteArray, table);
    QFETCH(QString, sql);
    QFETCH(QStringList, params);
    QFETCH(QStringList, mailIds);
    ProgramFolder f;
    f.Write("Users.txt", table);
    TextDatabase db(f.dir.path());
    QCOMPARE(Column(db.Execute(sql, params), 0), mailIds);
}

void TestTextTable::handEditSeenByNextStatement_data()
{
    QTest::addColumn<bool>("inPlace");
    // An editor that saves in place keeps the inode; a tool that writes a new file and renames it does not.
    QTest::newRow("rewritten in place") << true;
    QTest::newRow("replaced by rename") << false;
}

void TestTextTable::handEditSeenByNextStatement()
{
    QFETCH(bool, inPlace);
    ProgramFolder f;
    TextDatabase db(f.dir.path());
    const QString sql = QStringLiteral("Select Password From Users.txt Where UserName=?");
    // Same size every time, edited at once after a read: file times alone may not move between them.
    for (int i = 0; i < 20; ++i) {
        const QByteArray pw = QByteArray::number(100 + i);
        const QByteArray content = UsersHeader + "taro," + pw + ",taro\n";
        if (inPlace) {
            f.Write("Users.txt", content);
        } else {
            f.Write("Users.new", content);
            QVERIFY(QFile::remove(f.Path("Users.txt")) || i == 0);
            QVERIFY(QFile::rename(f.Path("Users.new"), f.Path("Users.txt")));
        }
        QCOMPARE(Column(db.Execute(sql, {"taro"}), 0), QStringList{QString::fromLatin1(pw)});
    }
}

void TestTextTable::missingTableFails()
{
    ProgramFolder f;
    QVERIFY(QFile::remove(f.Path("Users.txt")));
    TextDatabase db(f.dir.path());
    for (int round = 0; round < 2; ++round) {
        try {
            db.Execute(QStringLiteral("Select * From Users.txt"));
            QFAIL("a missing table must fail");
        } catch (const Failure& e) {
            QCOMPARE(e.number, Err::FileNotFound);
            QVERIFY2(e.description.contains("Users.txt"), qPrintable(e.description));
            QVERIFY(e.text().startsWith("53:"));
        }
        // Table seen once, then taken away: fails the same way.
        f.Write("Users.txt", UsersHeader + "taro,pw,taro\n");
        QCOMPARE(db.Execute(QStringLiteral("Select * From Users.txt")).rows.size(), 1);
        QVERIFY(QFile::remove(f.Path("Users.txt")));
    }
    // Nothing may have created the file behind our back.
    QVERIFY(!QFile::exists(f.Path("Users.txt")));
}

void TestTextTable::writesReplaceFileWholeAndKeepHeader_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QByteArray>("after");

    const QString insert = QStringLiteral("Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)");
    const QString update = QStringLiteral("Update Users.txt Set Password=? Where UserName=? And MailID=?");
    QTest::newRow("insert into header only") << UsersHeader << insert << QStringList{"taro", "pw", "taro"}
                                             << UsersHeader + "taro,pw,taro\n";
    QTest::newRow("insert after last line without line end") << QByteArray("UserName,Password,MailID\na,b,c") << insert
                                                             << QStringList{"d", "e", "f"}
                                                             << QByteArray("UserName,Password,MailID\na,b,c\nd,e,f\n");
    QTest::newRow("insert keeps CRLF and BOM") << QByteArray("\xEF\xBB\xBFUserName,Password,MailID\r\na,b,c\r\n") << insert
                                               << QStringList{"d", "e", "f"}
                                               << QByteArray("\xEF\xBB\xBFUserName,Password,MailID\r\na,b,c\r\nd,e,f\r\n");
    QTest::newRow("update keeps row order and blank line")
        << UsersHeader + "a,1,a\n\nb,2,b\nc,3,c\n" << update << QStringList{"new", "b", "b"}
        << UsersHeader + "a,1,a\n\nb,new,b\nc,3,c\n";
    QTest::newRow("update by padded MailID") << UsersHeader + "taro,old,taro\n" << update
                                             << QStringList{"new", "taro", "taro      "} << UsersHeader + "taro,new,taro\n";
}

void TestTextTable::writesReplaceFileWholeAndKeepHeader()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, sql);
    QFETCH(QStringList, params);
    QFETCH(QByteArray, after);
    ProgramFolder f;
    f.Write("Users.txt", before);
    const qint64 inodeBefore = Inode(f, "Users.txt");
    TextDatabase db(f.dir.path());
    QCOMPARE(db.Execute(sql, params).changes, 1);
    QCOMPARE(f.Read("Users.txt"), after);
    // Replaced by rename, never truncated and rewritten where a reader could see half a file.
    QVERIFY(Inode(f, "Users.txt") != inodeBefore);
    QCOMPARE(f.Files("."), (QStringList{"DomainMX.txt", "Users.txt"}));
    // A second connection reads back what the first one wrote.
    TextDatabase other(f.dir.path());
    QCOMPARE(other.Execute(QStringLiteral("Select * From Users.txt")).columns, (QStringList{"UserName", "Password", "MailID"}));
}

void TestTextTable::fieldsRoundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("onDisk");   // how the field appears in the file

    QTest::newRow("comma") << QStringLiteral("a,b") << QByteArray("\"a,b\"");
    QTest::newRow("quote") << QStringLiteral("say \"hi\"") << QByteArray("\"say \"\"hi\"\"\"");
    QTest::newRow("lone quote") << QStringLiteral("\"") << QByteArray("\"\"\"\"");
    QTest::newRow("LF") << QStringLiteral("one\ntwo") << QByteArray("\"one\ntwo\"");
    QTest::newRow("CRLF") << QStringLiteral("one\r\ntwo") << QByteArray("\"one\r\ntwo\"");
    QTest::newRow("blanks kept") << QStringLiteral(" both ") << QByteArray(" both ");
    QTest::newRow("single quote") << QStringLiteral("it's") << QByteArray("it's");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("UTF-8") << QStringLiteral("日本語") << QByteArray("日本語");
}

void TestTextTable::fieldsRoundTrip()
{
    QFETCH(QString, value);
    QFETCH(QByteArray, onDisk);
    ProgramFolder f;
    f.Write("Users.txt", UsersHeader + "before,x,before\n");
    {
        TextDatabase db(f.dir.path());
        db.Execute(QStringLiteral("Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)"), {"u", value, "m"});
    }
    QCOMPARE(f.Read("Users.txt"), UsersHeader + "before,x,before\nu," + onDisk + ",m\n");

    TextDatabase fresh(f.dir.path());
    const auto r = fresh.Execute(QStringLiteral("Select Password From Users.txt Where UserName=?"), {"u"});
    QCOMPARE(Column(r, 0), QStringList{value});
    // The row after it is still read as its own row.
    QCOMPARE(Column(fresh.Execute(QStringLiteral("Select UserName From Users.txt")), 0), (QStringList{"before", "u"}));
}

void TestTextTable::malformedLineSkippedButKept_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QString>("why");
    QTest::newRow("unclosed quote") << QByteArray("carol,\"pw,carol") << QStringLiteral("never closed");
    QTest::newRow("too few fields") << QByteArray("dave,pw") << QStringLiteral("2 fields");
    QTest::newRow("too many fields") << QByteArray("erin,pw,erin,extra") << QStringLiteral("4 fields");
    QTest::newRow("text after quote") << QByteArray("\"frank\"x,pw,frank") << QStringLiteral("after a closing quote");
}

void TestTextTable::malformedLineSkippedButKept()
{
    QFETCH(QByteArray, bad);
    QFETCH(QString, why);
    ProgramFolder f;
    // A value spanning two lines comes first, so the bad line is line 4 of the file.
    const QByteArray alice = "alice,\"two\nlines\",alice\n";
    const QByteArray original = UsersHeader + alice + bad + "\nbob,b,bob\n";
    f.Write("Users.txt", original);
    TextDatabase db(f.dir.path());
    QStringList warnings;
    db.Warning = [&](const QString& w) { warnings << w; };

    const QString all = QStringLiteral("Select UserName From Users.txt");
    QCOMPARE(Column(db.Execute(all), 0), (QStringList{"alice", "bob"}));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains("Users.txt line 4") && warnings[0].contains(why), qPrintable(warnings[0]));
    db.Execute(all);
    QCOMPARE(warnings.size(), 1);   // told once, not at every statement

    db.Execute(QStringLiteral("Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)"), {"carl", "c", "carl"});
    QCOMPARE(f.Read("Users.txt"), original + "carl,c,carl\n");
    db.Execute(QStringLiteral("Update Users.txt Set Password=? Where UserName=?"), {"B", "bob"});
    QCOMPARE(f.Read("Users.txt"), UsersHeader + alice + bad + "\nbob,B,bob\ncarl,c,carl\n");
    QCOMPARE(Column(db.Execute(all), 0), (QStringList{"alice", "bob", "carl"}));
}

void TestTextTable::priorityOrdersAsNumberKeepsText()
{
    ProgramFolder f;
    f.Write("DomainMX.txt", "Domain,MX,Priority\n"
                            "example.test,ten.example.test, 10\n"
                            "example.test,twenty.example.test, 20\n"
                            "other.test,one.other.test, 1\n"
                            "example.test,five.example.test, 5\n");
    TextDatabase db(f.dir.path());
    const QString sql = QStringLiteral("select * from DomainMX.txt where Domain=? Order By Priority");
    auto r = db.Execute(sql, {"example.test"});
    QCOMPARE(Column(r, 1), (QStringList{"five.example.test", "ten.example.test", "twenty.example.test"}));
    QCOMPARE(Column(r, 2), (QStringList{" 5", " 10", " 20"}));

    // Rows a lookup adds carry the preference as found, leading blank and all.
    db.Execute(QStringLiteral("Insert Into DomainMX.txt (Domain, MX, Priority) values(?,?,?)"),
               {"example.test", "seven.example.test", " 7"});
    QVERIFY(f.Read("DomainMX.txt").endsWith("example.test,seven.example.test, 7\n"));
    r = TextDatabase(f.dir.path()).Execute(sql, {"example.test"});
    QCOMPARE(Column(r, 2), (QStringList{" 5", " 7", " 10", " 20"}));
}

void TestTextTable::updateReportsChangedRows()
{
    ProgramFolder f;
    const QByteArray original = UsersHeader + "taro,pw,taro\ntaro,pw,jiro\n";
    f.Write("Users.txt", original);
    const qint64 inode = Inode(f, "Users.txt");
    TextDatabase db(f.dir.path());
    const QString update = QStringLiteral("Update Users.txt Set Password=? Where UserName=? And MailID=?");

    QCOMPARE(db.Execute(update, {"new", "nobody", "taro"}).changes, 0);
    QCOMPARE(db.Execute(update, {"new", "taro", "saburo"}).changes, 0);
    // Nothing changed: the file is not even rewritten.
    QCOMPARE(Inode(f, "Users.txt"), inode);
    QCOMPARE(f.Read("Users.txt"), original);

    QCOMPARE(db.Execute(update, {"new", "taro", "jiro"}).changes, 1);
    QCOMPARE(f.Read("Users.txt"), UsersHeader + "taro,pw,taro\ntaro,new,jiro\n");
    // Setting the value it already has still counts the row.
    QCOMPARE(db.Execute(update, {"new", "taro", "jiro"}).changes, 1);
}

QTEST_GUILESS_MAIN(TestTextTable)
#include "test_texttable.moc"
