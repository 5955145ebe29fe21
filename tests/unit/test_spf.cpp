// SPF (RFC 7208) against fixed DNS answers (Dns::Table): record selection, every mechanism and
// modifier with its syntax, macros, the processing limits (with the number of queries they
// allow), include's results, DNS failures, IPv4-mapped clients and the initial domain. What only a
// real name server and real clients show, next to Debian's python3-spf: tests/e2e/test_spf.py.
//
// python3-spf 2.0.14 gives every row's result but these, where it departs from RFC 7208 and the
// rows follow the RFC: a DNS failure of ptr's PTR lookup (5.5: no match) or of one name's
// address lookup (5.5: that name is skipped) is a temperror there; REDIRECT= in upper case is an
// unknown modifier there (ABNF names are case-insensitive); an unknown modifier named twice is a
// permerror there (6: ignored "no matter where, or how often"); %{DR}'s upper-case R is a
// delimiter there; "%{d" unclosed, %{d0}, %{d*}, %{dx} and %{d2r2} expand there (7.1: syntax
// errors); a redirect= counts against the ten DNS terms there even when a mechanism matched and it
// is never followed (4.6.4: terms evaluated); a sender domain or HELO name of one label is looked
// up there (4.3: none); a sender domain with a final dot gives none there (4.3: only a zero-length
// label not at the end is malformed); %{s} without local part is "@domain" there and the domain is
// cut at the first "@" of a quoted local part (4.3: postmaster; the domain follows the last "@").
// Both count void lookups per query (an exchanger's or a PTR name's address lookup too), and
// neither counts a name a macro made unaskable (an empty or too long label: nothing was asked).
// Check() was also run through the suite of RFC 7208's authors (rfc7208-tests.yml, shipped with
// python3-spf; not part of the build): all of its 203 tests pass.
#include "check/Spf.h"

#include <QDateTime>
#include <QtTest>
#include <thread>

namespace {

const char* const Receiver = "mx.receiver.example";

// One check: the DNS as lines "<name> <TYPE> <data>" (TYPE one of TXT, A, AAAA, MX, PTR; the
// data is the rest of the line, an MX's "<preference> <host>"), or "<name> <TYPE> !NODATA" /
// "!TEMP" for a name without such records / whose server fails; a name no line names does not
// exist. queries: how many the check may ask (-1: not counted); explanation: nullptr when not
// compared.
struct Row {
    const char* name;
    QByteArrayList dns;
    const char* client;
    QByteArray sender;
    const char* result;
    int queries = -1;
    const char* explanation = nullptr;
    const char* helo = "mail.example.net";
};

void Fill(Dns::Table& table, const QByteArrayList& lines)
{
    static const QHash<QByteArray, Dns::Type> types{{"TXT", Dns::Type::Txt}, {"A", Dns::Type::A}, {"AAAA", Dns::Type::Aaaa},
                                                    {"MX", Dns::Type::Mx}, {"PTR", Dns::Type::Ptr}};
    for (const QByteArray& line : lines) {
        qsizetype a = -1;   // the name may hold spaces: the first " TYPE " ends it
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
const char* const V6 = "2001:db8::10";
const char* const Mapped = "::ffff:192.0.2.10";
const char* const User = "user@example.org";
const QByteArray Rev4 = "10.2.0.192.in-addr.arpa";
const QByteArray Rev6 = "0.1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa";
const QByteArray Long = "somewhat.long.exp.example.org";

std::vector<Row> Rows()
{
    return {
        // --- Record selection (4.4, 4.5) ---
        {"no record: NXDOMAIN", {}, V4, User, "none", 1},
        {"no record: no TXT", {"example.org A 192.0.2.10"}, V4, User, "none", 1},
        {"no SPF among the TXT records", {"example.org TXT site-verification=abc"}, V4, User, "none", 1},
        {"v=spf10 is no SPF record", {"example.org TXT v=spf10 -all"}, V4, User, "none"},
        {"the version ends with a space", {"example.org TXT v=spf1-all"}, V4, User, "none"},
        {"the version ends with a space, not a tab", {"example.org TXT v=spf1\t-all"}, V4, User, "none"},
        {"one SPF record among others", {"example.org TXT a=b", "example.org TXT v=spf1 -all", "example.org TXT v=spf2.0/pra +all"}, V4, User, "fail"},
        {"two SPF records", {"example.org TXT v=spf1 -all", "example.org TXT v=spf1 +all"}, V4, User, "permerror", 1},
        {"two identical SPF records", {"example.org TXT v=spf1 -all", "example.org TXT v=spf1 -all"}, V4, User, "permerror"},
        {"the version in any case", {"example.org TXT V=SpF1 -all"}, V4, User, "fail"},
        {"two SPF records, the version in any case", {"example.org TXT v=spf1 -all", "example.org TXT V=SPF1 +all"}, V4, User, "permerror"},
        {"an empty record", {"example.org TXT v=spf1"}, V4, User, "neutral"},
        {"TXT lookup fails", {"example.org TXT !TEMP"}, V4, User, "temperror", 1},
        {"8-bit text in another TXT record", {"example.org TXT \xef\xbb\xbf\x96", "example.org TXT v=spf1 -all"}, V4, User, "fail"},
        {"8-bit text in the SPF record", {"example.org TXT v=spf1 a:\xef\xbb\xbfx.example.org -all"}, V4, User, "permerror", 1},
        {"a control character", {"example.org TXT v=spf1 ip4:192.0.2.10\r-all"}, V4, User, "permerror"},
        {"a tab is no separator", {"example.org TXT v=spf1 ip4:192.0.2.10\t-all"}, V4, User, "permerror"},
        {"a NUL character", {QByteArray("example.org TXT v=spf1 -all\0", 28)}, V4, User, "permerror"},
        {"several spaces", {"example.org TXT v=spf1   ip4:192.0.2.10    -all"}, V4, User, "pass"},
        {"a trailing space", {"example.org TXT v=spf1 -all "}, V4, User, "fail"},

        // --- Syntax anywhere (4.6) ---
        {"an error after the match", {"example.org TXT v=spf1 ip4:192.0.2.10 -all moo"}, V4, User, "permerror", 1},
        {"an unknown mechanism", {"example.org TXT v=spf1 moo -all"}, V4, User, "permerror"},
        {"an unknown qualifier", {"example.org TXT v=spf1 !all"}, V4, User, "permerror"},
        {"a qualifier alone", {"example.org TXT v=spf1 - all"}, V4, User, "permerror"},
        {"mechanism names in any case", {"example.org TXT v=spf1 IP4:192.0.2.10 -ALL"}, V4, User, "pass"},
        {"a mechanism separated by a comma", {"example.org TXT v=spf1 ip4:192.0.2.1, -all"}, V4, User, "permerror"},

        // --- all (5.1) and the qualifiers (4.6.2) ---
        {"+all", {"example.org TXT v=spf1 +all"}, V4, User, "pass", 1},
        {"all without a qualifier", {"example.org TXT v=spf1 all"}, V4, User, "pass"},
        {"-all", {"example.org TXT v=spf1 -all"}, V4, User, "fail"},
        {"~all", {"example.org TXT v=spf1 ~all"}, V4, User, "softfail"},
        {"?all", {"example.org TXT v=spf1 ?all"}, V4, User, "neutral"},
        {"the first match decides", {"example.org TXT v=spf1 ?all -all"}, V4, User, "neutral"},
        {"all with an argument", {"example.org TXT v=spf1 -all:example.org"}, V4, User, "permerror"},
        {"all with a length", {"example.org TXT v=spf1 -all/8"}, V4, User, "permerror"},
        {"all with a dot", {"example.org TXT v=spf1 -all."}, V4, User, "permerror"},
        {"no match: neutral", {"example.org TXT v=spf1 ip4:198.51.100.1"}, V4, User, "neutral"},

        // --- ip4 and ip6 (5.6) ---
        {"ip4 match", {"example.org TXT v=spf1 ip4:192.0.2.10 -all"}, V4, User, "pass", 1},
        {"ip4 other address", {"example.org TXT v=spf1 ip4:192.0.2.11 -all"}, V4, User, "fail"},
        {"ip4 /24", {"example.org TXT v=spf1 ip4:192.0.2.0/24 -all"}, V4, User, "pass"},
        {"ip4 /24 of a host address", {"example.org TXT v=spf1 ip4:192.0.2.77/24 -all"}, V4, User, "pass"},
        {"ip4 /31 outside", {"example.org TXT v=spf1 ip4:192.0.2.8/31 -all"}, V4, User, "fail"},
        {"ip4 /0", {"example.org TXT v=spf1 ip4:203.0.113.5/0 -all"}, V4, User, "pass"},
        {"ip4 /32", {"example.org TXT v=spf1 ip4:192.0.2.10/32 -all"}, V4, User, "pass"},
        {"ip4 /33", {"example.org TXT v=spf1 ip4:192.0.2.10/33 -all"}, V4, User, "permerror"},
        {"ip4 length with a leading zero", {"example.org TXT v=spf1 ip4:192.0.2.0/024 -all"}, V4, User, "permerror"},
        {"ip4 length empty", {"example.org TXT v=spf1 ip4:192.0.2.0/ -all"}, V4, User, "permerror"},
        {"ip4 dual length", {"example.org TXT v=spf1 ip4:192.0.2.0/24//64 -all"}, V4, User, "permerror"},
        {"ip4 octet too large", {"example.org TXT v=spf1 ip4:192.0.2.256 -all"}, V4, User, "permerror"},
        {"ip4 octet with a leading zero", {"example.org TXT v=spf1 ip4:192.0.2.010 -all"}, V4, User, "permerror"},
        {"ip4 three octets", {"example.org TXT v=spf1 ip4:192.0.2 -all"}, V4, User, "permerror"},
        {"ip4 without an address", {"example.org TXT v=spf1 ip4 -all"}, V4, User, "permerror"},
        {"ip4 with an empty address", {"example.org TXT v=spf1 ip4: -all"}, V4, User, "permerror"},
        {"ip4 with a name", {"example.org TXT v=spf1 ip4:mail.example.org -all"}, V4, User, "permerror"},
        {"ip4 never matches IPv6", {"example.org TXT v=spf1 ip4:0.0.0.0/0 -all"}, V6, User, "fail"},
        {"ip4 matches a mapped client", {"example.org TXT v=spf1 ip4:192.0.2.10 -all"}, Mapped, User, "pass"},
        {"ip6 match", {"example.org TXT v=spf1 ip6:2001:db8::10 -all"}, V6, User, "pass", 1},
        {"ip6 written out", {"example.org TXT v=spf1 ip6:2001:0DB8:0:0:0:0:0:0010 -all"}, V6, User, "pass"},
        {"ip6 /64", {"example.org TXT v=spf1 ip6:2001:db8::/64 -all"}, V6, User, "pass"},
        {"ip6 /125 outside", {"example.org TXT v=spf1 ip6:2001:db8::8/125 -all"}, V6, User, "fail"},
        {"ip6 /123 inside", {"example.org TXT v=spf1 ip6:2001:db8::8/123 -all"}, V6, User, "pass"},
        {"ip6 /0", {"example.org TXT v=spf1 ip6:::/0 -all"}, V6, User, "pass"},
        {"ip6 /129", {"example.org TXT v=spf1 ip6:2001:db8::/129 -all"}, V6, User, "permerror"},
        {"ip6 with three colons", {"example.org TXT v=spf1 ip6:2001:db8:::10 -all"}, V6, User, "permerror"},
        {"ip6 with a bad digit", {"example.org TXT v=spf1 ip6:2001:db8::1g -all"}, V6, User, "permerror"},
        {"ip6 with an IPv4 address", {"example.org TXT v=spf1 ip6:192.0.2.10 -all"}, V4, User, "permerror"},
        {"ip6 with a zone", {"example.org TXT v=spf1 ip6:fe80::1%eth0 -all"}, V6, User, "permerror"},
        {"ip6 with an embedded IPv4", {"example.org TXT v=spf1 ip6:2001:db8::192.0.2.10 -all"}, "2001:db8::c000:20a", User, "pass"},
        {"ip6 never matches IPv4", {"example.org TXT v=spf1 ip6:::/0 -all"}, V4, User, "fail"},
        {"ip6 never matches a mapped client", {"example.org TXT v=spf1 ip6:::ffff:192.0.2.10 ip6:::/0 -all"}, Mapped, User, "fail"},

        // --- a (5.3) ---
        {"a of the domain", {"example.org TXT v=spf1 a -all", "example.org A 192.0.2.10"}, V4, User, "pass", 2},
        {"a of another name", {"example.org TXT v=spf1 a:mail.example.org -all", "mail.example.org A 192.0.2.10"}, V4, User, "pass", 2},
        {"a with a trailing dot", {"example.org TXT v=spf1 a:mail.example.org. -all", "mail.example.org A 192.0.2.10"}, V4, User, "pass"},
        {"a: any of the addresses", {"example.org TXT v=spf1 a -all", "example.org A 198.51.100.1", "example.org A 192.0.2.10"}, V4, User, "pass"},
        {"a: no address matches", {"example.org TXT v=spf1 a -all", "example.org A 198.51.100.1"}, V4, User, "fail", 2},
        {"a: NXDOMAIN", {"example.org TXT v=spf1 a:none.example.org -all"}, V4, User, "fail", 2},
        {"a/24", {"example.org TXT v=spf1 a/24 -all", "example.org A 192.0.2.99"}, V4, User, "pass"},
        {"a/0 with no address", {"example.org TXT v=spf1 a:none.example.org/0 -all"}, V4, User, "fail"},
        {"a:name/24", {"example.org TXT v=spf1 a:mail.example.org/24 -all", "mail.example.org A 192.0.2.99"}, V4, User, "pass"},
        {"a/24//64 on IPv4", {"example.org TXT v=spf1 a/24//64 -all", "example.org A 192.0.2.99"}, V4, User, "pass"},
        {"a/24//64 on IPv6", {"example.org TXT v=spf1 a/24//64 -all", "example.org AAAA 2001:db8::ffff:1"}, V6, User, "pass"},
        {"a//64 on IPv4 is /32", {"example.org TXT v=spf1 a//64 -all", "example.org A 192.0.2.99"}, V4, User, "fail"},
        {"a/24 on IPv6 is /128", {"example.org TXT v=spf1 a/24 -all", "example.org AAAA 2001:db8::11"}, V6, User, "fail"},
        {"a//33 is a valid IPv6 length", {"example.org TXT v=spf1 a//33 -all", "example.org A 192.0.2.99"}, V4, User, "fail"},
        {"a/33", {"example.org TXT v=spf1 a/33 -all"}, V4, User, "permerror", 1},
        {"a//129", {"example.org TXT v=spf1 a//129 -all"}, V4, User, "permerror"},
        {"a/24/64", {"example.org TXT v=spf1 a/24/64 -all"}, V4, User, "permerror"},
        {"a:name//", {"example.org TXT v=spf1 a:mail.example.org// -all"}, V4, User, "permerror"},
        {"a asks AAAA for IPv6", {"example.org TXT v=spf1 a -all", "example.org AAAA 2001:db8::10"}, V6, User, "pass", 2},
        {"a asks no A for IPv6", {"example.org TXT v=spf1 a//0 -all", "example.org A 192.0.2.10"}, V6, User, "fail"},
        {"a asks A for a mapped client", {"example.org TXT v=spf1 a -all", "example.org A 192.0.2.10", "example.org AAAA ::ffff:192.0.2.10"}, Mapped, User, "pass"},
        {"a mapped client asks no AAAA", {"example.org TXT v=spf1 a//0 -all", "example.org AAAA ::ffff:192.0.2.10"}, Mapped, User, "fail"},
        {"a: one label", {"example.org TXT v=spf1 a:foo -all"}, V4, User, "permerror"},
        {"a: one label and a dot", {"example.org TXT v=spf1 a:museum. -all"}, V4, User, "permerror"},
        {"a: an address", {"example.org TXT v=spf1 a:192.0.2.10 -all"}, V4, User, "permerror"},
        {"a: a numeric top label", {"example.org TXT v=spf1 a:abc.123 -all"}, V4, User, "permerror"},
        {"a: a top label starting with a dash", {"example.org TXT v=spf1 a:example.-org -all"}, V4, User, "permerror"},
        {"a: a top label ending with a dash", {"example.org TXT v=spf1 a:example.org- -all"}, V4, User, "permerror"},
        {"a: a top label with dashes", {"example.org TXT v=spf1 a:foo.example.xn--zckzah -all", "foo.example.xn--zckzah A 192.0.2.10"}, V4, User, "pass"},
        {"a: a numeric top label with a dash", {"example.org TXT v=spf1 a:foo.1-2 -all", "foo.1-2 A 192.0.2.10"}, V4, User, "pass"},
        {"a: empty", {"example.org TXT v=spf1 a: -all"}, V4, User, "permerror"},
        {"a: a port", {"example.org TXT v=spf1 a:example.org:8080 -all"}, V4, User, "permerror"},
        {"a: colons and slashes in the name", {"example.org TXT v=spf1 a:foo:bar/baz.example.org -all", "foo:bar/baz.example.org A 192.0.2.10"}, V4, User, "pass"},
        {"a: DNS failure", {"example.org TXT v=spf1 a ip4:192.0.2.10", "example.org A !TEMP"}, V4, User, "temperror", 2},

        // --- mx (5.4) ---
        {"mx match", {"example.org TXT v=spf1 mx -all", "example.org MX 10 mx1.example.org", "mx1.example.org A 192.0.2.10"}, V4, User, "pass", 3},
        {"mx: the second exchanger", {"example.org TXT v=spf1 mx -all", "example.org MX 10 mx1.example.org", "example.org MX 20 mx2.example.org",
                                       "mx1.example.org A 198.51.100.1", "mx2.example.org A 192.0.2.10"}, V4, User, "pass", 4},
        {"mx: best preference first", {"example.org TXT v=spf1 mx -all", "example.org MX 20 mx2.example.org", "example.org MX 10 mx1.example.org",
                                        "mx2.example.org A 192.0.2.10", "mx1.example.org A 198.51.100.1"}, V4, User, "pass", 4},
        {"mx: none", {"example.org TXT v=spf1 mx -all", "example.org A 192.0.2.10"}, V4, User, "fail", 2},
        {"mx/24", {"example.org TXT v=spf1 mx/24 -all", "example.org MX 10 mx1.example.org", "mx1.example.org A 192.0.2.200"}, V4, User, "pass"},
        {"mx:name//64 on IPv6", {"example.org TXT v=spf1 mx:example.net//64 -all", "example.net MX 10 mx1.example.net", "mx1.example.net AAAA 2001:db8::1"}, V6, User, "pass"},
        {"mx asks AAAA for IPv6", {"example.org TXT v=spf1 mx -all", "example.org MX 10 mx1.example.org", "mx1.example.org A 192.0.2.10"}, V6, User, "fail"},
        {"mx: a null MX", {"example.org TXT v=spf1 mx -all", "example.org MX 0 ."}, V4, User, "fail", 2},
        {"mx: ten exchangers", Many("example.org", "MX", "mx", 10) + AddressesOf("mx", 10, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 mx -all"},
         V4, User, "pass", 12},
        {"mx: eleven exchangers", Many("example.org", "MX", "mx", 11) + AddressesOf("mx", 11, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 mx -all"},
         V4, User, "permerror", 2},
        {"mx: DNS failure", {"example.org TXT v=spf1 mx -all", "example.org MX !TEMP"}, V4, User, "temperror"},
        {"mx: exchanger's DNS failure", {"example.org TXT v=spf1 mx -all", "example.org MX 10 mx1.example.org", "mx1.example.org A !TEMP"}, V4, User, "temperror"},
        {"mx/33", {"example.org TXT v=spf1 mx/33 -all"}, V4, User, "permerror"},
        {"mx: empty", {"example.org TXT v=spf1 mx: -all"}, V4, User, "permerror"},

        // --- ptr (5.5) ---
        {"ptr validated", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mail.example.org", "mail.example.org A 192.0.2.10"}, V4, User, "pass", 3},
        {"ptr: the domain itself", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR example.org", "example.org A 192.0.2.10"}, V4, User, "pass"},
        {"ptr: another domain", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mail.example.com", "mail.example.com A 192.0.2.10"}, V4, User, "fail"},
        {"ptr: whole labels only", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mailexample.org", "mailexample.org A 192.0.2.10"}, V4, User, "fail"},
        {"ptr not validated", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mail.example.org", "mail.example.org A 192.0.2.11"}, V4, User, "fail", 3},
        {"ptr:name", {"example.org TXT v=spf1 ptr:example.net -all", Rev4 + " PTR mail.example.net", "mail.example.net A 192.0.2.10"}, V4, User, "pass"},
        {"ptr: letter case", {"example.org TXT v=spf1 ptr:Example.NET -all", Rev4 + " PTR MAIL.example.Net", "mail.example.net A 192.0.2.10"}, V4, User, "pass"},
        {"ptr: the second name", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mail.example.com", Rev4 + " PTR mail.example.org",
                                   "mail.example.com A 192.0.2.10", "mail.example.org A 192.0.2.10"}, V4, User, "pass"},
        {"ptr: no PTR", {"example.org TXT v=spf1 ptr -all"}, V4, User, "fail", 2},
        {"ptr: PTR lookup fails, no match", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR !TEMP"}, V4, User, "fail", 2},
        {"ptr: address lookup fails, the name is skipped", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR a.example.org", Rev4 + " PTR b.example.org",
                                                             "a.example.org A !TEMP", "b.example.org A 192.0.2.10"}, V4, User, "pass", 4},
        {"ptr: the first ten names", Many(Rev4, "PTR", "p", 10) + AddressesOf("p", 10, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 ptr -all"},
         V4, User, "pass", 12},
        {"ptr: the eleventh name is not looked at", Many(Rev4, "PTR", "p", 11) + AddressesOf("p", 11, "192.0.2.10") + QByteArrayList{"example.org TXT v=spf1 ptr -all"},
         V4, User, "fail", 12},
        {"ptr on IPv6", {"example.org TXT v=spf1 ptr -all", Rev6 + " PTR mail.example.org", "mail.example.org AAAA 2001:db8::10"}, V6, User, "pass", 3},
        {"ptr on a mapped client", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR mail.example.org", "mail.example.org A 192.0.2.10"}, Mapped, User, "pass"},
        {"ptr with a length", {"example.org TXT v=spf1 ptr/24 -all"}, V4, User, "permerror"},
        {"ptr: empty", {"example.org TXT v=spf1 ptr: -all"}, V4, User, "permerror"},

        // --- exists (5.7) ---
        {"exists", {"example.org TXT v=spf1 exists:%{i}.bl.example.org -all", "192.0.2.10.bl.example.org A 127.0.0.2"}, V4, User, "pass", 2},
        {"exists: no address", {"example.org TXT v=spf1 exists:%{i}.bl.example.org -all"}, V4, User, "fail", 2},
        {"exists asks A for IPv6 too", {"example.org TXT v=spf1 exists:example.org -all", "example.org A 127.0.0.2"}, V6, User, "pass"},
        {"exists: AAAA is not enough", {"example.org TXT v=spf1 exists:example.org -all", "example.org AAAA ::1"}, V6, User, "fail"},
        {"exists without a domain", {"example.org TXT v=spf1 exists -all"}, V4, User, "permerror"},
        {"exists: empty", {"example.org TXT v=spf1 exists: -all"}, V4, User, "permerror"},
        {"exists with a length", {"example.org TXT v=spf1 exists:example.org/24 -all", "example.org A 127.0.0.2"}, V4, User, "permerror"},
        {"exists: DNS failure", {"example.org TXT v=spf1 exists:example.net -all", "example.net A !TEMP"}, V4, User, "temperror"},

        // --- include (5.2) ---
        {"include: pass matches", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 ip4:192.0.2.10 -all"}, V4, User, "pass", 2},
        {"include: fail does not match", {"example.org TXT v=spf1 include:inc.example.net ?all", "inc.example.net TXT v=spf1 -all"}, V4, User, "neutral"},
        {"include: softfail does not match", {"example.org TXT v=spf1 include:inc.example.net ?all", "inc.example.net TXT v=spf1 ~all"}, V4, User, "neutral"},
        {"include: neutral does not match", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 ?all"}, V4, User, "fail"},
        {"include: no match inside is neutral", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 ip4:198.51.100.1"}, V4, User, "fail"},
        {"include: temperror", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT !TEMP"}, V4, User, "temperror"},
        {"include: temperror inside", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 a:t.example.net", "t.example.net A !TEMP"},
         V4, User, "temperror"},
        {"include: permerror", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 moo"}, V4, User, "permerror"},
        {"include: permerror after a pass", {"example.org TXT v=spf1 ip4:192.0.2.10 include:inc.example.net", "inc.example.net TXT v=spf1 moo"}, V4, User, "pass"},
        {"include: none", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT not spf"}, V4, User, "permerror"},
        {"include: NXDOMAIN", {"example.org TXT v=spf1 include:inc.example.net -all"}, V4, User, "permerror", 2},
        {"include: an invalid name", {"example.org TXT v=spf1 include:%{l}..example.net -all"}, V4, User, "permerror", 1},
        {"include: two records", {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 +all", "inc.example.net TXT v=spf1 +all"}, V4, User, "permerror"},
        {"-include", {"example.org TXT v=spf1 -include:inc.example.net +all", "inc.example.net TXT v=spf1 +all"}, V4, User, "fail"},
        {"include without a domain", {"example.org TXT v=spf1 include -all"}, V4, User, "permerror"},
        {"include with a length", {"example.org TXT v=spf1 include:inc.example.net/24 -all"}, V4, User, "permerror"},
        {"include: %{d} is the included domain, %{o} the sender's",
         {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 exists:%{d}.%{o}.x.example.net",
          "inc.example.net.example.org.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"include: a, mx and ptr default to the included domain",
         {"example.org TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 a", "inc.example.net A 192.0.2.10"}, V4, User, "pass"},

        // --- redirect (6.1) ---
        {"redirect", {"example.org TXT v=spf1 ip4:198.51.100.1 redirect=r.example.net", "r.example.net TXT v=spf1 ip4:192.0.2.10 -all"}, V4, User, "pass", 2},
        {"redirect to a fail", {"example.org TXT v=spf1 redirect=r.example.net", "r.example.net TXT v=spf1 -all"}, V4, User, "fail"},
        {"redirect only without a match", {"example.org TXT v=spf1 ip4:192.0.2.10 redirect=r.example.net"}, V4, User, "pass", 1},
        {"redirect ignored beside all", {"example.org TXT v=spf1 redirect=r.example.net ~all", "r.example.net TXT v=spf1 +all"}, V4, User, "softfail", 1},
        {"redirect before the mechanisms", {"example.org TXT v=spf1 redirect=r.example.net ip4:192.0.2.10", "r.example.net TXT v=spf1 -all"}, V4, User, "pass", 1},
        {"redirect: no record", {"example.org TXT v=spf1 redirect=r.example.net", "r.example.net TXT other"}, V4, User, "permerror"},
        {"redirect: NXDOMAIN", {"example.org TXT v=spf1 redirect=r.example.net"}, V4, User, "permerror", 2},
        {"redirect: the target's domain", {"example.org TXT v=spf1 redirect=r.example.net", "r.example.net TXT v=spf1 a -all", "r.example.net A 192.0.2.10",
                                            "example.org A 198.51.100.1"}, V4, User, "pass"},
        {"redirect: temperror", {"example.org TXT v=spf1 redirect=r.example.net", "r.example.net TXT !TEMP"}, V4, User, "temperror"},
        {"redirect twice", {"example.org TXT v=spf1 redirect=r.example.net redirect=r.example.net", "r.example.net TXT v=spf1 +all"}, V4, User, "permerror"},
        {"redirect empty", {"example.org TXT v=spf1 ?all redirect="}, V4, User, "permerror"},
        {"redirect to a mechanism", {"example.org TXT v=spf1 redirect=-all ?all"}, V4, User, "permerror"},
        {"redirect as a mechanism", {"example.org TXT v=spf1 ip4:192.0.2.10 redirect:r.example.net"}, V4, User, "permerror"},
        {"redirect in any case", {"example.org TXT v=spf1 REDIRECT=r.example.net", "r.example.net TXT v=spf1 -all"}, V4, User, "fail"},
        {"redirect with macros", {"example.org TXT v=spf1 redirect=%{d}.r.example.net", "example.org.r.example.net TXT v=spf1 -all"}, V4, User, "fail"},

        // --- exp (6.2) and other modifiers ---
        {"exp after a fail", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{i} is not one of %{d}'s senders"},
         V4, User, "fail", 2, "192.0.2.10 is not one of example.org's senders"},
        {"exp before the mechanisms", {"example.org TXT v=spf1 exp=why.example.org -all", "why.example.org TXT Go away."}, V4, User, "fail", 2, "Go away."},
        {"no exp after a softfail", {"example.org TXT v=spf1 ~all exp=why.example.org", "why.example.org TXT Go away."}, V4, User, "softfail", 1, ""},
        {"no exp after a pass", {"example.org TXT v=spf1 +all exp=why.example.org", "why.example.org TXT Go away."}, V4, User, "pass", 1, ""},
        {"no exp given", {"example.org TXT v=spf1 -all"}, V4, User, "fail", 1, ""},
        {"exp: two TXT records", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT one", "why.example.org TXT two"}, V4, User, "fail", 2, ""},
        {"exp: no TXT record", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org A 192.0.2.1"}, V4, User, "fail", 2, ""},
        {"exp: DNS failure", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT !TEMP"}, V4, User, "fail", 2, ""},
        {"exp: NXDOMAIN is no void lookup", {"example.org TXT v=spf1 a:n1.example.org a:n2.example.org -all exp=why.example.org"}, V4, User, "fail", 4, ""},
        {"exp: a syntax error in the text", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT The %{x}-files."}, V4, User, "fail", 2, ""},
        {"exp: a lone % in the text", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT 100% wrong"}, V4, User, "fail", 2, ""},
        {"exp: 8-bit text", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT \xef\xbb\xbfGo away."}, V4, User, "fail", 2, ""},
        {"exp: spaces, %_, %% and %-", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT a  b%_c%%d%-e"}, V4, User, "fail", 2, "a  b c%d%20e"},
        {"exp: the text keeps its final dot", {"example.org TXT v=spf1 -all exp=why.example.org.", "why.example.org TXT This is a test."}, V4, User, "fail", 2,
         "This is a test."},
        {"exp: c, r and v", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{c} %{v} %{r}"}, V6, User, "fail", 2,
         "2001:db8::10 ip6 mx.receiver.example"},
        {"exp: c of a mapped client", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{c} %{i} %{v}"}, Mapped, User, "fail", 2,
         "192.0.2.10 192.0.2.10 in-addr"},
        {"exp: macros in its domain", {"example.org TXT v=spf1 -all exp=%{l}.%{d}.why.example.net", "user.example.org.why.example.net TXT Go away, %{l}."},
         V4, User, "fail", 2, "Go away, user."},
        {"exp: empty", {"example.org TXT v=spf1 exp= -all"}, V4, User, "permerror"},
        {"exp: no domain", {"example.org TXT v=spf1 exp=-all"}, V4, User, "permerror"},
        {"exp twice", {"example.org TXT v=spf1 exp=a.example.org -all exp=b.example.org"}, V4, User, "permerror"},
        {"exp: c, r and t only in the text", {"example.org TXT v=spf1 -all exp=%{r}.example.org"}, V4, User, "permerror"},
        {"exp: the redirect target's", {"example.org TXT v=spf1 exp=one.example.org redirect=r.example.net", "r.example.net TXT v=spf1 -all exp=two.example.net",
                                         "one.example.org TXT not this", "two.example.net TXT See %{d}."}, V4, User, "fail", 3, "See r.example.net."},
        {"exp: none of the redirecting record's", {"example.org TXT v=spf1 exp=one.example.org redirect=r.example.net", "r.example.net TXT v=spf1 -all",
                                                    "one.example.org TXT not this"}, V4, User, "fail", 2, ""},
        {"exp: none of an included record's", {"example.org TXT v=spf1 include:inc.example.net -all exp=one.example.org", "one.example.org TXT Outer.",
                                                "inc.example.net TXT v=spf1 -all exp=two.example.net", "two.example.net TXT Inner."}, V4, User, "fail", 3, "Outer."},
        {"exp: %{p} validated", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}", Rev4 + " PTR mail.example.org",
                                  "mail.example.org A 192.0.2.10"}, V4, User, "fail", 4, "connect from mail.example.org"},
        {"exp: %{p} not validated", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}", Rev4 + " PTR mail.example.org",
                                      "mail.example.org A 192.0.2.11"}, V4, User, "fail", 4, "connect from unknown"},
        {"exp: %{p} without PTR", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}"}, V4, User, "fail", 3,
         "connect from unknown"},
        {"exp: %{p} prefers the domain's names", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}",
                                                   Rev4 + " PTR mail.example.com", Rev4 + " PTR mx.example.org", "mail.example.com A 192.0.2.10",
                                                   "mx.example.org A 192.0.2.10"}, V4, User, "fail", -1, "connect from mx.example.org"},
        {"exp: %{p} prefers the domain itself", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}",
                                                  Rev4 + " PTR mx.example.org", Rev4 + " PTR example.org", "mx.example.org A 192.0.2.10",
                                                  "example.org A 192.0.2.10"}, V4, User, "fail", -1, "connect from example.org"},
        {"exp: %{p} on IPv6", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT connect from %{p}", Rev6 + " PTR mail.example.org",
                               "mail.example.org AAAA 2001:db8::10"}, V6, User, "fail", 4, "connect from mail.example.org"},
        {"an unknown modifier is ignored", {"example.org TXT v=spf1 moo.cow-far_out=man:dog/cat ip4:192.0.2.10 -all"}, V4, User, "pass"},
        {"an unknown modifier with c", {"example.org TXT v=spf1 x-note=%{c} ip4:192.0.2.10 -all"}, V4, User, "permerror"},
        {"an unknown modifier with macros", {"example.org TXT v=spf1 x-note=%{ir}.%{v}.%{l2r-}.%%%_%- ip4:192.0.2.10 -all"}, V4, User, "pass"},
        {"an unknown modifier with an empty value", {"example.org TXT v=spf1 moo= ip4:192.0.2.10 -all"}, V4, User, "pass"},
        {"an unknown modifier twice", {"example.org TXT v=spf1 moo=1 moo=2 ip4:192.0.2.10 -all"}, V4, User, "pass"},
        {"an unknown modifier with a bad macro", {"example.org TXT v=spf1 -all foo=%abc"}, V4, User, "permerror"},
        {"default= is an unknown modifier", {"example.org TXT v=spf1 default=-"}, V4, User, "neutral"},
        {"a modifier name starting with a digit", {"example.org TXT v=spf1 1up=foo -all"}, V4, User, "permerror"},
        {"a modifier without a name", {"example.org TXT v=spf1 =foo -all"}, V4, User, "permerror"},
        {"a slash before the =", {"example.org TXT v=spf1 moo.cow/far_out=man:dog/cat ip4:192.0.2.10 -all"}, V4, User, "permerror"},
        {"a colon before the =", {"example.org TXT v=spf1 moo.cow:far_out=man:dog/cat ip4:192.0.2.10 -all"}, V4, User, "permerror"},

        // --- Macros (7) ---
        {"%{s}", {"example.org TXT v=spf1 exists:%{s}.x.example.net -all", "user@example.org.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{l}", {"example.org TXT v=spf1 exists:%{l}.x.example.net -all", "user.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{o}", {"example.org TXT v=spf1 exists:%{o}.x.example.net -all", "example.org.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{d}", {"example.org TXT v=spf1 exists:%{d}.x.example.net -all", "example.org.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{i} of IPv4", {"example.org TXT v=spf1 exists:%{i}.x.example.net -all", "192.0.2.10.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{i} of IPv6", {"example.org TXT v=spf1 exists:%{i}.x.example.net -all", "2.0.0.1.0.d.b.8.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.1.0.x.example.net A 127.0.0.2"},
         V6, User, "pass"},
        {"%{ir}.%{v}", {"example.org TXT v=spf1 exists:%{ir}.%{v}.x.example.net -all", "10.2.0.192.in-addr.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{ir}.%{v} of IPv6", {"example.org TXT v=spf1 exists:%{ir}.%{v}.x.example.net -all", Rev6.chopped(5) + ".x.example.net A 127.0.0.2"}, V6, User, "pass"},
        {"%{v} of a mapped client", {"example.org TXT v=spf1 exists:%{v}.x.example.net -all", "in-addr.x.example.net A 127.0.0.2"}, Mapped, User, "pass"},
        {"%{ir} of a mapped client", {"example.org TXT v=spf1 exists:%{ir}.%{v}.x.example.org -all", "10.2.0.192.in-addr.x.example.org A 127.0.0.2"},
         Mapped, User, "pass", 2},
        {"mx on a mapped client asks A", {"example.org TXT v=spf1 mx//0 ~all", "example.org MX 1 example.org", "example.org A 192.0.2.1",
                                          "example.org AAAA ::ffff:192.0.2.10"}, Mapped, User, "softfail", 3},
        {"%{h}", {"example.org TXT v=spf1 exists:%{h}.x.example.net -all", "mail.example.net.x.example.net A 127.0.0.2"}, V4, User, "pass"},
        {"%{d2}", {"sub.example.org TXT v=spf1 exists:%{d2}.x.example.net -all", "example.org.x.example.net A 127.0.0.2"}, V4, "user@sub.example.org", "pass"},
        {"%{d9} is the whole", {"sub.example.org TXT v=spf1 exists:%{d9}.x.example.net -all", "sub.example.org.x.example.net A 127.0.0.2"}, V4, "user@sub.example.org", "pass"},
        {"%{d99999999999} is the whole", {"sub.example.org TXT v=spf1 exists:%{d99999999999}.x.example.net -all", "sub.example.org.x.example.net A 127.0.0.2"},
         V4, "user@sub.example.org", "pass"},
        {"%{dr}", {"sub.example.org TXT v=spf1 exists:%{dr}.x.example.net -all", "org.example.sub.x.example.net A 127.0.0.2"}, V4, "user@sub.example.org", "pass"},
        {"%{d1r}", {"sub.example.org TXT v=spf1 exists:%{d1r}.x.example.net -all", "sub.x.example.net A 127.0.0.2"}, V4, "user@sub.example.org", "pass"},
        {"%{DR} in upper case", {"sub.example.org TXT v=spf1 exists:%{DR}.x.example.net -all", "org.example.sub.x.example.net A 127.0.0.2"}, V4, "user@sub.example.org", "pass"},
        {"%{l-}", {"example.org TXT v=spf1 exists:%{l-}.x.example.net -all", "strong.bad.x.example.net A 127.0.0.2"}, V4, "strong-bad@example.org", "pass"},
        {"%{lr-}", {"example.org TXT v=spf1 exists:%{lr-}.x.example.net -all", "bad.strong.x.example.net A 127.0.0.2"}, V4, "strong-bad@example.org", "pass"},
        {"%{l1r-}", {"example.org TXT v=spf1 exists:%{l1r-}.x.example.net -all", "strong.x.example.net A 127.0.0.2"}, V4, "strong-bad@example.org", "pass"},
        {"%{l2r+-}", {"example.org TXT v=spf1 exists:%{l2r+-}.x.example.net -all", "bar.foo.x.example.net A 127.0.0.2"}, V4, "foo-bar+zip+quux@example.org", "pass"},
        {"%{s=}: every delimiter", {"example.org TXT v=spf1 exists:%{s.-+,/_=}.x.example.net -all", "a.b.c.d.e.f.g.h@example.org.x.example.net A 127.0.0.2"},
         V4, "a-b+c,d/e_f=g.h@example.org", "pass"},
        {"%{l}: no local part is postmaster", {"example.org TXT v=spf1 exists:%{l}.x.example.net -all", "postmaster.x.example.net A 127.0.0.2"}, V4, "@example.org", "pass"},
        {"%%, %_ and %- in a name", {"example.org TXT v=spf1 a:macro%%percent%_%_space%-url-space.example.org -all",
                                      "macro%percent  space%20url-space.example.org A 192.0.2.10"}, V4, User, "pass"},
        {"%{L}: URL escapes", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT http://example.com/why.html?l=%{L}"}, V4,
         "~jack&jill=up-a_b3.c@example.org", "fail", 2, "http://example.com/why.html?l=~jack%26jill%3Dup-a_b3.c"},
        {"%{H}: a HELO with spaces", {"example.org TXT v=spf1 a:%{H} -all", "JUMPIN%27%20JUPITER A 192.0.2.10"}, V4, User, "pass", 2, nullptr, "JUMPIN' JUPITER"},
        {"%{S} %{O}", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{S} %{O} %{s}"}, V4, "a b@example.org", "fail", 2,
         "a%20b%40example.org example.org a b@example.org"},
        {"a macro at the end of a target domain", {"example.org TXT v=spf1 a:%{d} -all", "example.org A 192.0.2.10"}, V4, User, "pass"},
        {"a macro and a dot at the end", {"example.org TXT v=spf1 a:%{d}. -all"}, V4, User, "permerror"},
        {"%(ir)", {"example.org TXT v=spf1 -exists:%(ir).sbl.example.org ?all"}, V4, User, "permerror"},
        {"%x", {"example.org TXT v=spf1 exists:foo%x.sbl.example.org ?all"}, V4, User, "permerror"},
        {"a lone % before a dot", {"example.org TXT v=spf1 exists:foo%.sbl.example.org ?all"}, V4, User, "permerror"},
        {"% at the end", {"example.org TXT v=spf1 exists:foo.example.org% ?all"}, V4, User, "permerror"},
        {"%{ unclosed", {"example.org TXT v=spf1 exists:%{d.example.org ?all"}, V4, User, "permerror"},
        {"%{} empty", {"example.org TXT v=spf1 exists:%{}.example.org ?all"}, V4, User, "permerror"},
        {"%{a}: no such letter", {"example.org TXT v=spf1 a:%{a}.example.org -all"}, V4, User, "permerror"},
        {"%{c} outside exp", {"example.org TXT v=spf1 exists:%{c}.example.org -all"}, V4, User, "permerror"},
        {"%{t} outside exp", {"example.org TXT v=spf1 exists:%{t}.example.org -all"}, V4, User, "permerror"},
        {"%{d0}", {"example.org TXT v=spf1 exists:%{d0}.example.org -all"}, V4, User, "permerror"},
        {"%{d*}: no such delimiter", {"example.org TXT v=spf1 exists:%{d*}.example.org -all"}, V4, User, "permerror"},
        {"%{dx}: no such transformer", {"example.org TXT v=spf1 exists:%{dx}.example.org -all"}, V4, User, "permerror"},
        {"%{d2r2}", {"example.org TXT v=spf1 exists:%{d2r2}.example.org -all"}, V4, User, "permerror"},
        {"truncated to 253 characters", {"somewhat.long.exp.example.org TXT v=spf1 exists:foobar.%{o}.%{o}.%{o}.%{o}.%{o}.%{o}.%{o}.%{o}.example.org -all",
                                          (Long + '.').repeated(8) + "example.org A 127.0.0.2"}, V4, "user@" + Long, "pass", 2},
        {"an empty label after expansion", {"example.org TXT v=spf1 exists:%{l}..example.org -all"}, V4, User, "fail", 1},
        {"a label over 63 after expansion", {"example.org TXT v=spf1 exists:%{l}.example.org -all"}, V4, QByteArray(64, 'x') + "@example.org", "fail", 1},

        // --- Limits (4.6.4) ---
        {"ten DNS terms", {"example.org TXT v=spf1 a a a a a a a a a a ip4:192.0.2.10 -all", "example.org A 198.51.100.1"}, V4, User, "pass", 11},
        {"eleven DNS terms", {"example.org TXT v=spf1 a a a a a a a a a a a ip4:192.0.2.10 -all", "example.org A 198.51.100.1"}, V4, User, "permerror", 11},
        {"the eleventh would match", {"example.org TXT v=spf1 a a a a a a a a a a a:mail.example.org -all", "example.org A 198.51.100.1",
                                       "mail.example.org A 192.0.2.10"}, V4, User, "permerror", 11},
        {"every kind counts", {"example.org TXT v=spf1 a mx ptr exists:n.example.org a mx ptr exists:n.example.org include:i.example.org ip4:192.0.2.10 -all",
                                "example.org A 198.51.100.1", "example.org MX 10 example.org", Rev4 + " PTR example.org", "i.example.org TXT v=spf1 a -all",
                                "i.example.org A 198.51.100.1"}, V4, User, "pass"},
        {"every kind counts, one more", {"example.org TXT v=spf1 a mx ptr exists:n.example.org a mx ptr exists:n.example.org include:i.example.org a ip4:192.0.2.10 -all",
                                          "example.org A 198.51.100.1", "example.org MX 10 example.org", Rev4 + " PTR example.org", "i.example.org TXT v=spf1 a -all",
                                          "i.example.org A 198.51.100.1"}, V4, User, "permerror"},
        {"ip4, ip6, all and exp do not count", {"example.org TXT v=spf1 a a a a a a a a a a ip4:198.51.100.2 ip6:::1 exp=why.example.org ip4:192.0.2.10 -all",
                                                 "example.org A 198.51.100.1"}, V4, User, "pass", 11},
        {"terms in an include count", {"example.org TXT v=spf1 a include:inc.example.net ip4:192.0.2.10 -all", "example.org A 198.51.100.1",
                                        "inc.example.net TXT v=spf1 a a a a a a a a", "inc.example.net A 198.51.100.2"}, V4, User, "pass", 11},
        {"terms in an include count, one more", {"example.org TXT v=spf1 a include:inc.example.net a ip4:192.0.2.10 -all", "example.org A 198.51.100.1",
                                                  "inc.example.net TXT v=spf1 a a a a a a a a", "inc.example.net A 198.51.100.2"}, V4, User, "permerror", 11},
        {"redirect counts", {"example.org TXT v=spf1 a a a a a a a a a redirect=r.example.net", "example.org A 198.51.100.1", "r.example.net TXT v=spf1 a -all",
                              "r.example.net A 192.0.2.10"}, V4, User, "permerror", 11},
        {"redirect counts, at the limit", {"example.org TXT v=spf1 a a a a a a a a redirect=r.example.net", "example.org A 198.51.100.1", "r.example.net TXT v=spf1 a -all",
                                            "r.example.net A 192.0.2.10"}, V4, User, "pass", 11},
        {"redirect not taken does not count", {"example.org TXT v=spf1 a a a a a a a a a a ip4:192.0.2.10 redirect=r.example.net", "example.org A 198.51.100.1"},
         V4, User, "pass", 11},
        {"an include loop", {"example.org TXT v=spf1 include:loop.example.net -all", "loop.example.net TXT v=spf1 include:example.org -all"}, V4, User, "permerror", 11},
        {"a redirect loop", {"example.org TXT v=spf1 ip4:198.51.100.1 redirect=example.org"}, V4, User, "permerror", 11},
        {"two void lookups", {"example.org TXT v=spf1 a:n1.example.org a:n2.example.org ?all"}, V4, User, "neutral", 3},
        {"three void lookups", {"example.org TXT v=spf1 a:n1.example.org a:n2.example.org a:n3.example.org ?all"}, V4, User, "permerror", 4},
        {"three void lookups, then a match", {"example.org TXT v=spf1 a:n1.example.org a:n2.example.org a:n3.example.org +all"}, V4, User, "permerror", 4},
        {"void: no records of the type", {"example.org TXT v=spf1 a:n1.example.org mx:n2.example.org exists:n3.example.org ?all", "n1.example.org TXT x",
                                           "n2.example.org A 192.0.2.1", "n3.example.org AAAA ::1"}, V4, User, "permerror", 4},
        {"void: mx and ptr", {"example.org TXT v=spf1 mx ptr a ?all"}, V4, User, "permerror", 4},
        {"void: an exchanger without address", {"example.org TXT v=spf1 mx -all", "example.org MX 10 n1.example.org", "example.org MX 20 n2.example.org",
                                                 "example.org MX 30 mx.example.org", "mx.example.org A 192.0.2.10"}, V4, User, "pass", 5},
        {"void: exchangers without address", {"example.org TXT v=spf1 mx -all", "example.org MX 10 n1.example.org", "example.org MX 20 n2.example.org",
                                               "example.org MX 30 n3.example.org", "example.org MX 40 mx.example.org", "mx.example.org A 192.0.2.10"},
         V4, User, "permerror", 5},
        {"void: in an include", {"example.org TXT v=spf1 a:n1.example.org include:inc.example.net ?all", "inc.example.net TXT v=spf1 a:n2.example.net a:n3.example.net"},
         V4, User, "permerror", 5},
        {"void: an invalid name is no lookup", {"example.org TXT v=spf1 exists:%{l}..example.org a:n1.example.org a:n2.example.org ?all"}, V4, User, "neutral", 3},
        {"void: the PTR names' addresses", {"example.org TXT v=spf1 ptr -all", Rev4 + " PTR n1.example.org", Rev4 + " PTR n2.example.org", Rev4 + " PTR n3.example.org"},
         V4, User, "permerror", 5},
        {"a failure ends it before the limit", {"example.org TXT v=spf1 a a:t.example.org a a a a a a a a a", "example.org A 198.51.100.1",
                                                 "t.example.org A !TEMP"}, V4, User, "temperror", 3},

        // --- The initial domain (4.3) ---
        {"a label of 63", {QByteArray(63, 'a') + ".example.org TXT v=spf1 -all"}, V4, "user@" + QByteArray(63, 'a') + ".example.org", "fail", 1},
        {"a label of 64", {QByteArray(64, 'a') + ".example.org TXT v=spf1 -all"}, V4, "user@" + QByteArray(64, 'a') + ".example.org", "none", 0},
        {"an empty label", {"a..example.org TXT v=spf1 -all"}, V4, "user@a..example.org", "none", 0},
        {"a leading dot", {"example.org TXT v=spf1 -all"}, V4, "user@.example.org", "none", 0},
        {"one label", {"localhost TXT v=spf1 -all"}, V4, "user@localhost", "none", 0},
        {"one label and a dot", {"localhost TXT v=spf1 -all"}, V4, "user@localhost.", "none", 0},
        {"a domain literal", {}, V4, "user@[192.0.2.10]", "none", 0},
        {"a final dot", {"example.org TXT v=spf1 -all"}, V4, "user@example.org.", "fail", 1},
        {"longer than 253", {}, V4, "user@" + QByteArray("a23456789.").repeated(25) + "example.org", "none", 0},
        {"a name in upper case", {"example.org TXT v=spf1 -all"}, V4, "user@EXAMPLE.Org", "fail"},
        {"no local part", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{l} %{s}"}, V4, "@example.org", "fail", 2,
         "postmaster postmaster@example.org"},
        {"no @ at all", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{l} %{s}"}, V4, "example.org", "fail", 2,
         "postmaster postmaster@example.org"},
        {"an @ in a quoted local part", {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{l}"}, V4, "\"a@b\"@example.org", "fail", 2,
         "\"a@b\""},
        {"the null sender: the HELO name", {"mail.example.net TXT v=spf1 -all exp=why.example.net", "why.example.net TXT %{s} %{l} %{o} %{d} %{h}"}, V4, "", "fail", 2,
         "postmaster@mail.example.net postmaster mail.example.net mail.example.net mail.example.net"},
        {"the null sender: a HELO of one label", {"oemcomputer TXT v=spf1 -all"}, V4, "", "none", 0, nullptr, "OEMCOMPUTER"},
        {"the null sender: a HELO address literal", {}, V4, "", "none", 0, nullptr, "[192.0.2.10]"},
        {"the null sender: a HELO with spaces", {}, V4, "", "none", 0, nullptr, "JUMPIN' JUPITER"},
        {"the null sender: a HELO without record", {}, V4, "", "none", 1},
    };
}

// Answers after sleeping: for the time limit.
class Slow : public Dns::Table {
public:
    Dns::Answer Query(const QByteArray& name, Dns::Type type) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return Table::Query(name, type);
    }
};

}

class TestSpf : public QObject {
    Q_OBJECT
private slots:
    void check_data()
    {
        QTest::addColumn<QByteArrayList>("dns");
        QTest::addColumn<QString>("client");
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
            QTest::newRow(r.name) << r.dns << QString::fromLatin1(r.client) << r.sender << QByteArray(r.helo) << QByteArray(r.result)
                                  << r.queries << QByteArray(r.explanation) << (r.explanation != nullptr);
        }
    }
    void check()
    {
        QFETCH(QByteArrayList, dns);
        QFETCH(QString, client);
        QFETCH(QByteArray, sender);
        QFETCH(QByteArray, helo);
        QFETCH(QByteArray, result);
        QFETCH(int, queries);
        QFETCH(QByteArray, explanation);
        QFETCH(bool, checkExplanation);
        Dns::Table table;
        Fill(table, dns);
        const QHostAddress address(client);
        QVERIFY(!address.isNull());
        const Spf::Outcome out = Spf::Check(table, address, sender, helo, Receiver);
        const QByteArray got = Spf::Name(out.result);
        QVERIFY2(got == result, "got " + got + " (" + out.reason + ")");
        if (queries >= 0)
            QVERIFY2(table.queries == queries, QByteArray::number(table.queries) + " queries (" + out.reason + ")");
        if (checkExplanation)
            QCOMPARE(out.explanation, explanation);
        else if (out.result != Spf::Result::Fail)
            QVERIFY(out.explanation.isEmpty());
        QVERIFY(!out.reason.isEmpty());
        for (const char c : out.reason + out.explanation)
            QVERIFY2(c >= 0x20 && c <= 0x7e, out.reason.constData());
        QVERIFY(!out.reason.contains('(') && !out.reason.contains(')') && !out.reason.contains('\\'));
        QVERIFY(out.reason.size() <= 200);
    }

    void outcome()
    {
        Dns::Table table;
        Fill(table, {"example.org TXT v=spf1 ip4:192.0.2.0/24 -all", "mail.example.net TXT v=spf1 redirect=_spf.example.net",
                     "_spf.example.net TXT v=spf1 include:inc.example.net -all", "inc.example.net TXT v=spf1 +all"});
        Spf::Outcome out = Spf::Check(table, QHostAddress(V4), "User@Example.ORG.", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::Pass);
        QCOMPARE(out.identity, QByteArray("mailfrom"));
        QCOMPARE(out.domain, QByteArray("example.org"));
        QCOMPARE(out.reason, QByteArray("Example.ORG: ip4:192.0.2.0/24"));
        out = Spf::Check(table, QHostAddress(V4), "", "Mail.Example.NET", Receiver);
        QCOMPARE(out.result, Spf::Result::Pass);
        QCOMPARE(out.identity, QByteArray("helo"));
        QCOMPARE(out.domain, QByteArray("mail.example.net"));
        QCOMPARE(out.reason, QByteArray("_spf.example.net: include:inc.example.net"));
        out = Spf::Check(table, QHostAddress(V4), "x@nowhere.example", "mail.example.net", Receiver);
        QCOMPARE(out.result, Spf::Result::None);
        QCOMPARE(out.domain, QByteArray("nowhere.example"));
        QCOMPARE(out.reason, QByteArray("no SPF record for nowhere.example"));
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
        Fill(table, {"example.org TXT v=spf1 -all exp=why.example.org", "why.example.org TXT %{t} %{r}"});
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
        Fill(table, {"example.org TXT v=spf1 a:a.example.org a:b.example.org a:c.example.org a:d.example.org -all", "a.example.org A 198.51.100.1",
                     "b.example.org A 198.51.100.2", "c.example.org A 198.51.100.3", "d.example.org A 198.51.100.4"});
        Spf::Outcome out = Spf::Check(table, QHostAddress(V4), User, "h.example.org", Receiver, 50);
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
