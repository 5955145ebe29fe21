// Lookup script output holding anything. The records taken from it are kept in
// DomainMX.txt and read back from the file unchanged.
#include "FuzzSupport.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"
#include "relay/DNS.h"

namespace {
FuzzFolder& Folder()
{
    static FuzzFolder folder("UserName,Password,MailID\n", "Domain,MX,Priority\n");
    return folder;
}
}

FUZZ_TARGET(dns)
{
    const QByteArray output = Bytes(data, size);
    const QList<DNS::Record> records = DNS::ParseRecords(output);
    FUZZ_CHECK(records.size() <= output.count("MX preference ="), "more records than preferences");
    for (const DNS::Record& r : records)
        FUZZ_CHECK(!r.Priority.contains(QLatin1Char(',')) && !r.MX.contains(QLatin1String("\r\n")), "record holds its delimiters");

    FuzzFolder& folder = Folder();
    folder.Write(QStringLiteral("DomainMX.txt"), "Domain,MX,Priority\n");
    const QString domain = QStringLiteral("fuzz.test");
    QList<QStringList> written;
    {
        TextDatabase db(folder.dir.path());
        for (const DNS::Record& r : records.mid(0, 16)) {
            db.Execute(QStringLiteral("Insert Into DomainMX.txt (Domain, MX, Priority) values(?,?,?)"), {domain, r.MX, r.Priority});
            written << QStringList{domain, r.MX, r.Priority};
        }
    }
    TextDatabase db(folder.dir.path());
    const auto back = db.Execute(QStringLiteral("Select Domain, MX, Priority From DomainMX.txt Order By rowid")).rows;
    FUZZ_CHECK(back == written, "DomainMX.txt gave back %d rows of %d", int(back.size()), int(written.size()));
    return 0;
}
