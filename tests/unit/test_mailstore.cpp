// Message files, mailbox names, argument extraction and the session's Step rules.
#include "TestSupport.h"
#include "core/Failure.h"
#include "core/MailStore.h"
#include "core/TextHelper.h"

#include <QtTest>

namespace {
QDateTime At(int y, int mo, int d, int h, int mi, int s, int ms)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}
}

class TestMailStore : public QObject {
    Q_OBJECT
private slots:
    void stem_data();
    void stem();
    void storeWritesExactBytes_data();
    void storeWritesExactBytes();
    void storeTakesNextFreeHundredth_data();
    void storeTakesNextFreeHundredth();
    void storeIntoMissingFolderFails();
    void mailboxNames_data();
    void mailboxNames();
    void textBetween_data();
    void textBetween();
    void newSessionAndStepTwo();
    void stepSixPurgesOnlyFromFive_data();
    void stepSixPurgesOnlyFromFive();
};

void TestMailStore::stem_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("stem");
    QTest::newRow("morning") << At(2025, 3, 2, 9, 5, 7, 300) << "250302-09050730";
    QTest::newRow("last hundredth of a day") << At(2024, 1, 31, 23, 59, 59, 420) << "240131-23595942";
    QTest::newRow("midnight") << At(2000, 1, 1, 0, 0, 0, 0) << "000101-00000000";
    // A hundredth is never rounded up into the next second.
    QTest::newRow("999 ms") << At(2025, 12, 31, 23, 59, 59, 999) << "251231-23595999";
    QTest::newRow("9 ms") << At(2025, 6, 15, 12, 0, 0, 9) << "250615-12000000";
}

void TestMailStore::stem()
{
    QFETCH(QDateTime, when);
    QFETCH(QString, stem);
    QCOMPARE(MailStore::Stem(when), stem);
}

void TestMailStore::storeWritesExactBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("two lines") << QByteArray("Subject: x\r\n\r\nhello\r\n");
    QTest::newRow("empty") << QByteArray();
    static const char raw[] = "a\0b\xff\xfe\nc\r\n..dot\r\n";
    QTest::newRow("8-bit, NUL, bare LF, dot line") << QByteArray(raw, sizeof raw - 1);
    QTest::newRow("no final line end") << QByteArray("last line");
    QTest::newRow("1 MiB") << QByteArray(1 << 20, 'm');
}

void TestMailStore::storeWritesExactBytes()
{
    QFETCH(QByteArray, content);
    ProgramFolder pf;
    const QString box = pf.Mailbox("taro");
    const QString name = MailStore::Store(box, content, At(2025, 3, 2, 9, 5, 7, 300));
    QCOMPARE(name, QStringLiteral("250302-09050730.eml"));
    QCOMPARE(pf.Read("Users/taro/" + name), content);
    QCOMPARE(pf.Files("Users/taro"), QStringList{name});   // no temporary file left over
}

void TestMailStore::storeTakesNextFreeHundredth_data()
{
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QStringList>("taken");
    QTest::addColumn<QString>("expected");
    const QDateTime t = At(2025, 3, 2, 9, 5, 7, 300);
    QTest::newRow("free") << t << QStringList{"250302-09050731.eml"} << "250302-09050730.eml";
    QTest::newRow("eml taken") << t << QStringList{"250302-09050730.eml"} << "250302-09050731.eml";
    // RSET must be able to give a marked message its name back.
    QTest::newRow("del taken") << t << QStringList{"250302-09050730.del"} << "250302-09050731.eml";
    QTest::newRow("eml and next del taken") << t << QStringList{"250302-09050730.eml", "250302-09050731.del"}
                                            << "250302-09050732.eml";
    QTest::newRow("into next second") << At(2025, 3, 2, 9, 5, 7, 990) << QStringList{"250302-09050799.eml"}
                                      << "250302-09050800.eml";
    QTest::newRow("into next day") << At(2025, 3, 2, 23, 59, 59, 995) << QStringList{"250302-23595999.del"}
                                   << "250303-00000000.eml";
    // Other names that merely share the stem do not block it.
    QTest::newRow("txt ignored") << t << QStringList{"250302-09050730.txt", "250302-09050730.EML"} << "250302-09050730.eml";
}

void TestMailStore::storeTakesNextFreeHundredth()
{
    QFETCH(QDateTime, when);
    QFETCH(QStringList, taken);
    QFETCH(QString, expected);
    ProgramFolder pf;
    const QString box = pf.Mailbox("taro");
    for (const QString& n : taken)
        pf.Write("Users/taro/" + n, "old " + n.toLatin1());
    const QString name = MailStore::Store(box, "new\r\n", when);
    QCOMPARE(name, expected);
    QCOMPARE(name.size(), 19);
    QCOMPARE(pf.Read("Users/taro/" + name), QByteArray("new\r\n"));
    for (const QString& n : taken)
        QCOMPARE(pf.Read("Users/taro/" + n), "old " + n.toLatin1());
    QCOMPARE(pf.Files("Users/taro").size(), taken.size() + 1);

    // The same moment again never replaces what was just written.
    const QString second = MailStore::Store(box, "second\r\n", when);
    QVERIFY(second != name);
    QVERIFY(second > name);
    QCOMPARE(pf.Read("Users/taro/" + name), QByteArray("new\r\n"));
}

void TestMailStore::storeIntoMissingFolderFails()
{
    ProgramFolder pf;
    try {
        MailStore::Store(pf.Path("Users/nobody"), "x\r\n");
        QFAIL("storing into a missing folder must fail");
    } catch (const Failure& f) {
        QCOMPARE(f.number, Err::FileNotFound);
        QVERIFY(!f.description.isEmpty());
    }
    QVERIFY(!QFileInfo::exists(pf.Path("Users/nobody")));
}

void TestMailStore::mailboxNames_data()
{
    QTest::addColumn<QString>("mailId");
    QTest::addColumn<bool>("validName");
    QTest::addColumn<QString>("folder");   // relative to the program folder, "" = none
    QTest::newRow("account") << "taro" << true << "Users/taro";
    QTest::newRow("trailing blanks from the table") << "taro      " << true << "Users/taro";
    QTest::newRow("no folder yet") << "jiro" << true << "";
    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("only blanks") << "          " << true << "";
    QTest::newRow("dot") << "." << false << "";
    QTest::newRow("dot dot") << ".." << false << "";
    QTest::newRow("dot dot padded") << "..        " << true << "";
    QTest::newRow("parent path") << "../outside" << false << "";
    QTest::newRow("slash") << "taro/sub" << false << "";
    QTest::newRow("backslash") << "taro\\sub" << false << "";
    QTest::newRow("NUL") << QString("taro") + QChar(0) << false << "";
    QTest::newRow("symlink to a folder") << "link" << true << "";
    QTest::newRow("plain file") << "file" << true << "";
}

void TestMailStore::mailboxNames()
{
    QFETCH(QString, mailId);
    QFETCH(bool, validName);
    QFETCH(QString, folder);
    ProgramFolder pf;
    pf.Mailbox("taro");
    pf.Mailbox("taro/sub");
    QDir(pf.dir.path()).mkpath("outside");
    QVERIFY(QFile::link(pf.Path("outside"), pf.Path("Users/link")));
    pf.Write("Users/file", "not a folder");

    QCOMPARE(MailStore::IsMailboxName(mailId), validName);
    QCOMPARE(MailStore::MailboxFolder(mailId), folder.isEmpty() ? QString() : pf.Path(folder));
}

void TestMailStore::textBetween_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("opening");
    QTest::addColumn<QByteArray>("closing");
    QTest::addColumn<QByteArray>("result");   // null = must fail
    QTest::newRow("argument") << QByteArray("RETR 3\r\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray("3");
    QTest::newRow("blank inside stays") << QByteArray("PASS a b\r\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray("a b");
    QTest::newRow("empty argument") << QByteArray("PASS \r\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray("");
    QTest::newRow("first line only") << QByteArray("USER a\r\nPASS b\r\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray("a");
    QTest::newRow("address") << QByteArray("RCPT TO:<a@b.test> NOTIFY=NEVER<x>\r\n") << QByteArray("<") << QByteArray(">")
                             << QByteArray("a@b.test");
    QTest::newRow("second < inside") << QByteArray("MAIL FROM:<<a@b>>\r\n") << QByteArray("<") << QByteArray(">") << QByteArray("<a@b");
    QTest::newRow("closing before opening") << QByteArray("> x <a>") << QByteArray("<") << QByteArray(">") << QByteArray("a");
    QTest::newRow("no blank") << QByteArray("RETR\r\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray();
    QTest::newRow("no CR LF") << QByteArray("RETR 3\n") << QByteArray(" ") << QByteArray("\r\n") << QByteArray();
    QTest::newRow("no brackets") << QByteArray("MAIL FROM:a@b\r\n") << QByteArray("<") << QByteArray(">") << QByteArray();
    QTest::newRow("unclosed bracket") << QByteArray("MAIL FROM:<a@b\r\n") << QByteArray("<") << QByteArray(">") << QByteArray();
}

void TestMailStore::textBetween()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, opening);
    QFETCH(QByteArray, closing);
    QFETCH(QByteArray, result);
    if (!result.isNull()) {
        QCOMPARE(TextHelper::TextBetween(text, opening, closing), result);
        return;
    }
    try {
        const QByteArray got = TextHelper::TextBetween(text, opening, closing);
        QFAIL(qPrintable("expected a failure, got \"" + QString::fromUtf8(got) + '"'));
    } catch (const Failure& f) {
        QVERIFY(f.number > 0);
        QVERIFY(!f.description.isEmpty());
        QVERIFY(f.text().startsWith(QByteArray::number(f.number) + ':'));
    }
}

void TestMailStore::newSessionAndStepTwo()
{
    Connecter c;
    QCOMPARE(c.Step(), 0);
    QVERIFY(c.Command.isEmpty() && c.Message.isEmpty() && c.From.isEmpty() && c.Address.isEmpty());
    QVERIFY(c.MailID().isEmpty() && c.UserName().isEmpty() && c.Password().isEmpty());
    // Every DATA starts a fresh text, the second one too.
    for (const QByteArray text : {"first message\r\n", "half of a second"}) {
        c.Message = text;
        c.SetStep(2);
        QVERIFY(c.Message.isEmpty());
        QCOMPARE(c.Step(), 2);
    }
    // Other steps leave the text alone: the relay keeps what it is to deliver.
    c.Message = "to deliver";
    for (int step : {0, 3, 4, 7, 8, 13}) {
        c.SetStep(step);
        QCOMPARE(c.Message, QByteArray("to deliver"));
        QCOMPARE(c.Step(), step);
    }
}

void TestMailStore::stepSixPurgesOnlyFromFive_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<bool>("purged");
    QTest::newRow("SMTP reading commands") << 0 << false;
    QTest::newRow("SMTP after HELO") << 3 << false;
    QTest::newRow("SMTP after EHLO") << 4 << false;
    QTest::newRow("POP3") << 5 << true;
    QTest::newRow("already closing") << 6 << false;
}

void TestMailStore::stepSixPurgesOnlyFromFive()
{
    QFETCH(int, from);
    QFETCH(bool, purged);
    ProgramFolder pf("UserName,Password,MailID\ntaro,pw,taro\n");
    pf.Mailbox("taro");
    pf.Write("Users/taro/250302-09050730.eml", "kept\r\n");
    pf.Write("Users/taro/250302-09050731.del", "marked\r\n");
    pf.Write("Users/taro/250302-09050732.del", "marked\r\n");
    Connecter c;
    c.SetUserName("taro");
    c.SetPassword("pw");
    QCOMPARE(c.MailID(), QStringLiteral("taro"));
    c.SetStep(from);
    c.SetStep(6);
    QCOMPARE(c.Step(), 6);
    const QStringList expected = purged ? QStringList{"250302-09050730.eml"}
                                        : QStringList{"250302-09050730.eml", "250302-09050731.del", "250302-09050732.del"};
    QCOMPARE(pf.Files("Users/taro"), expected);
}

QTEST_GUILESS_MAIN(TestMailStore)
#include "test_mailstore.moc"
