#include "core/TextDatabase.h"
#include "core/DurableFile.h"
#include "core/FileStamp.h"
#include "core/Csv.h"
#include "core/Failure.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <sqlite3.h>
#include <sys/stat.h>
#include <cerrno>
#include <ctime>

namespace {

using Stamp = FileStamp;
inline Stamp StampOf(const QString& path, int* err) { return FileStampOf(path, err); }

constexpr qint64 NsPerSecond = 1000000000;
// How coarse a file system's clock may be (FAT keeps times in steps of two seconds).
constexpr qint64 CoarseClockNs = 2 * NsPerSecond;

qint64 NowNs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * NsPerSecond + ts.tv_nsec;
}

// File times come from a coarse clock (a scheduler tick, or whole seconds on some file
// systems): a file changed again soon after we read it can keep size and times. Until its
// times are older than our look at it by more than that, equal times prove nothing.
bool Racy(const Stamp& s, qint64 lookedAtNs)
{
    return std::max(s.mtimeNs, s.ctimeNs) >= lookedAtNs - CoarseClockNs;
}

// Preferences are text with a leading blank (" 10"); they order as numbers.
int ComparePriority(void*, int n1, const void* p1, int n2, const void* p2)
{
    auto number = [](const char* s, int n, bool* ok) {
        QByteArray t = QByteArray(s, n).trimmed();
        return t.toLongLong(ok);
    };
    bool ok1 = false, ok2 = false;
    const qint64 a = number(static_cast<const char*>(p1), n1, &ok1);
    const qint64 b = number(static_cast<const char*>(p2), n2, &ok2);
    if (ok1 && ok2 && a != b) return a < b ? -1 : 1;
    if (ok1 != ok2) return ok1 ? -1 : 1;   // numbers before anything else
    const int c = memcmp(p1, p2, size_t(std::min(n1, n2)));
    return c ? c : n1 - n2;
}

QString Collation(const QString& column)
{
    if (column.compare(QLatin1String("MailID"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("RTRIM");      // a fixed-width column: trailing blanks do not count
    if (column.compare(QLatin1String("Priority"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("PRIORITY");
    if (column.compare(QLatin1String("Domain"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("NOCASE");     // mail domains ignore letter case
    return QStringLiteral("BINARY");
}

// The name SQLite gives the row number, unless a column of the file took it.
QString RowidName(const QStringList& columns)
{
    for (const char* name : {"rowid", "_rowid_", "oid"})
        if (!columns.contains(QLatin1String(name), Qt::CaseInsensitive))
            return QLatin1String(name);
    return {};
}

QString Quoted(const QString& identifier)
{
    QString q = identifier;
    q.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

}

struct TextDatabase::Table {
    QString name;          // "Users" for Users.txt
    QString path;
    bool attached = false;
    Stamp stamp;
    qint64 lookedAt = 0;   // when stamp was taken (ns)
    QByteArray bytes;      // the file as last read or written, to settle racy stamps
    QStringList columns;
    Csv::Document doc;     // the file as last read; records[0] is the header
    QList<qint64> rowidOf; // per record: its rowid, or 0 when the record is not a row
};

TextDatabase::TextDatabase(const QString& folder) : folder_(folder)
{
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
        throw Failure(Err::Database, QStringLiteral("cannot start the table engine"));
    sqlite3_create_collation(db_, "PRIORITY", SQLITE_UTF8, nullptr, ComparePriority);
}

TextDatabase::~TextDatabase()
{
    for (sqlite3_stmt* st : std::as_const(statements_))
        sqlite3_finalize(st);
    sqlite3_close(db_);
}

void TextDatabase::Exec(const char* sql)
{
    char* msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
        QString text = QString::fromUtf8(msg ? msg : "error");
        sqlite3_free(msg);
        throw Failure(Err::Database, text);
    }
}

QStringList TextDatabase::TablesOf(const QString& sql)
{
    auto it = tablesOf_.constFind(sql);
    if (it != tablesOf_.constEnd())
        return *it;
    static const QRegularExpression re(QStringLiteral("\\b([A-Za-z_][A-Za-z0-9_]*)\\.txt\\b"),
                                       QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    for (auto m = re.globalMatch(sql); m.hasNext();) {
        const QString n = m.next().captured(1);
        if (!names.contains(n, Qt::CaseInsensitive))
            names << n;
    }
    tablesOf_.insert(sql, names);
    return names;
}

TextDatabase::Table& TextDatabase::TableFor(const QString& name)
{
    // SQL names are not case-sensitive; the file keeps the case the code gives it.
    const QString key = name.toLower();
    auto& slot = tables_[key];
    if (!slot) {
        slot = std::make_unique<Table>();
        slot->name = name;
        slot->path = QDir(folder_).filePath(name + QStringLiteral(".txt"));
    }
    return *slot;
}

void TextDatabase::Refresh(Table& t)
{
    int err = 0;
    const qint64 lookedAt = NowNs();
    const Stamp now = StampOf(t.path, &err);
    if (!now.exists) {
        t.stamp = Stamp();
        if (err == ENOENT)
            throw Failure(Err::FileNotFound, QStringLiteral("Table file not found: %1").arg(t.path));
        throw FailureFromErrno(err, t.path);
    }
    if (now == t.stamp && !Racy(now, t.lookedAt))
        return;

    QFile f(t.path);
    if (!f.open(QIODevice::ReadOnly))
        throw Failure(Err::PermissionDenied, QStringLiteral("Cannot read table file %1: %2").arg(t.path, f.errorString()));
    const QByteArray bytes = f.readAll();
    if (now == t.stamp && bytes == t.bytes) {
        t.lookedAt = lookedAt;
        return;
    }
    Csv::Document doc = Csv::Parse(bytes);
    const QString file = t.name + QStringLiteral(".txt");
    if (doc.records.isEmpty() || !doc.records[0].ok)
        throw Failure(Err::Database, QStringLiteral("%1 has no header row with the column names").arg(file));

    QStringList columns;
    for (const QString& c : doc.records[0].fields)
        columns << c.trimmed();

    const QString rowidName = RowidName(columns);
    if (rowidName.isEmpty())
        throw Failure(Err::Database, QStringLiteral("%1 has columns named rowid, _rowid_ and oid; one of those names must stay free").arg(file));
    Load(t, doc, columns, rowidName);
    t.doc = std::move(doc);
    t.stamp = now;
    t.lookedAt = lookedAt;
    t.bytes = bytes;
}

void TextDatabase::Load(Table& t, const Csv::Document& doc, const QStringList& columns, const QString& rowidName)
{
    if (!t.attached) {
        Exec(QStringLiteral("ATTACH DATABASE ':memory:' AS %1").arg(Quoted(t.name)).toUtf8().constData());
        t.attached = true;
    }
    Exec("SAVEPOINT load");
    try {
        if (columns != t.columns) {
            Exec(QStringLiteral("DROP TABLE IF EXISTS %1.txt").arg(Quoted(t.name)).toUtf8().constData());
            QStringList defs;
            for (const QString& c : columns)
                defs << Quoted(c) + QStringLiteral(" TEXT COLLATE ") + Collation(c);
            Exec(QStringLiteral("CREATE TABLE %1.txt (%2)").arg(Quoted(t.name), defs.join(QLatin1String(", "))).toUtf8().constData());
            t.columns = columns;
        } else {
            Exec(QStringLiteral("DELETE FROM %1.txt").arg(Quoted(t.name)).toUtf8().constData());
        }
        Insert(t, doc, columns, rowidName);
        Exec("RELEASE load");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK TO load; RELEASE load", nullptr, nullptr, nullptr);
        t.stamp = Stamp();
        t.columns.clear();   // the table made above is rolled back too: make it afresh next time
        throw;
    }
}

void TextDatabase::Insert(Table& t, const Csv::Document& doc, const QStringList& columns, const QString& rowidName)
{
    QStringList marks;
    for (qsizetype i = 0; i < columns.size(); ++i) marks << QStringLiteral("?");
    const QByteArray insert = QStringLiteral("INSERT INTO %1.txt (%4, %2) VALUES (?, %3)")
        .arg(Quoted(t.name), [&] { QStringList q; for (auto& c : columns) q << Quoted(c); return q.join(QLatin1Char(',')); }(),
             marks.join(QLatin1Char(',')), rowidName).toUtf8();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, insert.constData(), -1, &st, nullptr) != SQLITE_OK)
        throw Failure(Err::Database, QString::fromUtf8(sqlite3_errmsg(db_)));
    const QString file = t.name + QStringLiteral(".txt");
    t.rowidOf.clear();
    t.rowidOf << 0;  // header
    qint64 rowid = 0;
    for (qsizetype r = 1; r < doc.records.size(); ++r) {
        const Csv::Record& rec = doc.records[r];
        if (!rec.ok || rec.fields.size() != columns.size()) {
            if (!rec.raw.isEmpty() && Warning) {
                const QString why = rec.ok ? QStringLiteral("%1 fields where the header has %2").arg(rec.fields.size()).arg(columns.size())
                                           : rec.problem;
                Warning(QStringLiteral("%1 line %2: %3; the line is kept but not used").arg(file).arg(rec.line).arg(why));
            }
            t.rowidOf << 0;
            continue;
        }
        ++rowid;
        sqlite3_reset(st);
        sqlite3_bind_int64(st, 1, rowid);
        for (int c = 0; c < rec.fields.size(); ++c) {
            const QByteArray v = rec.fields[c].toUtf8();
            sqlite3_bind_text(st, c + 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
        }
        if (sqlite3_step(st) != SQLITE_DONE) {
            const QString msg = QString::fromUtf8(sqlite3_errmsg(db_));
            sqlite3_finalize(st);
            throw Failure(Err::Database, msg);
        }
        t.rowidOf << rowid;
    }
    sqlite3_finalize(st);
}

QHash<qint64, QStringList> TextDatabase::RowsById(const Table& t, QList<qint64>& added)
{
    QHash<qint64, QStringList> rows;
    const QByteArray select = QStringLiteral("SELECT %2, * FROM %1.txt ORDER BY %2").arg(Quoted(t.name), RowidName(t.columns)).toUtf8();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, select.constData(), -1, &st, nullptr) != SQLITE_OK)
        throw Failure(Err::Database, QString::fromUtf8(sqlite3_errmsg(db_)));
    // A rowid freed by a delete may be given again: new is what the file does not hold.
    const QSet<qint64> known(t.rowidOf.begin(), t.rowidOf.end());
    while (sqlite3_step(st) == SQLITE_ROW) {
        const qint64 id = sqlite3_column_int64(st, 0);
        QStringList fields;
        for (int c = 1; c < sqlite3_column_count(st); ++c)
            fields << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, c)), sqlite3_column_bytes(st, c));
        rows.insert(id, fields);
        if (!known.contains(id)) added << id;
    }
    sqlite3_finalize(st);
    return rows;
}

namespace {
// A line with an unbalanced quote reads on into the lines after it; rows written in a new
// form could then be taken into it and vanish. Whether `out` reads back as the rows meant.
bool ReadsBack(const QByteArray& out, const QList<Csv::Record>& records, const QList<qint64>& rowidOf, qsizetype columns)
{
    QList<QStringList> expected, found;
    for (qsizetype r = 0; r < records.size(); ++r)
        if (rowidOf[r]) expected << records[r].fields;
    const Csv::Document check = Csv::Parse(out);
    for (qsizetype r = 1; r < check.records.size(); ++r)
        if (check.records[r].ok && check.records[r].fields.size() == columns)
            found << check.records[r].fields;
    return found == expected;
}
}

void TextDatabase::Save(Table& t)
{
    // Every row by rowid, so rows keep their place and lines we could not read stay as they were.
    QList<qint64> added;
    const QHash<qint64, QStringList> rows = RowsById(t, added);
    const QByteArray& nl = t.doc.newline;
    QByteArray out;
    if (t.doc.bom) out += "\xEF\xBB\xBF";
    QList<Csv::Record> records = t.doc.records;
    QList<qint64> rowidOf = t.rowidOf;
    for (qsizetype r = 0; r < records.size(); ++r) {
        const qint64 id = rowidOf[r];
        if (id && !rows.contains(id)) {   // deleted
            records.removeAt(r);
            rowidOf.removeAt(r--);
            continue;
        }
        // A row SQL left alone keeps its bytes as written.
        if (id && rows.contains(id) && rows.value(id) != records[r].fields) {
            records[r].fields = rows.value(id);
            records[r].raw = Csv::Format(records[r].fields);
        }
        // The header or a row of one empty field, read from a lone CR at the end, must not
        // become a blank line.
        if ((r == 0 || id) && records[r].ok && records[r].raw.isEmpty())
            records[r].raw = Csv::Format(records[r].fields);
        // Each line keeps its own line end, so a line that is not a row reads as before; the
        // last line gets a whole one (a lone CR there was read as one too).
        const QByteArray& end = records[r].end;
        out += records[r].raw + (end.endsWith('\n') ? end : end == "\r" ? QByteArray("\r\n") : nl);
    }
    for (qint64 id : added) {
        Csv::Record rec;
        rec.fields = rows.value(id);
        rec.raw = Csv::Format(rec.fields);
        out += rec.raw + nl;
        records << rec;
        rowidOf << id;
    }

    // A file whose rows would not read back is left for a hand fix.
    if (!ReadsBack(out, records, rowidOf, t.columns.size())) {
        t.stamp = Stamp();
        throw Failure(Err::Database, QStringLiteral("%1 not written: its rows would not read back the same (a line with an "
                                                    "unbalanced quote takes in the lines after it); correct it by hand").arg(t.name + QStringLiteral(".txt")));
    }

    // The account table holds passwords: its owner's alone, whatever the umask.
    const bool secret = t.name.compare(QLatin1String("Users"), Qt::CaseInsensitive) == 0;
    try {
        DurableFile::Replace(t.path, out, true, secret);
    } catch (const Failure& f) {
        t.stamp = Stamp();  // the copy in memory no longer matches the file: reload next time
        throw Failure(Err::TableWrite, QStringLiteral("Cannot write table file %1: %2").arg(t.path, QString::fromUtf8(f.text())));
    }
    t.doc.records = records;
    t.rowidOf = rowidOf;
    int err = 0;
    t.lookedAt = NowNs();
    t.stamp = StampOf(t.path, &err);
    t.bytes = out;
}

sqlite3_stmt* TextDatabase::Prepare(const QString& sql)
{
    if (sqlite3_stmt* st = statements_.value(sql)) {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return st;
    }
    sqlite3_stmt* st = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(db_, text.constData(), int(text.size()), &st, nullptr) != SQLITE_OK)
        throw Failure(Err::Database, QString::fromUtf8(sqlite3_errmsg(db_)));
    statements_.insert(sql, st);
    return st;
}

TextDatabase::Result TextDatabase::Execute(const QString& sql, const QStringList& params)
{
    QList<Table*> used;
    for (const QString& name : TablesOf(sql)) {
        Table& t = TableFor(name);
        Refresh(t);
        used << &t;
    }
    sqlite3_stmt* st = Prepare(sql);
    if (sqlite3_bind_parameter_count(st) != params.size())
        throw Failure(Err::Database, QStringLiteral("statement takes %1 values, %2 given").arg(sqlite3_bind_parameter_count(st)).arg(params.size()));
    for (int i = 0; i < params.size(); ++i) {
        const QByteArray v = params[i].toUtf8();
        sqlite3_bind_text(st, i + 1, v.constData(), int(v.size()), SQLITE_TRANSIENT);
    }
    Result r;
    for (int c = 0; c < sqlite3_column_count(st); ++c)
        r.columns << QString::fromUtf8(sqlite3_column_name(st, c));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        QStringList row;
        for (int c = 0; c < sqlite3_column_count(st); ++c)
            row << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, c)), sqlite3_column_bytes(st, c));
        r.rows << row;
    }
    const bool readOnly = sqlite3_stmt_readonly(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        throw Failure(Err::Database, QString::fromUtf8(sqlite3_errmsg(db_)));
    if (!readOnly) {
        r.changes = sqlite3_changes(db_);
        if (r.changes > 0)
            for (Table* t : used)
                Save(*t);
    }
    return r;
}
