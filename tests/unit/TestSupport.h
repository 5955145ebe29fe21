#pragma once
// Shared by the unit tests: the fake connection manager, a program folder per test, the
// server's own wiring, a check that an operation fails, and dialogues played as rows.
#include "app/Wiring.h"
#include "core/Failure.h"
#include "dns/Resolver.h"
#include "pop3/Pop3Session.h"
#include "pop3/Pop3Command.h"
#include "relay/Queue.h"
#include "smtp/SmtpCommand.h"
#include "smtp/SmtpSession.h"
#include "tests/support/FakeServer.h"
#include "tests/support/ProgramFolder.h"

#include <QtTest>
#include <optional>

// The steps and SMTP answers as the server wires them, over the one queue.
inline const Wiring& Wired()
{
    static Queue queue;
    static const Wiring wiring(queue);
    return wiring;
}
// The SMTP handler as the service has it.
inline CommandHandler SmtpHandler()
{
    return [](Server& s, qint16 i, const QByteArray& text) { SmtpCommand(Wired().Smtp(), s, i, text); };
}

template <class F>
std::optional<Failure> FailureOf(F f)
{
    try { f(); } catch (const Failure& e) { return e; }
    return std::nullopt;
}

// A row starting with `in` ("C: text", or "C3: text" for connection 3) is one buffer handed
// to send(index, buffer), its lines ended by CR LF ("\n" separates lines); the other rows
// after it ("S: text") are what that connection must send back, in order ("\n" stands for
// CR LF; a final "*" matches by the start).
template <class Send>
void Play(FakeServer& s, qint16 index, const Lines& script, Send send, char in = 'C')
{
    for (qsizetype k = 0; k < script.size();) {
        const qsizetype colon = script[k].indexOf(": ");
        QVERIFY2(script[k].startsWith(in) && colon > 0, script[k].constData());
        const qint16 i = colon > 1 ? qint16(script[k].mid(1, colon - 1).toInt()) : index;
        const QByteArray buffer = script[k].mid(colon + 2).replace("\n", "\r\n") + "\r\n";
        const qsizetype before = s.RepliesTo(i).size();
        send(i, buffer);
        const Lines got = s.RepliesTo(i).mid(before);
        Lines want;
        for (++k; k < script.size() && !script[k].startsWith(in); ++k) want << script[k].mid(script[k].indexOf(": ") + 2).replace("\n", "\r\n");
        QVERIFY2(got.size() == want.size(), ("after " + buffer + " got: " + got.join(" | ")).constData());
        for (qsizetype r = 0; r < got.size(); ++r)
            QVERIFY2(want[r].endsWith('*') ? got[r].startsWith(want[r].chopped(1)) : got[r] == want[r],
                     ("after " + buffer + " want: " + want[r] + " got: " + got[r]).constData());
    }
}

// A delivery whose writes happen at once, into the mailbox taro.
struct Box : FakeServer {
    ProgramFolder pf{"UserName,Password,MailID\ntaro,pw,taro\n"};
    Box() { pf.Mailbox("taro"); }
    // The one stored copy, "" when there is none.
    QByteArray Stored() const
    {
        const QStringList files = pf.Files("Users/taro");
        return files.size() == 1 ? pf.Read("Users/taro/" + files.first()) : QByteArray();
    }
};

// A new SMTP or POP3 session on connection i, as its service's accept makes it; returns the
// handler its text goes to.
inline CommandHandler OpenSession(FakeServer& s, qint16 i, bool smtp)
{
    if (smtp) {
        s.Open<SmtpSession>(i, SmtpStep::Commands);
        return SmtpHandler();
    }
    s.Open<Pop3Session>(i, Pop3Step::Session);
    return Pop3Command;
}

inline QString ScriptsDir() { return qEnvironmentVariable("RELAY_TEST_SCRIPTS", QFINDTESTDATA("scripts")); }

// DNS answers from "name TYPE value" lines (TXT, A, AAAA, MX, PTR); the value "!NODATA" or
// "!TEMP" makes that name and type answer so. The name may hold spaces: the first " TYPE " ends it.
inline void FillDns(Dns::Table& table, const QByteArrayList& lines)
{
    static const QHash<QByteArray, Dns::Type> types{{"TXT", Dns::Type::Txt}, {"A", Dns::Type::A}, {"AAAA", Dns::Type::Aaaa},
                                                    {"MX", Dns::Type::Mx}, {"PTR", Dns::Type::Ptr}};
    for (const QByteArray& line : lines) {
        qsizetype a = -1;
        for (auto t = types.begin(); t != types.end(); ++t) {
            const qsizetype at = line.indexOf(' ' + t.key() + ' ');
            if (at > 0 && (a < 0 || at < a))
                a = at;
        }
        QVERIFY2(a > 0, line.constData());
        const qsizetype b = line.indexOf(' ', a + 1);
        const QByteArray name = line.left(a), data = line.mid(b + 1);
        const Dns::Type type = types[line.mid(a + 1, b - a - 1)];
        if (data == "!NODATA")
            table.Set(name, type, Dns::Status::NoData);
        else if (data == "!TEMP")
            table.Set(name, type, Dns::Status::TempError);
        else
            table.Add(name, type, data);
    }
}
