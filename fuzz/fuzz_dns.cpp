// Lookup script output holding anything: parsing never crashes, and the records taken
// from it are kept in DomainMX.txt and read back unchanged.
#include "FuzzSupport.h"
#include "core/TextDatabase.h"
#include "relay/MxLookup.h"

FUZZ_TARGET(dns)
{
    static FuzzFolder folder("UserName,Password,MailID\n");
    const QByteArray output = Bytes(data, size);
    const QList<DNS::Record> records = DNS::ParseRecords(output);
    FUZZ_CHECK(records.size() <= output.count("MX preference ="), "more records than preferences");
    folder.Write("DomainMX.txt", "Domain,MX,Priority\n");
    QList<QStringList> written;
    TextDatabase db(folder.dir.path());
    for (const DNS::Record& r : records) {
        FUZZ_CHECK(!r.Priority.contains(',') && !r.MX.contains("\r\n"), "record holds its delimiters");
        if (written.size() < 16)
            db.Execute("Insert Into DomainMX.txt (Domain, MX, Priority) values(?,?,?)", written.emplace_back(QStringList{"fuzz.test", r.MX, r.Priority}));
    }
    const auto back = TextDatabase(folder.dir.path()).Execute("Select Domain, MX, Priority From DomainMX.txt Order By rowid").rows;
    FUZZ_CHECK(back == written, "DomainMX.txt gave back %d rows of %d", int(back.size()), int(written.size()));
    return 0;
}
