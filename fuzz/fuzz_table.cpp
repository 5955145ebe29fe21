// A table file holding anything. Its records read back as they were written; a row added
// through SQL leaves every other line as it was, and the file then reads as the rows
// before plus the new one; a refused write leaves the file alone.
#include "FuzzSupport.h"
#include "core/Csv.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"

FUZZ_TARGET(table)
{
    static FuzzFolder folder("UserName,Password,MailID\n");
    const QByteArray input = Bytes(data, size);
    const Csv::Document doc = Csv::Parse(input);
    int line = 0;
    for (const Csv::Record& r : doc.records) {
        FUZZ_CHECK(r.line > line, "record line %d after %d", r.line, line);
        line = r.line;
        // Qt's UTF-8 decoding drops a byte order mark that starts a text, so a value whose
        // bytes hold one cannot read back.
        if (!r.ok || r.fields.isEmpty() || r.raw.contains("\xEF\xBB\xBF")) continue;
        const Csv::Document again = Csv::Parse("h\n" + Csv::Format(r.fields) + "\n");
        FUZZ_CHECK(again.records.size() == 2 && again.records[1].ok && again.records[1].fields == r.fields, "record at line %d does not read back", r.line);
    }
    folder.Write("T.txt", input);
    auto rows = [] { return TextDatabase(folder.dir.path()).Execute("Select * From T.txt").rows; };
    QList<QStringList> before;
    qsizetype columns = 0;
    try {
        before = rows();
    } catch (const Failure&) {
        return 0;   // not a table
    }
    try {
        TextDatabase db(folder.dir.path());
        FUZZ_CHECK(db.Execute("Insert Into T.txt Default Values").changes == 1, "insert changed no row");
        columns = db.Execute("Select * From T.txt Where 0").columns.size();
    } catch (const Failure&) {
        FUZZ_CHECK(folder.Read("T.txt") == input, "a refused write changed the file");
        return 0;
    }
    FUZZ_CHECK(rows() == before + QList<QStringList>{QStringList(columns)}, "rows changed");
    auto notRows = [&](const Csv::Document& d) {   // the lines that are no row
        QList<QByteArray> lines;
        for (qsizetype i = 1; i < d.records.size(); ++i)
            if (!d.records[i].ok || d.records[i].fields.size() != columns) lines << d.records[i].raw;
        return lines;
    };
    FUZZ_CHECK(notRows(doc) == notRows(Csv::Parse(folder.Read("T.txt"))), "lines that are no row changed");
    return 0;
}
