// The aggregate reports: counting per domain and source, the bounds, the file's round trip,
// who gets a report, and the formats' edge cases. tests/e2e/test_reports.py validates whole
// reports against their schemas.
#include "TestSupport.h"
#include "report/Formats.h"
#include "report/Reports.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// "ip" or "ip -" (a record without rua=) or "ip domain"
DmarcFacts Facts(const QByteArray& row)
{
    const QList<QByteArray> parts = row.split(' ');
    DmarcFacts f;
    f.sourceIp = parts[0];
    f.headerFrom = f.policyDomain = parts.value(1, "example.com") == "-" ? "example.com" : parts.value(1, "example.com");
    f.envelopeFrom = f.headerFrom;
    f.spfScope = "mfrom";
    f.spfResult = "pass";
    f.spfAligned = true;
    if (parts.value(1) != "-")
        f.record.rua = {"mailto:d@" + f.policyDomain};
    return f;
}

// "domain rows total" for each domain of a kind, joined by ", "
QByteArray Shape(const std::map<QByteArray, Report::Rows>& kind)
{
    QByteArrayList out;
    for (const auto& [domain, rows] : kind) {
        qint64 total = 0;
        for (const auto& [key, row] : rows.rows)
            total += row[QStringLiteral("count")].toInteger();
        out << domain + ' ' + QByteArray::number(rows.rows.size()) + ' ' + QByteArray::number(total);
    }
    return out.join(", ");
}

}

class TestReports : public QObject {
    Q_OBJECT
private slots:
    void count_data()
    {
        QTest::addColumn<QByteArrayList>("facts");
        QTest::addColumn<QByteArray>("shape");
        QTest::newRow("one source twice: one row") << QByteArrayList{"192.0.2.1", "192.0.2.1"} << QByteArray("example.com 1 2");
        QTest::newRow("a row per source IP") << QByteArrayList{"192.0.2.1", "192.0.2.2", "192.0.2.1"} << QByteArray("example.com 2 3");
        QTest::newRow("a domain with no rua") << QByteArrayList{"192.0.2.1 -"} << QByteArray();
        QTest::newRow("per policy domain") << QByteArrayList{"192.0.2.1 a.org", "192.0.2.1 b.org"} << QByteArray("a.org 1 1, b.org 1 1");
        QTest::newRow("a name no subject may carry") << QByteArrayList{"192.0.2.1 a.org\r\nBcc:"} << QByteArray();
    }
    void count()
    {
        QFETCH(QByteArrayList, facts); QFETCH(QByteArray, shape);
        Report::Period p;
        for (const QByteArray& f : facts)
            Report::Count(p, Facts(f));
        QCOMPARE(Shape(p.dmarc), shape);
    }

    // Past MaxRows sources nothing new is counted, but a source already there still is; the
    // counts read back from the file go on where they were.
    void boundsAndFile()
    {
        Report::Period p;
        for (int i = 0; i < Report::MaxRows; ++i)
            QVERIFY(Report::Count(p, Facts("10.0.0." + QByteArray::number(i))));
        QVERIFY(!Report::Count(p, Facts("192.0.2.200")));
        TlsOutcome ok{"mx.org", TlsOutcome::Policy::Sts, {"version: STSv1", "mx: *.mx.org"}, "a.mx.org", "192.0.2.9", {}};
        Report::Count(p, ok);
        Report::Period back = Report::Period::FromJson(QJsonDocument::fromJson(QJsonDocument(p.ToJson()).toJson()).object());
        QVERIFY(Report::Count(back, Facts("10.0.0.0")));
        Report::Count(back, ok);
        QCOMPARE(Shape(back.dmarc), "example.com " + QByteArray::number(Report::MaxRows) + ' ' + QByteArray::number(Report::MaxRows + 1));
        QCOMPARE(Shape(back.tls), QByteArray("mx.org 1 2"));
    }

    void mailboxes_data()
    {
        QTest::addColumn<QByteArrayList>("uris");
        QTest::addColumn<QByteArray>("to");
        QTest::newRow("query and other schemes left out") << QByteArrayList{"mailto:a@x.org?subject=r", "https://x.org/r", " MAILTO:b@x.org "}
                                                          << QByteArray("a@x.org b@x.org");
        QTest::newRow("size limit") << QByteArrayList{"mailto:a@x.org!1k", "mailto:b@x.org!2k", "mailto:c@x.org!1m"} << QByteArray("b@x.org c@x.org");
        QTest::newRow("each once, at most five") << QByteArrayList{"mailto:a@x.org", "mailto:a@x.org", "mailto:b@x", "mailto:c@x", "mailto:d@x", "mailto:e@x", "mailto:f@x"}
                                                 << QByteArray("a@x.org b@x c@x d@x e@x");
        QTest::newRow("no header injection") << QByteArrayList{"mailto:a@x.org%0d%0aBcc:b@y.org", "mailto:x.org"} << QByteArray();
    }
    void mailboxes()
    {
        QFETCH(QByteArrayList, uris); QFETCH(QByteArray, to);
        QCOMPARE(Report::Mailboxes(uris, 1500).join(' '), to);
    }

    // Who gets the period's reports, by what the DNS says.
    void prepare()
    {
        Dns::Table dns;
        dns.Add("_smtp._tls.mx.org", Dns::Type::Txt, "v=TLSRPTv1; rua=https://r.mx.org/,mailto:tls@mx.org");
        dns.Add("_smtp._tls.two.org", Dns::Type::Txt, "v=TLSRPTv1; rua=mailto:a@two.org");
        dns.Add("_smtp._tls.two.org", Dns::Type::Txt, "v=TLSRPTv1; rua=mailto:b@two.org");
        dns.Add("ok.org._report._dmarc.agg.net", Dns::Type::Txt, "v=DMARC1");
        Report::Period p{100, 200, {}, {}};
        for (const QByteArray domain : {"mx.org", "two.org", "none.org"})
            Report::Count(p, TlsOutcome{domain, TlsOutcome::Policy::None, {}, "mx." + domain, "192.0.2.9", "starttls-not-supported"});
        DmarcFacts f = Facts("192.0.2.1 ok.org");
        f.record.rua = {"mailto:d@ok.org", "mailto:e@agg.net", "mailto:f@elsewhere.net"};
        Report::Count(p, f);
        std::vector<QByteArray> log;
        QByteArrayList sent;
        for (const Report::Outgoing& o : Report::Prepare(p, dns, "example.test", "postmaster@example.test", log))
            sent << o.what + ": " + o.to.join(' ');
        QCOMPARE(sent, (QByteArrayList{"TLS report for mx.org: tls@mx.org", "DMARC report for ok.org: d@ok.org e@agg.net"}));
        QCOMPARE(QByteArrayList(log.begin(), log.end()),
                 (QByteArrayList{"TLS report for none.org: no mailto: address in a TLSRPTv1 record at _smtp._tls.none.org",
                                 "TLS report for two.org: no mailto: address in a TLSRPTv1 record at _smtp._tls.two.org",
                                 "DMARC report for ok.org not sent to <f@elsewhere.net>: its domain does not publish ok.org._report._dmarc"}));
    }

    // Sessions under one policy are one entry: successes summed, failures listed with their exchanger.
    void tlsJson()
    {
        const TlsOutcome sts{"mx.org", TlsOutcome::Policy::Sts, {"version: STSv1", "mode: enforce", "mx: *.mx.org"}, "a.mx.org", "192.0.2.9", {}};
        TlsOutcome failed = sts, none = sts;
        failed.failure = "certificate-expired";
        none.policy = TlsOutcome::Policy::None;
        none.policyStrings.clear();
        Report::Period p;
        for (const TlsOutcome& o : {sts, sts, failed, none})
            Report::Count(p, o);
        const QJsonArray policies = QJsonDocument::fromJson(Report::TlsJson("mx.org", p.tls["mx.org"], {})).object()[QStringLiteral("policies")].toArray();
        QCOMPARE(policies.size(), 2);
        const bool stsFirst = policies[0][QStringLiteral("policy")][QStringLiteral("policy-type")] == QStringLiteral("sts");
        const QJsonObject entry = policies[stsFirst ? 0 : 1].toObject();
        QCOMPARE(policies[stsFirst ? 1 : 0][QStringLiteral("policy")][QStringLiteral("policy-type")].toString(), QStringLiteral("no-policy-found"));
        QCOMPARE(entry[QStringLiteral("policy")][QStringLiteral("mx-host")].toArray(), QJsonArray{QStringLiteral("*.mx.org")});
        QCOMPARE(entry[QStringLiteral("summary")].toObject(), (QJsonObject{{QStringLiteral("total-successful-session-count"), 2},
                                                                            {QStringLiteral("total-failure-session-count"), 1}}));
        QCOMPARE(entry[QStringLiteral("failure-details")][0][QStringLiteral("receiving-mx-hostname")].toString(), QStringLiteral("a.mx.org"));
    }

    // The XML schema takes IPv6 sources only in eight groups.
    void schemaAddress_data()
    {
        QTest::addColumn<QByteArray>("ip");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("IPv4") << QByteArray("192.0.2.1") << QByteArray("192.0.2.1");
        QTest::newRow("IPv6 shortened") << QByteArray("2001:db8::1") << QByteArray("2001:db8:0:0:0:0:0:1");
        QTest::newRow("IPv4-mapped") << QByteArray("::ffff:192.0.2.1") << QByteArray("192.0.2.1");
    }
    void schemaAddress()
    {
        QFETCH(QByteArray, ip); QFETCH(QByteArray, shown);
        QCOMPARE(Report::SchemaAddress(ip), shown);
    }
};

QTEST_GUILESS_MAIN(TestReports)
#include "test_reports.moc"
