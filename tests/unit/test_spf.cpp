// SPF (RFC 7208) against fixed DNS answers (Dns::Table). suite() runs the RFC authors' test
// suite as data: rfc7208-tests.yml as Debian's python3-spf ships it, read through python3-yaml.
// The rows here are our own: the limits of 4.6.4 with the number of queries each allows, names
// a macro made unaskable (nothing asked), the time limit, the reason text, and the places where
// python3-spf departs from RFC 7208 and we follow the RFC: a failed PTR lookup is no match and a
// name whose address lookup fails is skipped (5.5); REDIRECT= is redirect (ABNF is
// case-insensitive); an unknown modifier may be named twice (6); %{DR}'s R is the reverse
// transformer; "%{d", %{d0}, %{d*}, %{dx}, %{d2r2} are syntax errors (7.1); a redirect= never
// followed does not count against the ten terms; a domain of one label is none, a final dot is
// no error (4.3); no local part is postmaster and the domain follows the last "@".
#include "TestSupport.h"
#include "check/Spf.h"
#include "mail/Domain.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <thread>

namespace {

const char* const Receiver = "mx.receiver.example";

// One check from 192.0.2.10, the DNS as FillDns reads it. queries: how many the check may ask
// (-1: not counted); explanation: nullptr when not compared.
struct Row {
    const char* name;
    QByteArrayList dns;
    QByteArray sender;
    const char* result;
    int queries = -1;
    const char* explanation = nullptr;
    const char* helo = "mail.example.net";
};

// 11 names, "<prefix>1.example.org" … "<prefix>11.example.org", with `type` records of `data`
// (an address, or the names themselves as MX hosts), each on a line of its own.
QByteArrayList Many(const QByteArray& owner, const char* type, const QByteArray& prefix, int n)
{
    QByteArrayList lines;
    for (int k = 1; k <= n; ++k)
        lines << owner + ' ' + type + ' ' + (qstrcmp(type, "MX") == 0 ? QByteArray::number(k) + ' ' : QByteArray()) + prefix + QByteArray::number(k) + ".example.org";
    return lines;
}

QByteArrayList AddressesOf(const QByteArray& prefix, int n, const QByteArray& last)
{
    QByteArrayList lines;
    for (int k = 1; k <= n; ++k)
        lines << prefix + QByteArray::number(k) + ".example.org A " + (k == n ? last : "198.51.100." + QByteArray::number(k));
    return lines;
}

const char* const V4 = "192.0.2.10";
const char* const User = "user@example.org";
const QByteArray Rev4 = "10.2.0.192.in-addr.arpa";

const QByteArray CutExplanation = QByteArray(User).repeated(100).left(Spf::ExplanationCap);

std::vector<Row> Rows()
{
    return {
        // --- Where python3-spf departs from RFC 7208 and we follow the RFC ---
        {"ptr: PTR lookup fails, no match", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR !TEMP"}, User, "fail", 2},
        {"ptr: address lookup fails, the name is skipped", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR a.example.org", Rev4 + " PTR b.example.org",
                                                             "a.example.org A !TEMP", "b.example.org A 192.0.2.10"}, User, "pass", 4},
        {"redirect in any case", {"example.org TXT v=spf1 REDIRECT=r.example.net", "r.example.net TXT v=spf1 -all"}, User, "fail"},
        {"an unknown modifier twice", {"example.org TXT v=spf1 moo=1 moo=2 ip4:192.0.2.10 -all"}, User, "pass"},
        {"%{DR} in upper case", {"sub.example.org TXT v=spf1 exists:%{DR}.x.example.net -all", "org.example.sub.x.example.net A 127.0.0.2"}, "user@sub.example.org", "pass"},
        {"%{ unclosed", {"example.org TXT v=spf1 exists:%{d.example.org ?all"}, User, "permerror"},
        {"%{d0}", {"example.org TXT v=spf1 exists:%{d0}.example.org -all"}, User, "permerror"},
        {"%{d*}: no such delimiter", {"example.org TXT v=spf1 exists:%{d*}.example.org -all"}, User, "permerror"},
        {"%{dx}: no such transformer", {"example.org TXT v=spf1 exists:%{dx}.example.org -all"}, User, "permerror"},
        {"%{d2r2}", {"example.org TXT v=spf1 exists:%{d2r2}.example.org -all"}, User, "permerror"},
        {"redirect not taken does not count", {"example.org TXT v=spf1 a a a a a a a a a a ip4:192.0.2.10 redirect=r.example.net", "example.org A 198.51.100.1"},
         User, "pass", 11},
        {"one label and a dot", {"localhost TXT v=spf1 -all"}, "user@localhost.", "none", 0},
        {"no @ at all", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{l} %{s}"}, "example.org", "fail", 2,
         "postmaster postmaster@example.org"},
        {"an @ in a quoted local part", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{l}"}, "\"a@b\"@example.org", "fail", 2,
         "\"a@b\""},

        // --- The limits of 4.6.4, with the queries they allow; nothing asked for a name that cannot be one ---
        {"eleven DNS terms", {"example.org TXT v=spf1 a a a a a a a a a a a ip4:192.0.2.10 -all", "example.org A 198.51.100.1"}, User, "permerror", 11},
        {"every kind counts", {"example.org TXT v=spf1 a mx ptr exists:n.example.org a mx ptr exists:n.example.org include:i.example.org ip4:192.0.2.10 -all",
                                "example.org A 198.51.100.1", "example.org MX 10 example.org", Rev4 + " PTR example.org", "i.example.org TXT v=spf1 a -all",
                                "i.example.org A 198.51.100.1"}, User, "pass"},
        {"every kind counts, one more", {"example.org TXT v=spf1 a mx ptr exists:n.example.org a mx ptr exists:n.example.org include:i.example.org a ip4:192.0.2.10 -all",
                                          "example.org A 198.51.100.1", "example.org MX 10 example.org", Rev4 + " PTR example.org", "i.example.org TXT v=spf1 a -all",
                                          "i.example.org A 198.51.100.1"}, User, "permerror"},
        {"ip4, ip6, all and exp do not count", {"example.org TXT v=spf1 a a a a a a a a a a ip4:198.51.100.2 ip6:::1 exp=why.example.org ip4:192.0.2.10 -all",
                                                 "example.org A 198.51.100.1"}, User, "pass", 11},
        {"void: no records of the type", {"example.org TXT v=spf1 a:n1.example.org mx:n2.example.org exists:n3.example.org ?all", "n1.example.org TXT x",
                                           "n2.example.org A 192.0.2.1", "n3.example.org AAAA ::1"}, User, "permerror", 4},
        {"void: exchangers without address", {"example.org TXT v=spf1 mx -all", "example.org MX 10 n1.example.org", "example.org MX 20 n2.example.org",
                                               "example.org MX 30 n3.example.org", "example.org MX 40 mx.example.org", "mx.example.org A 192.0.2.10"},
         User, "permerror", 5},
        {"void: in an include", {"example.org TXT v=spf1 a:n1.example.org include:inc.example.net ?all", "inc.example.net TXT v=spf1 a:n2.example.net a:n3.example.net"},
         User, "permerror", 5},
        {"void: an invalid name is no lookup", {"example.org TXT v=spf1 exists:%{l}..example.org a:n1.example.org a:n2.example.org ?all"}, User, "neutral", 3},
        {"void: the PTR names' addresses", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR n1.example.org", Rev4 + " PTR n2.example.org", Rev4 + " PTR n3.example.org"},
         User, "permerror", 5},
        {"exp: NXDOMAIN is no void lookup", {"example.org TXT v=spf1 a:n1.example.org a:n2.example.org -all exp=why.example.org"}, User, "fail", 4, ""},
        {"mx: ten exchangers", Many("example.org", "MX", "mx", 10) + AddressesOf("mx", 10, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 mx -all"},
         User, "pass", 12},
        {"mx: eleven exchangers", Many("example.org", "MX", "mx", 11) + AddressesOf("mx", 11, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 mx -all"},
         User, "permerror", 2},
        {"ptr: the first ten names", Many(Rev4, "PTR", "p", 10) + AddressesOf("p", 10, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 ptr -all"},
         User, "pass", 12},
        {"ptr: the eleventh name is not looked at", Many(Rev4, "PTR", "p", 11) + AddressesOf("p", 11, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 ptr -all"},
         User, "fail", 12},
        {"the null sender: the HELO name", {"mail.example.net TXT v=spf1 -all exp=why.example.net", "why.example.net TXT %{s} %{l} %{o} %{d} %{h}"}, "", "fail", 2,
         "postmaster@mail.example.net postmaster mail.example.net mail.example.net mail.example.net"},
        // --- What a hostile record may cost ---
        {"a thousand terms", {"example.org TXT v=spf1" + QByteArray(" ip4:192.0.2.10").repeated(Spf::MaxTerms)}, User, "pass"},
        {"more terms than that", {"example.org TXT v=spf1" + QByteArray(" ip4:192.0.2.10").repeated(Spf::MaxTerms + 1)}, User, "permerror"},
        {"exp: cut at 512 octets", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT " + QByteArray("%{s}").repeated(100)}, User, "fail", 2,
         CutExplanation.constData()},
    };
}

const char* const Suite = "/usr/share/doc/python3-spf/rfc7208-tests.yml.gz";
const char* const Python = "/usr/bin/python3";   // Debian's, with python3-yaml: as the end-to-end tests run

// The suite's documents as one JSON array, converted by python3-yaml.
QJsonArray ReadSuite()
{
    QProcess python;
    python.start(Python, {"-c", "import gzip,json,sys,yaml; print(json.dumps(list(yaml.safe_load_all(gzip.open(sys.argv[1])))))", Suite});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(python.readAllStandardOutput()).array();
}

QByteArray Text(const QJsonValue& v)
{
    if (v.isDouble())
        return QByteArray::number(v.toInt());
    return v.toString().toUtf8();
}

// One TXT record: a string, or the list of its character-strings.
QByteArray TxtOf(const QJsonValue& v)
{
    if (!v.isArray())
        return Text(v);
    QByteArray joined;
    for (const QJsonValue& s : v.toArray())
        joined += Text(s);
    return joined;
}

// The zone as the suite's own driver reads it: SPF-type records stand in as TXT when a name has
// no TXT entry ("NONE" included); TIMEOUT fails every type the name has no records of; a CNAME
// answers with its target's records, one level deep.
void FillZone(Dns::Table& table, const QJsonObject& zone)
{
    static const QHash<QString, Dns::Type> types{{"A", Dns::Type::A}, {"AAAA", Dns::Type::Aaaa}, {"MX", Dns::Type::Mx}, {"PTR", Dns::Type::Ptr}};
    QHash<QByteArray, QByteArray> aliases;
    for (auto n = zone.begin(); n != zone.end(); ++n) {
        const QByteArray name = n.key().toUtf8().toLower();
        const QJsonArray entries = n.value().toArray();
        bool hasTxt = false, timeout = false;
        QSet<Dns::Type> seen;
        for (const QJsonValue& e : entries)
            hasTxt = hasTxt || e.toObject().contains("TXT");
        for (const QJsonValue& e : entries) {
            timeout = timeout || e.toString() == "TIMEOUT";
            const QJsonObject o = e.toObject();
            for (auto r = o.begin(); r != o.end(); ++r) {
                if (r.value().toString() == "NONE")
                    continue;
                if (r.key() == "TXT" || (r.key() == "SPF" && !hasTxt)) {
                    table.Add(name, Dns::Type::Txt, TxtOf(r.value()));
                    seen << Dns::Type::Txt;
                } else if (r.key() == "MX") {
                    const QJsonArray mx = r.value().toArray();
                    table.Add(name, Dns::Type::Mx, Text(mx[0]) + ' ' + Mail::WithoutFinalDot(Text(mx[1])));
                    seen << Dns::Type::Mx;
                } else if (r.key() == "CNAME") {
                    aliases[name] = Mail::WithoutFinalDot(Text(r.value())).toLower();
                } else if (types.contains(r.key())) {
                    table.Add(name, types[r.key()], Mail::WithoutFinalDot(Text(r.value())));
                    seen << types[r.key()];
                }
            }
        }
        for (const Dns::Type t : {Dns::Type::Txt, Dns::Type::A, Dns::Type::Aaaa, Dns::Type::Mx, Dns::Type::Ptr})
            if (timeout && !seen.contains(t))
                table.Set(name, t, Dns::Status::TempError);
    }
    for (auto a = aliases.begin(); a != aliases.end(); ++a)
        for (const Dns::Type t : {Dns::Type::Txt, Dns::Type::A, Dns::Type::Aaaa, Dns::Type::Mx, Dns::Type::Ptr}) {
            const Dns::Answer got = table.Query(a.value(), t);
            for (const QByteArray& record : got.records)
                table.Add(a.key(), t, record);
            if (got.records.isEmpty())
                table.Set(a.key(), t, Dns::Status::NoData);
        }
}

// The text every reason and explanation must keep to: printable, fit for a header comment.
void CheckTexts(const Spf::Outcome& out)
{
    QVERIFY(!out.reason.isEmpty());
    for (const char c : out.reason + out.explanation)
        QVERIFY2(c >= 0x20 && c <= 0x7e, out.reason.constData());
    QVERIFY(!out.reason.contains('(') && !out.reason.contains(')') && !out.reason.contains('\\'));
    QVERIFY(out.reason.size() <= 200);
}

// Answers after sleeping: for the time limit.
class Slow : public Dns::Table {
public:
    Dns::Answer Query(const QByteArray& name, Dns::Type type) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return Table::Query(name, type);
    }
};

}

class TestSpf : public QObject {
    Q_OBJECT
private slots:
    // Every case of the suite, each answered as the suite says (no case is answered otherwise on
    // purpose); "DEFAULT" stands for the explanation of a fail without exp=, where we give none.
    void suite_data()
    {
        QTest::addColumn<QJsonObject>("zone");
        QTest::addColumn<QJsonObject>("test");
        const QJsonArray scenarios = ReadSuite();
        QVERIFY2(!scenarios.isEmpty(), "python3-spf's rfc7208-tests.yml.gz and python3-yaml are needed");
        int cases = 0;
        for (const QJsonValue& s : scenarios) {
            const QJsonObject tests = s["tests"].toObject();
            for (auto t = tests.begin(); t != tests.end(); ++t, ++cases)
                QTest::newRow(qPrintable(t.key())) << s["zonedata"].toObject() << t.value().toObject();
        }
        QCOMPARE(cases, 203);
    }
    void suite()
    {
        QFETCH(QJsonObject, zone);
        QFETCH(QJsonObject, test);
        Dns::Table table;
        FillZone(table, zone);
        const Spf::Outcome out = Spf::Check(table, QHostAddress(test["host"].toString()), Text(test["mailfrom"]), Text(test["helo"]), Receiver);
        QStringList results;
        for (const QJsonValue& r : test["result"].isArray() ? test["result"].toArray() : QJsonArray{test["result"]})
            results << r.toString();
        const QString got = QString::fromLatin1(Mail::Name(out.result));
        QVERIFY2(results.contains(got), qPrintable(got + " (" + QString::fromLatin1(out.reason) + ")"));
        if (test.contains("explanation"))
            QCOMPARE(out.explanation, test["explanation"].toString() == "DEFAULT" ? QByteArray() : Text(test["explanation"]));
        CheckTexts(out);
    }

    void check_data()
    {
        QTest::addColumn<QByteArrayList>("dns");
        QTest::addColumn<QByteArray>("sender");
        QTest::addColumn<QByteArray>("helo");
        QTest::addColumn<QByteArray>("result");
        QTest::addColumn<int>("queries");
        QTest::addColumn<QByteArray>("explanation");
        QTest::addColumn<bool>("checkExplanation");
        QSet<QByteArray> names;
        for (const Row& r : Rows()) {
            QVERIFY2(!names.contains(r.name), r.name);   // each row's own name
            names.insert(r.name);
            QTest::newRow(r.name) << r.dns << r.sender << QByteArray(r.helo) << QByteArray(r.result)
                                  << r.queries << QByteArray(r.explanation) << (r.explanation != nullptr);
        }
    }
    void check()
    {
        QFETCH(QByteArrayList, dns);
        QFETCH(QByteArray, sender);
        QFETCH(QByteArray, helo);
        QFETCH(QByteArray, result);
        QFETCH(int, queries);
        QFETCH(QByteArray, explanation);
        QFETCH(bool, checkExplanation);
        Dns::Table table;
        FillDns(table, dns);
        const Spf::Outcome out = Spf::Check(table, QHostAddress(V4), sender, helo, Receiver);
        const QByteArray got = Mail::Name(out.result);
        QVERIFY2(got == result, "got " + got + " (" + out.reason + ")");
        if (queries >= 0)
            QVERIFY2(table.queries == queries, QByteArray::number(table.queries) + " queries (" + out.reason + ")");
        if (checkExplanation)
            QCOMPARE(out.explanation, explanation);
        else if (out.result != Spf::Result::Fail)
            QVERIFY(out.explanation.isEmpty());
        CheckTexts(out);
    }

    void outcome()
    {
        Dns::Table table;
        FillDns(table, {"example.org TXT v=spf1 ip4:192.0.2.0/24 -all", "mail.example.net TXT v=spf1 redirect=_spf.example.net",
                     "_spf.example.net TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 +all"});
        Spf::Outcome out = Spf::Check(table, QHostAddress(V4), "User@Example.ORG.", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::Pass);
        QCOMPARE(out.identity, QByteArray("mailfrom"));
        QCOMPARE(out.domain, QByteArray("example.org"));
        QCOMPARE(out.reason, QByteArray("Example.ORG: ip4:192.0.2.0/24"));
        out = Spf::Check(table, QHostAddress(V4), "", "Mail.Example.NET", Receiver);
        QCOMPARE(out.identity + ' ' + out.domain + ' ' + out.reason, QByteArray("helo mail.example.net _spf.example.net: include:inc.example.net"));
        // A record that tries to put a comment's end or a line end into the reason.
        table.Add("evil.example", Dns::Type::Txt, "v=spf1 ip4:192.0.2.10 moo)(\\x");
        out = Spf::Check(table, QHostAddress(V4), "x@evil.example", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::PermError);
        QVERIFY2(out.reason.contains("moo???x"), out.reason.constData());
        table.Add("long.example", Dns::Type::Txt, "v=spf1 " + QByteArray(400, 'y'));
        out = Spf::Check(table, QHostAddress(V4), "x@long.example", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::PermError);
        QCOMPARE(out.reason.size(), 200);
        // No address at all: nothing to check.
        out = Spf::Check(table, QHostAddress(), "x@example.org", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::None);
    }

    // %{t} and %{r} in an explanation; "unknown" for a receiver without a name.
    void timeAndReceiver()
    {
        Dns::Table table;
        FillDns(table, {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{t} %{r}"});
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        Spf::Outcome out = Spf::Check(table, QHostAddress(V4), User, "h.example.org", "");
        const QList<QByteArray> words = out.explanation.split(' ');
        QCOMPARE(words.size(), 2);
        QVERIFY(words[0].toLongLong() >= before && words[0].toLongLong() <= QDateTime::currentSecsSinceEpoch());
        QCOMPARE(words[1], QByteArray("unknown"));
    }

    // Once the queries have taken the limit, the next one is not asked: temperror (4.6.4).
    void timeLimit()
    {
        Slow table;
        FillDns(table, {"example.org TXT v=spf1 a:a.example.org a:b.example.org a:c.example.org a:d.example.org -all", "a.example.org A 198.51.100.1",
                     "b.example.org A 198.51.100.2", "c.example.org A 198.51.100.3", "d.example.org A 198.51.100.4"});
        Spf::Outcome out = Spf::Check(table, QHostAddress(V4), User, "h.example.org", Receiver, 250);
        QCOMPARE(out.result, Spf::Result::TempError);
        QVERIFY(table.queries >= 2 && table.queries < 5);
        table.queries = 0;
        out = Spf::Check(table, QHostAddress(V4), User, "h.example.org", Receiver, 5000);
        QCOMPARE(out.result, Spf::Result::Fail);
        QCOMPARE(table.queries, 5);
    }
};

QTEST_GUILESS_MAIN(TestSpf)
#include "test_spf.moc"
