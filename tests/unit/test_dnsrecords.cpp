// The records to publish: what the settings ask for, and each marked against DNS.
#include "app/DnsRecords.h"
#include "core/Settings.h"
#include "dns/Resolver.h"

#include <QtTest>

class TestDnsRecords : public QObject {
    Q_OBJECT
private slots:
    void wanted();
    void marked_data();
    void marked();
};

static Settings Example()
{
    Settings s;
    s.ServerDomain = QStringLiteral("Example.ORG");
    s.HostName = QStringLiteral("mail.example.org");
    return s;
}

// The relay host's address or name takes the place of mx in SPF; MTA-STS only when served.
void TestDnsRecords::wanted()
{
    Settings s = Example();
    const auto names = [](const QList<DnsRecords::Record>& records) {
        QList<QByteArray> all;
        for (const auto& r : records) all << r.type + ' ' + r.name + ' ' + r.data;
        return all;
    };
    QList<QByteArray> got = names(DnsRecords::Wanted(s, {{}, "ab12", "x"}));
    QVERIFY(got.contains("TXT example.org v=spf1 mx -all"));
    QVERIFY(got.contains("TLSA _25._tcp.mail.example.org 3 1 1 ab12"));
    QVERIFY(!got.join().contains("mta-sts"));
    s.RelayHost = QStringLiteral("[2001:db8::5]:587");
    s.MtaStsMode = QStringLiteral("enforce");
    s.ReportAddress = QStringLiteral("tls@example.org");
    got = names(DnsRecords::Wanted(s, {}));
    QVERIFY(got.contains("TXT example.org v=spf1 ip6:2001:db8::5 -all"));
    QVERIFY(got.contains("CNAME mta-sts.example.org mail.example.org"));
    QVERIFY(got.contains("TXT _smtp._tls.example.org v=TLSRPTv1; rua=mailto:tls@example.org"));
    QCOMPARE(DnsRecords::ZoneLine({"example.org", "MX", "10 mail.example.org"}), QByteArray("example.org. 3600 IN MX 10 mail.example.org."));
}

void TestDnsRecords::marked_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("mark");
    // Tags in another order and spacing are the same record; another record of the kind differs;
    // records of other kinds at the same name are no answer.
    QTest::newRow("dmarc same") << QByteArray("TXT") << QByteArray("_dmarc.example.org") << QByteArray("v=DMARC1; p=quarantine; rua=mailto:a@example.org") << QByteArray("ok");
    QTest::newRow("dmarc other") << QByteArray("TXT") << QByteArray("_dmarc.example.org") << QByteArray("v=DMARC1; p=reject") << QByteArray("differs");
    QTest::newRow("spf among others") << QByteArray("TXT") << QByteArray("example.org") << QByteArray("v=spf1 mx -all") << QByteArray("ok");
    QTest::newRow("dkim key") << QByteArray("TXT") << QByteArray("s._domainkey.example.org") << QByteArray("v=DKIM1; k=rsa; p=AB CD") << QByteArray("ok");
    QTest::newRow("dkim old key") << QByteArray("TXT") << QByteArray("s._domainkey.example.org") << QByteArray("v=DKIM1; k=rsa; p=EF") << QByteArray("differs");
    QTest::newRow("tls-rpt") << QByteArray("TXT") << QByteArray("_smtp._tls.example.org") << QByteArray("v=TLSRPTv1; rua=mailto:a@example.org") << QByteArray("missing");
    QTest::newRow("mx ours") << QByteArray("MX") << QByteArray("example.org") << QByteArray("10 mail.example.org") << QByteArray("ok");
    QTest::newRow("mx another") << QByteArray("MX") << QByteArray("example.org") << QByteArray("10 mx.example.org") << QByteArray("differs");
    QTest::newRow("cname by address") << QByteArray("CNAME") << QByteArray("mta-sts.example.org") << QByteArray("mail.example.org") << QByteArray("ok");
    QTest::newRow("cname the alias") << QByteArray("CNAME") << QByteArray("mta-sts.example.net") << QByteArray("mail.example.org") << QByteArray("ok");
    QTest::newRow("tlsa old key") << QByteArray("TLSA") << QByteArray("_25._tcp.mail.example.org") << QByteArray("3 1 1 ab") << QByteArray("differs");
    QTest::newRow("cname elsewhere") << QByteArray("CNAME") << QByteArray("mta-sts.example.org") << QByteArray("www.example.org") << QByteArray("differs");
}

void TestDnsRecords::marked()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, mark);
    Dns::Table dns;
    dns.Add("_dmarc.example.org", Dns::Type::Txt, "v=DMARC1;rua=mailto:a@example.org;  p=quarantine");
    dns.Add("example.org", Dns::Type::Txt, "google-site-verification=x");
    dns.Add("example.org", Dns::Type::Txt, "v=spf1 MX  -all");
    dns.Add("s._domainkey.example.org", Dns::Type::Txt, "v=DKIM1; k=rsa; p=ABCD");
    dns.Add("example.org", Dns::Type::Mx, "10 MAIL.example.org");
    dns.Add("mail.example.org", Dns::Type::A, "192.0.2.1");
    dns.Add("www.example.org", Dns::Type::A, "192.0.2.9");
    dns.Add("mta-sts.example.org", Dns::Type::A, "192.0.2.1");
    dns.Add("mta-sts.example.net", Dns::Type::Cname, "mail.example.org");
    dns.Add("_25._tcp.mail.example.org", Dns::Type::Tlsa, "3 1 1 cd");
    QCOMPARE(DnsRecords::Mark({name, type, data}, dns), mark);
}

QTEST_GUILESS_MAIN(TestDnsRecords)
#include "test_dnsrecords.moc"
