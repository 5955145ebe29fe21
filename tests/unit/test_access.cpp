// Password guessing costs time whatever the client does: when each login attempt is checked,
// when an address is locked out, and what POP3 and SMTP answer meanwhile, on the fake
// server's clock (LoginDelay 250 ms, so waits of 250, 500, 1000, 2000 ms; four failures in
// 10 s lock an address out for 5 s). And no address takes more than its share of the
// lookup threads.
#include "TestSupport.h"
#include "core/Access.h"
#include "core/FairShare.h"
#include "relay/Queue.h"

namespace {

const QByteArray Ok = "S: +OK all respons OK", LockedOut = "S: 454 4.7.0 Too many failed logins, try again later",
                 Refused = "S: 535 5.7.8 Authentication credentials invalid", Granted = "S: 235 2.7.0 Authentication successful";
QByteArray Plain(const QByteArray& password) { return "C: AUTH PLAIN " + (QByteArray("\0taro\0", 6) + password).toBase64(); }

// Four failures in 10 s lock an address out for 5 s; waits run on the fake clock.
struct Guarded : FakeServer {
    Guarded() { settings.LoginFailureLimit = 4; settings.LoginFailureWindow = 10; settings.LoginLockout = 5; holdTimers = true; }
};

}

class TestAccess : public QObject {
    Q_OBJECT

private slots:
    void init() { mdlCommon::ServerDomain = "example.test"; }

    // Each attempt "<ms> <address>[/<account>] right|wrong [leaves <ms>]" comes on a connection of
    // its own at that time; each is answered "checked at <ms>", "locked out at <ms>" or never.
    void rules_data()
    {
        QTest::addColumn<Lines>("attempts");
        QTest::addColumn<Lines>("outcomes");
        QTest::addColumn<Lines>("log");
        const QByteArray failed1 = "Failed logins from a: 1; its next login waits 250 ms", locked = "Logins from a locked out for 5 s: 4 failures in 10 s";
        QTest::newRow("each failure makes the next wait longer, the right password's too")
            << Lines{"0 a wrong", "0 a wrong", "0 a wrong", "0 a right", "5000 a right"}
            << Lines{"checked at 0", "checked at 250", "checked at 750", "checked at 1750", "checked at 5000"} << Lines{failed1};
        QTest::newRow("hanging up gains nothing: the attempt is never checked")
            << Lines{"0 a wrong", "0 a right leaves 100", "100 a right leaves 200", "300 a wrong", "300 a right"}
            << Lines{"checked at 0", "never", "never", "checked at 300", "checked at 800"} << Lines{failed1};
        QTest::newRow("locked out past the limit, unchecked; again after one more failure")
            << Lines{"0 a wrong", "0 a wrong", "0 a wrong", "0 a wrong", "1750 a right", "6000 a right", "6750 a right", "7000 a wrong", "8000 a right"}
            << Lines{"checked at 0", "checked at 250", "checked at 750", "checked at 1750", "locked out at 1750", "locked out at 6000",
                     "checked at 6750", "checked at 7000", "locked out at 8000"} << Lines{failed1, locked};
        QTest::newRow("other addresses are not held up")
            << Lines{"0 a wrong", "0 a wrong", "0 b right", "0 b wrong", "0 b right"}
            << Lines{"checked at 0", "checked at 250", "checked at 0", "checked at 0", "checked at 250"}
            << Lines{failed1, "Failed logins from b: 1; its next login waits 250 ms"};
        QTest::newRow("failures leave the window")
            << Lines{"0 a wrong", "0 a wrong", "0 a wrong", "12000 a wrong", "12000 a right", "70000 a wrong", "70000 a wrong"}
            << Lines{"checked at 0", "checked at 250", "checked at 750", "checked at 12000", "checked at 12250", "checked at 70000", "checked at 70250"}
            << Lines{failed1, "Failed logins from a: 1; its next login waits 250 ms"};   // at most once a minute
        QTest::newRow("one account locked out from the address; the address only past its own limit of 6")
            << Lines{"0 a/x wrong", "0 a/x wrong", "0 a/x wrong", "0 a/x wrong", "1750 a/y right", "1750 a/x right", "1750 a/y wrong", "2000 a/y wrong", "3000 a/z right"}
            << Lines{"checked at 0", "checked at 250", "checked at 750", "checked at 1750", "checked at 1750", "locked out at 1750", "checked at 1750",
                     "checked at 2000", "locked out at 3000"}
            << Lines{"Failed logins from a for x: 1; its next login waits 250 ms", "Logins from a for x locked out for 5 s: 4 failures in 10 s",
                     "Failed logins from a for y: 1; its next login waits 250 ms", "Logins from a locked out for 5 s: 6 failures in 10 s"};
    }
    void rules()
    {
        QFETCH(Lines, attempts); QFETCH(Lines, outcomes); QFETCH(Lines, log);
        Guarded s;
        s.settings.LoginAddressFailureLimit = 6;
        const qint64 start = s.clock;
        // Every event (an attempt, a client leaving) in the order of its time, then of the rows.
        std::multimap<qint64, std::function<void()>> events;
        Lines got(attempts.size(), "never");
        for (qsizetype k = 0; k < attempts.size(); ++k) {
            const QList<QByteArray> w = attempts[k].split(' ');
            const qint16 index = qint16(2 + k);
            events.emplace(w[0].toLongLong(), [&s, &got, &start, k, index, who = w[1].split('/'), right = w[2] == "right"] {
                s.sessions[index] = std::make_unique<Connecter>();
                s.peers[index] = who[0];
                Access::Attempt(s, index, [&s, &got, &start, k, right] { got[k] = "checked at " + QByteArray::number(s.clock - start); return right; },
                                [&s, &got, &start, k](Access::Verdict v) {
                                    if (v == Access::Verdict::LockedOut) got[k] = "locked out at " + QByteArray::number(s.clock - start);
                                }, QString::fromUtf8(who.value(1)));
            });
            if (w.size() > 4)
                events.emplace(w[4].toLongLong(), [&s, index] { s.Release(index); });
        }
        for (const auto& [at, event] : events) {
            s.Advance(start + at - s.clock);
            event();
        }
        s.Advance(100000);
        QCOMPARE(got, outcomes);
        QCOMPARE(s.log, log);
    }

    // What a client is told: POP3 as ever, and nobody logged in; SMTP 454. What it sent
    // behind an attempt that waits is answered after it, in order (POP3: tests/e2e/test_commands.py).
    void replies_data()
    {
        QTest::addColumn<bool>("smtp");
        QTest::addColumn<Lines>("script");   // "(wait ms)": the clock moves on
        const QByteArray stat = "S: +OK 1 5";
        QTest::newRow("POP3 locked out: all respons OK, nobody logged in")
            << false << Lines{"C: USER taro", Ok, "C: PASS pw", Ok, "C: STAT", stat, "C: PASS a", Ok, "C: PASS b", "C: (wait 250)", Ok,
                              "C: PASS c", "C: (wait 500)", Ok, "C: PASS d", "C: (wait 1000)", Ok, "C: STAT", "S: +OK 0 0",
                              "C: PASS pw", Ok, "C: STAT", "S: +OK 0 0", "C: (wait 5000)", "C: PASS pw", Ok, "C: STAT", stat};
        const QByteArray authError = "S: -ERR [AUTH] Invalid user name or password";
        QTest::newRow("POP3 with Pop3LoginErrors: -ERR [AUTH], locked out [SYS/TEMP]")
            << false << Lines{"C: CAPA", "S: +OK\nUSER\nUIDL\nTOP\nPIPELINING\nRESP-CODES\nAUTH-RESP-CODE\n.", "C: USER taro", Ok, "C: PASS a", authError,
                              "C: PASS b", "C: (wait 250)", authError, "C: PASS c", "C: (wait 500)", authError, "C: PASS d", "C: (wait 1000)", authError,
                              "C: PASS pw", "S: -ERR [SYS/TEMP] Too many failed logins, try again later", "C: (wait 5000)", "C: PASS pw", Ok, "C: STAT", stat};
        QTest::newRow("POP3 pipelined behind a wait") << false << Lines{"C: USER taro\nPASS a\nPASS pw\nSTAT", Ok, Ok, "C: (wait 250)", Ok, stat};
        QTest::newRow("SMTP locked out: 454")
            << true << Lines{Plain("a"), Refused, Plain("b"), "C: (wait 250)", Refused, Plain("c"), "C: (wait 500)", Refused,
                             Plain("d"), "C: (wait 1000)", Refused, Plain("pw"), LockedOut,
                             "C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6", "C: dGFybw==", "S: 334 UGFzc3dvcmQ6", "C: cHc=", LockedOut,
                             "C: RCPT TO:<a@far.test>", "S: 554 5.7.1 Relay access denied", "C: (wait 5000)", Plain("pw"), Granted};
        QTest::newRow("SMTP pipelined behind a wait")
            << true << Lines{Plain("a"), Refused, Plain("pw") + "\nMAIL FROM:<taro@example.test>\nRCPT TO:<a@far.test>", "C: (wait 250)", Granted,
                             "S: 250 OK", "S: 250 OK"};
    }
    void replies()
    {
        QFETCH(bool, smtp); QFETCH(Lines, script);
        ProgramFolder pf("UserName,Password,MailID\ntaro,pw,taro\n", "Domain,MX,Priority\nfar.test,mx.far.test, 10\n");
        pf.Write("Users/taro/250101-10000000.eml", "one\r\n");
        Guarded s;
        s.settings.RelayNetworks = "";
        s.settings.Pop3LoginErrors = QByteArray(QTest::currentDataTag()).contains("Pop3LoginErrors");
        const CommandHandler handler = s.resume = OpenSession(s, 2, smtp);
        Play(s, 2, script, [&](qint16 i, const QByteArray& b) {
            if (b.startsWith("(wait "))
                s.Advance(b.mid(6).chopped(3).toLongLong());
            else
                Gather(s, i, b, handler);
        });
    }

    // Events "a" (address a adds work) and "-a" (a piece of a's work is over), one after the
    // other; the addresses whose work started, in order.
    void fairShare_data()
    {
        QTest::addColumn<int>("threads");
        QTest::addColumn<QByteArray>("events");
        QTest::addColumn<QByteArray>("started");
        QTest::newRow("past its share an address waits, others go ahead") << 8 << QByteArray("a a a b -a") << QByteArray("aaba");
        QTest::newRow("a free thread goes to the addresses that wait in turn, none left out")
            << 4 << QByteArray("a a a b b c d -a -b -c -d -a") << QByteArray("abcdaba");
    }
    void fairShare()
    {
        QFETCH(int, threads);
        QFETCH(QByteArray, events);
        FairShare share(threads);
        QByteArray started;
        for (const QByteArray& e : events.split(' '))
            if (e.startsWith('-'))
                share.Finished(e.mid(1));
            else
                share.Add(e, [&started, e] { started += e; });
        QTEST(started, "started");
    }
};

QTEST_GUILESS_MAIN(TestAccess)
#include "test_access.moc"
