// A table file holding anything. Its records read back as they were written; a row
// added through SQL leaves every other line of the file as it was, and the rows of
// the file read again are the rows before plus the new one.
#include "FuzzSupport.h"
#include "core/Csv.h"
#include "core/Failure.h"
#include "core/TextDatabase.h"

namespace {

FuzzFolder& Folder()
{
    static FuzzFolder folder("UserName,Password,MailID\n", "Domain,MX,Priority\n");
    return folder;
}

QList<QStringList> Rows(const QString& dir, bool* ok)
{
    try {
        TextDatabase db(dir);
        *ok = true;
        return db.Execute(QStringLiteral("Select * From T.txt")).rows;
    } catch (const Failure&) {
        *ok = false;
        return {};
    }
}

}

FUZZ_TARGET(table)
{
    const QByteArray input = Bytes(data, size);
    const Csv::Document doc = Csv::Parse(input);
    int line = 0;
    for (const Csv::Record& r : doc.records) {
        FUZZ_CHECK(r.line > line, "record line %d after %d", r.line, line);
        line = r.line;
        if (!r.ok || r.fields.isEmpty())
            continue;
        // Qt's UTF-8 decoding drops a byte order mark that starts a text: a value cannot
        // begin with U+FEFF, and one whose bytes do loses it each time it is read.
        if (r.raw.contains("\xEF\xBB\xBF"))
            continue;
        // A record written back is read as the same fields.
        const Csv::Document again = Csv::Parse("h\n" + Csv::Format(r.fields) + "\n");
        FUZZ_CHECK(again.records.size() == 2 && again.records[1].ok && again.records[1].fields == r.fields,
                   "record at line %d does not read back", r.line);
    }

    FuzzFolder& folder = Folder();
    folder.Write(QStringLiteral("T.txt"), input);
    bool readable = false;
    const QList<QStringList> before = Rows(folder.dir.path(), &readable);
    if (!readable)
        return 0;
    int columns = 0;
    try {
        TextDatabase db(folder.dir.path());
        const auto r = db.Execute(QStringLiteral("Insert Into T.txt Default Values"));
        FUZZ_CHECK(r.changes == 1, "insert changed %d rows", r.changes);
        columns = int(db.Execute(QStringLiteral("Select * From T.txt Where 0")).columns.size());
    } catch (const Failure&) {
        // Refused: the file stays as it was.
        FUZZ_CHECK(folder.Read(QStringLiteral("T.txt")) == input, "a refused write changed the file");
        return 0;
    }
    bool ok = false;
    const QList<QStringList> after = Rows(folder.dir.path(), &ok);
    FUZZ_CHECK(ok, "table unreadable after a row was added");
    QList<QStringList> expected = before;
    expected << QStringList(QList<QString>(columns));
    FUZZ_CHECK(after == expected, "rows changed: %d before, %d after", int(before.size()), int(after.size()));

    // Lines that are not rows stay as they were.
    const Csv::Document saved = Csv::Parse(folder.Read(QStringLiteral("T.txt")));
    auto kept = [&](const Csv::Document& d) {
        QList<QByteArray> lines;
        for (qsizetype i = 1; i < d.records.size(); ++i)
            if (!d.records[i].ok || d.records[i].fields.size() != columns)
                lines << d.records[i].raw;
        return lines;
    };
    const QList<QByteArray> keptBefore = kept(doc), keptAfter = kept(saved);
    FUZZ_CHECK(keptBefore == keptAfter, "lines that are not rows changed");
    return 0;
}
