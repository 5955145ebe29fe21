// The text tables: SQL over CSV files that people also edit by hand.
#include "TestSupport.h"
#include "core/TextDatabase.h"

#include <sys/stat.h>

namespace {

const QByteArray Header = "UserName,Password,MailID\n";
const QString Login = "Select MailID From Users.txt Where UserName=? And Password=?";
const QString Insert = "Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)";
const QString Update = "Update Users.txt Set Password=? Where UserName=?";

qint64 Inode(const ProgramFolder& f)   // a write that replaces the file by rename changes it
{
    struct stat st {};
    return ::stat(QFile::encodeName(f.Path("Users.txt")).constData(), &st) == 0 ? qint64(st.st_ino) : -1;
}

QList<QStringList> Rows(const ProgramFolder& f) { return TextDatabase(f.dir.path()).Execute("Select * From T.txt").rows; }

QStringList Column(const TextDatabase::Result& r, int c = 0)
{
    QStringList out;
    for (const QStringList& row : r.rows) out << row.value(c);
    return out;
}

}

class TestTextTable : public QObject {
    Q_OBJECT
private slots:
    void lookups()
    {
        const QByteArray users = Header + "taro,pw,taro\ntwin,same,first\ntwin,same,second\n";
        const QString byMailId = "Select MailID From Users.txt Where MailID=?";
        const struct { QString sql; QStringList params, found; } rows[] = {
            {byMailId, {"taro      "}, {"taro"}},                          // padded to ten
            {byMailId, {" taro"}, {}},                                     // a leading blank counts
            {Login, {"taro", "PW"}, {}},                                   // case-sensitive (quotes, injection, padding: the POP3 logins)
            {Login, {"twin", "same"}, {"first", "second"}},                // in file order
        };
        ProgramFolder f(users);
        TextDatabase db(f.dir.path());
        for (const auto& r : rows)
            QVERIFY2(Column(db.Execute(r.sql, r.params)) == r.found, qPrintable(r.params.join('|')));
    }

    // Same size every time and edited at once after a read: file times alone may not move.
    void handEditSeenByNextStatement()
    {
        for (const bool inPlace : {true, false}) {   // an editor saving in place, or a tool writing a new file and renaming it
            ProgramFolder f;
            TextDatabase db(f.dir.path());
            for (int i = 100; i < 120; ++i) {
                const QByteArray pw = QByteArray::number(i);
                f.Write(inPlace ? "Users.txt" : "Users.new", Header + "taro," + pw + ",taro\n");
                if (!inPlace) QVERIFY(::rename(QFile::encodeName(f.Path("Users.new")), QFile::encodeName(f.Path("Users.txt"))) == 0);
                QCOMPARE(Column(db.Execute("Select Password From Users.txt Where UserName=?", {"taro"})), QStringList{pw});
            }
        }
    }

    // A write replaces the file whole, keeps its form, and sets user u's password to `value`.
    void writes_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("after a last line without line end") << Header + "a,b,c" << "pw" << Header + "a,b,c\nu,pw,m\n";
        QTest::newRow("CRLF and BOM kept") << QByteArray("\xEF\xBB\xBFUserName,Password,MailID\r\na,b,c\r\n") << "pw"
                                           << QByteArray("\xEF\xBB\xBFUserName,Password,MailID\r\na,b,c\r\nu,pw,m\r\n");
        QTest::newRow("update keeps order and blank line") << Header + "a,1,a\n\nu,2,u\nc,3,c\n" << "new" << Header + "a,1,a\n\nu,new,u\nc,3,c\n";
        QTest::newRow("comma, quotes, line break") << Header + "z,z,z\n" << "a,\"b\"\r\nc" << Header + "z,z,z\nu,\"a,\"\"b\"\"\r\nc\",m\n";
        QTest::newRow("blanks, single quote, UTF-8") << Header << " it's 日本語 " << Header + "u, it's 日本語 ,m\n";
    }
    void writes()
    {
        QFETCH(QByteArray, before); QFETCH(QString, value); QFETCH(QByteArray, after);
        ProgramFolder f(before);
        const qint64 inode = Inode(f);
        TextDatabase db(f.dir.path());
        const bool update = before.contains("\nu,");
        QCOMPARE(db.Execute(update ? Update : Insert, update ? QStringList{value, "u"} : QStringList{"u", value, "m"}).changes, 1);
        QCOMPARE(f.Read("Users.txt"), after);
        QVERIFY(Inode(f) != inode);   // never truncated and rewritten where a reader could see half
        QCOMPARE(f.Files("."), (QStringList{"DomainMX.txt", "Users.txt"}));
        TextDatabase fresh(f.dir.path());
        QCOMPARE(Column(fresh.Execute("Select Password From Users.txt Where UserName=?", {"u"})), QStringList{value});
    }

    // A line that cannot be read is reported once, not used, and kept by later writes.
    void malformedLineKept_data()
    {
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QString>("why");
        QTest::newRow("unclosed quote") << QByteArray("carol,\"pw,carol") << "never closed";
        QTest::newRow("too many fields") << QByteArray("erin,pw,erin,extra") << "4 fields";
    }
    void malformedLineKept()
    {
        QFETCH(QByteArray, bad); QFETCH(QString, why);
        const QByteArray alice = "alice,\"two\nlines\",alice\n";   // so the bad line is line 4
        ProgramFolder f(Header + alice + bad + "\nbob,b,bob\n");
        TextDatabase db(f.dir.path());
        QStringList warnings;
        db.Warning = [&](const QString& w) { warnings << w; };
        const QString all = "Select UserName From Users.txt";
        QCOMPARE(Column(db.Execute(all)), (QStringList{"alice", "bob"}));
        db.Execute(all);
        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].contains("Users.txt line 4") && warnings[0].contains(why), qPrintable(warnings[0]));
        db.Execute(Insert, {"carl", "c", "carl"});
        db.Execute(Update, {"B", "bob"});
        QCOMPARE(f.Read("Users.txt"), Header + alice + bad + "\nbob,B,bob\ncarl,c,carl\n");
    }

    // Rows a write once lost, or lines it changed: the row added and every row before it
    // read back, and where given the file is the one expected, other lines byte for byte.
    void insertKeepsRows_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("one empty column: no blank line") << QByteArray("Note\nfirst\n") << QStringList{QString()} << QByteArray("Note\nfirst\n\"\"\n");
        QTest::newRow("empty row ended by a lone CR") << QByteArray("Note\nfirst\n\r") << QStringList{"x"} << QByteArray();
        // A column named like SQLite's row number hid it, and the new row was never written.
        QTest::newRow("column named rowid") << QByteArray("rowid,Name\nr1,a\n") << QStringList{"r2", "b"} << QByteArray();
        // Rows were written back in a new form, or with the file's first line end: a quote or
        // a lone CR then closed the broken line above, and the rows between were lost.
        QTest::newRow("quote then lone CR") << QByteArray("A\n\"broken,x\nrow1\n\r\"\"\n") << QStringList{"new"} << QByteArray();
        const QByteArray broken = "A,B,C\n\"quoted, x\nshort,z\"\r\r\na,b,c\n", mixed = "A,B,C\r\nx,y,z\n\r\nbroken\"\r\n";
        QTest::newRow("CR CR LF after a broken line") << broken << QStringList{"d", "e", "f"} << broken + "d,e,f\n";
        QTest::newRow("mixed line ends") << mixed << QStringList{"d", "e", "f"} << mixed + "d,e,f\r\n";
        // One empty field ended by a lone CR is a record; written as a blank line the header was gone.
        QTest::newRow("empty header ended by a lone CR") << QByteArray("\r") << QStringList{QString()} << QByteArray("\"\"\r\n\"\"\n");
    }
    void insertKeepsRows()
    {
        QFETCH(QByteArray, table); QFETCH(QStringList, added); QFETCH(QByteArray, expected);
        ProgramFolder f;
        f.Write("T.txt", table);
        const QList<QStringList> before = Rows(f);
        TextDatabase db(f.dir.path());
        QStringList quoted, marks;
        for (const QString& c : db.Execute("Select * From T.txt Where 0").columns) { quoted << '"' + c + '"'; marks << "?"; }
        QCOMPARE(db.Execute(QString("Insert Into T.txt (%1) Values (%2)").arg(quoted.join(','), marks.join(',')), added).changes, 1);
        QCOMPARE(Rows(f), before + QList<QStringList>{added});
        if (!expected.isEmpty()) QCOMPARE(f.Read("T.txt"), expected);
    }

    // A quote never closed reads on to the end of the file: a row written after it would
    // vanish. The write is refused, and neither the file nor the rows in memory change.
    void insertThatWouldLoseRowsIsRefused()
    {
        ProgramFolder f(Header + "demo,pw,demo\nbroken,\"pw\n");
        const QByteArray before = f.Read("Users.txt");
        TextDatabase db(f.dir.path());
        const auto e = FailureOf([&] { db.Execute(Insert, {"new", "\",x", "new"}); });
        QVERIFY(e && e->description.contains("unbalanced quote"));
        QCOMPARE(f.Read("Users.txt"), before);
        QCOMPARE(Column(db.Execute("Select UserName From Users.txt")), QStringList{"demo"});
    }
};

QTEST_GUILESS_MAIN(TestTextTable)
#include "test_texttable.moc"
