// Faults that fuzzing and fault tests found, each kept from coming back. The input
// that found a fault is also replayed from fuzz/regressions/.
#include "TestSupport.h"
#include "core/Csv.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"

#include <QtTest>

namespace {

QList<QStringList> Rows(const ProgramFolder& f, const QString& table)
{
    TextDatabase db(f.dir.path());
    return db.Execute(QStringLiteral("Select * From %1").arg(table)).rows;
}

}

class TestRegressions : public QObject {
    Q_OBJECT
private slots:
    void tableWriteKeepsEveryRow_data();
    void tableWriteKeepsEveryRow();
    void tableWriteThatWouldLoseRowsIsRefused();
};

// Each table holds rows a write once lost: the row added and every row before it must
// read back from the file.
void TestRegressions::tableWriteKeepsEveryRow_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<QStringList>("added");
    // One column: an empty value was written as a blank line, which is no row.
    QTest::newRow("one empty column") << QByteArray("Note\nfirst\n") << QStringList{QString()};
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

QTEST_GUILESS_MAIN(TestRegressions)
#include "test_regressions.moc"
