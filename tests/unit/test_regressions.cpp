// Faults that fuzzing and fault tests found, each kept from coming back. The input
// that found a fault is also replayed from fuzz/regressions/.
#include "TestSupport.h"
#include "core/Csv.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/MailStore.h"
#include "core/TextDatabase.h"
#include "relay/DNS.h"

#include <QtTest>

namespace {

QList<QStringList> Rows(const ProgramFolder& f, const QString& table)
{
    TextDatabase db(f.dir.path());
    return db.Execute(QStringLiteral("Select * From %1").arg(table)).rows;
}

QStringList Reported;
void Collect(const QString& line) { Reported << line; }


}

class TestRegressions : public QObject {
    Q_OBJECT
private slots:
    void tableWriteKeepsEveryRow_data();
    void tableWriteKeepsEveryRow();
    void tableWriteThatWouldLoseRowsIsRefused();
    void tableWriteLeavesOtherLinesByteForByte_data();
    void tableWriteLeavesOtherLinesByteForByte();
    void missingLookupScriptIsReportedAtOnce();
    void messageNamesOnlyMoveForward();
    void unfinishedDeliveriesAreRemoved();
    void logKeepsLongLinesWithinItsBudget();
};

// Each table holds rows a write once lost: the row added and every row before it must
// read back from the file.
void TestRegressions::tableWriteKeepsEveryRow_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QStringList>("added");
    // One column: an empty value was written as a blank line, which is no row.
    QTest::newRow("one empty column") << QByteArray("Note\nfirst\n") << QStringList{QString()};
    QTest::newRow("empty row ended by a lone CR") << QByteArray("Note\nfirst\n\r") << QStringList{"x"};
    // A column named like SQLite's row number hid it, and the new row was never written.
    QTest::newRow("column named rowid") << QByteArray("rowid,Name\nr1,a\n") << QStringList{"r2", "b"};
    QTest::newRow("column named oid") << QByteArray("oid,rowid,Name\no1,r1,a\n") << QStringList{"o2", "r2", "b"};
    // A row was written back in a new form even when unchanged: quoted, its quote closed the
    // broken line above, a lone CR after that quote ended the record, and the rows between
    // were read as part of the broken line.
    QTest::newRow("quote then lone CR") << QByteArray("A\n\"broken,x\nrow1\n\r\"\"\n") << QStringList{"new"};
}

void TestRegressions::tableWriteKeepsEveryRow()
{
    QFETCH(QByteArray, table);
    QFETCH(QStringList, added);
    ProgramFolder f;
    f.Write(QStringLiteral("T.txt"), table);
    const QList<QStringList> before = Rows(f, QStringLiteral("T.txt"));
    {
        TextDatabase db(f.dir.path());
        const QStringList columns = db.Execute(QStringLiteral("Select * From T.txt Where 0")).columns;
        QStringList quoted, marks;
        for (const QString& c : columns) { quoted << '"' + c + '"'; marks << QStringLiteral("?"); }
        const auto r = db.Execute(QStringLiteral("Insert Into T.txt (%1) Values (%2)").arg(quoted.join(','), marks.join(',')), added);
        QCOMPARE(r.changes, 1);
    }
    QCOMPARE(Rows(f, QStringLiteral("T.txt")), before + QList<QStringList>{added});
}

// A line whose quote is never closed reads on to the end of the file; a row written
// after it would be taken in and vanish. The write is refused and the file left alone.
void TestRegressions::tableWriteThatWouldLoseRowsIsRefused()
{
    ProgramFolder f("UserName,Password,MailID\ndemo,pw,demo\nbroken,\"pw\n");
    const QByteArray before = f.Read(QStringLiteral("Users.txt"));
    TextDatabase db(f.dir.path());
    QCOMPARE(db.Execute(QStringLiteral("Select MailID From Users.txt Where UserName=?"), {"demo"}).rows.size(), 1);
    try {
        db.Execute(QStringLiteral("Insert Into Users.txt (UserName, Password, MailID) values(?,?,?)"), {"new", "\",x", "new"});
        QFAIL("the write went through");
    } catch (const Failure& e) {
        QVERIFY2(e.description.contains(QLatin1String("unbalanced quote")), qPrintable(e.description));
    }
    QCOMPARE(f.Read(QStringLiteral("Users.txt")), before);
    // The refused row is not kept in memory either.
    QCOMPARE(db.Execute(QStringLiteral("Select MailID From Users.txt Where UserName=?"), {"new"}).rows.size(), 0);
    QCOMPARE(db.Execute(QStringLiteral("Select MailID From Users.txt Where UserName=?"), {"demo"}).rows.size(), 1);
}

// Every line was written back with the file's first line end. A line ending in CR CR LF
// in a file of LF lines came back ending in CR LF, so the quote of a broken line above it
// closed there and the two lines read as one.
void TestRegressions::tableWriteLeavesOtherLinesByteForByte_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray broken = "A,B,C\n\"quoted, x\nshort,z\"\r\r\na,b,c\n";
    QTest::newRow("CR CR LF after a broken line") << broken << broken + "d,e,f\n";
    const QByteArray mixed = "A,B,C\r\nx,y,z\n\r\nbroken\"\r\n";
    QTest::newRow("mixed line ends") << mixed << mixed + "d,e,f\r\n";
    QTest::newRow("lone CR at the end") << QByteArray("A,B,C\nx,y,z\r") << QByteArray("A,B,C\nx,y,z\r\nd,e,f\n");
    QTest::newRow("no line end at the end") << QByteArray("A,B,C\nx,y,z") << QByteArray("A,B,C\nx,y,z\nd,e,f\n");
    // One empty field ended by a lone CR is a record, not a blank line; written as a blank
    // line the header was gone and the table could not be read again.
    QTest::newRow("empty header ended by a lone CR") << QByteArray("\r") << QByteArray("\"\"\r\n\"\"\n");
}

void TestRegressions::tableWriteLeavesOtherLinesByteForByte()
{
    QFETCH(QByteArray, table);
    QFETCH(QByteArray, expected);
    ProgramFolder f;
    f.Write(QStringLiteral("T.txt"), table);
    TextDatabase db(f.dir.path());
    const QStringList columns = db.Execute(QStringLiteral("Select * From T.txt Where 0")).columns;
    const QStringList values = QStringList{"d", "e", "f"}.mid(0, columns.size());
    QStringList quoted, marks;
    for (const QString& c : columns) { quoted << '"' + c + '"'; marks << QStringLiteral("?"); }
    QCOMPARE(db.Execute(QStringLiteral("Insert Into T.txt (%1) Values (%2)").arg(quoted.join(','), marks.join(',')),
                        columns.size() == 1 && columns[0].isEmpty() ? QStringList{QString()} : values).changes, 1);
    QCOMPARE(f.Read(QStringLiteral("T.txt")), expected);
    QCOMPARE(TextDatabase(f.dir.path()).Execute(QStringLiteral("Select * From T.txt")).rows.size(), 1 + table.count("x,y,z") + table.count("a,b,c"));
}

// Without GetMX.sh a shell was started that could only fail, and the server then waited
// the whole pipe time-out (10 s, every other connection stalled) for each foreign recipient.
void TestRegressions::missingLookupScriptIsReportedAtOnce()
{
    ProgramFolder f;
    Reported.clear();
    mdlCommon::SetReporter(Collect);
    DNS dns;
    dns.OpenTimeoutMs = 600000;   // were the script waited for, the test would hang
    QCOMPARE(dns.GetMX(QStringLiteral("nowhere.test")), QString());
    mdlCommon::SetReporter(nullptr);
    QCOMPARE(Reported.size(), 1);
    QVERIFY2(Reported[0].contains(QLatin1String("no lookup script")), qPrintable(Reported[0]));
}

// Each store began at the present hundredth and tried every name already given, one by
// one: a message for one mailbox 4000 times over took 4000*4000/2 tries (half a minute).
// Names given in a folder now only move forward, which also keeps arrival order when an
// older name has been freed.
void TestRegressions::messageNamesOnlyMoveForward()
{
    ProgramFolder f;
    const QString box = f.Mailbox(QStringLiteral("taro"));
    const QDateTime t(QDate(2025, 3, 2), QTime(9, 5, 7, 300));
    QStringList names;
    for (int i = 0; i < 3; ++i)
        names << MailStore::Store(box, "x", t);
    QCOMPARE(names, (QStringList{"250302-09050730.eml", "250302-09050731.eml", "250302-09050732.eml"}));
    QVERIFY(QFile::remove(f.Path(QStringLiteral("Users/taro/250302-09050730.eml"))));
    QCOMPARE(MailStore::Store(box, "y", t), QStringLiteral("250302-09050733.eml"));
    // A later moment is taken as it is.
    QCOMPARE(MailStore::Store(box, "z", t.addSecs(60)), QStringLiteral("250302-09060730.eml"));
}

// A delivery killed in mid-write left its temporary file for ever; it never was a message.
// A mark left by a session that never said QUIT (a crash) hid its message for ever.
void TestRegressions::unfinishedDeliveriesAreRemoved()
{
    ProgramFolder f;
    f.Mailbox(QStringLiteral("taro"));
    f.Write(QStringLiteral("Users/taro/.incoming-a1B2c3.tmp"), "half a mess");
    f.Write(QStringLiteral("Users/taro/.incoming-older"), "");
    f.Write(QStringLiteral("Users/taro/250302-09050730.eml"), "whole");
    f.Write(QStringLiteral("Users/taro/250302-09050731.del"), "marked");
    f.Write(QStringLiteral("Users/taro/notes.incoming-x"), "kept");
    QDir(f.dir.path()).mkpath(QStringLiteral("outside"));
    f.Write(QStringLiteral("outside/.incoming-z.tmp"), "not in the store");
    QDir(f.dir.path()).mkpath(QStringLiteral("Users/taro/.incoming-folder"));
    QFile::link(f.Path(QStringLiteral("outside/.incoming-z.tmp")), f.Path(QStringLiteral("Users/taro/.incoming-link.tmp")));
    QFile::link(f.Path(QStringLiteral("outside")), f.Path(QStringLiteral("Users/linked")));

    QStringList lines = MailStore::Recover();
    lines.sort();
    QCOMPARE(lines, (QStringList{"Removed unfinished delivery Users/taro/.incoming-a1B2c3.tmp (11 bytes)",
                                 "Removed unfinished delivery Users/taro/.incoming-older (0 bytes)",
                                 "Took back the mark of Users/taro/250302-09050731.del (its session ended without QUIT)"}));
    QCOMPARE(f.Files(QStringLiteral("Users/taro")), (QStringList{".incoming-link.tmp", "250302-09050730.eml", "250302-09050731.eml", "notes.incoming-x"}));
    QCOMPARE(f.Read(QStringLiteral("outside/.incoming-z.tmp")), QByteArray("not in the store"));
    QVERIFY(QDir(f.Path(QStringLiteral("Users/taro/.incoming-folder"))).exists());
}

// Every received buffer and every reply is a log line, and the log keeps 2000 of them:
// whole, a client that fetched a 20 MB message thirty times held 600 MB there.
void TestRegressions::logKeepsLongLinesWithinItsBudget()
{
    LogList log;
    log.EchoToStdout = false;
    const QByteArray big(20 << 20, 'x');
    for (int i = 0; i < 10; ++i) {
        log.Add("2>", big);
        log.Add("2-SendComplete");
    }
    log.Add(big);   // all of it as the prefix
    qint64 kept = 0;
    for (int r = 0; r < log.Count(); ++r)
        kept += log.Line(r).size();
    QVERIFY2(kept <= LogList::MaxKeptBytes, qPrintable(QString::number(kept)));
    // The newest lines stay whole, the oldest keep their head, and every one still says how long it was.
    QCOMPARE(log.Line(0), big);
    QCOMPARE(log.Line(2), "2>" + big);
    QCOMPARE(log.Line(log.Count() - 1), "2>" + big.left(LogList::HeadBytes - 2));
    QCOMPARE(log.Line(log.Count() - 2), QByteArray("2-SendComplete"));
    QVERIFY(log.data(log.index(log.Count() - 1)).toString().endsWith(QStringLiteral("(%1 bytes)").arg(big.size() + 2)));
    log.Trim(1);
    log.Add("2>", big);
    QCOMPARE(log.Line(0).size(), big.size() + 2);
}

QTEST_GUILESS_MAIN(TestRegressions)
#include "test_regressions.moc"
