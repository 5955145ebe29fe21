#include "core/Csv.h"

namespace Csv {
namespace {

// Reads one record starting at `p`. Returns the position after its line end.
qsizetype ReadRecord(const QByteArray& d, qsizetype p, Record& rec)
{
    const qsizetype n = d.size();
    const qsizetype start = p;
    QByteArray field;
    QList<QByteArray> fields;
    for (;;) {
        field.clear();
        if (p < n && d[p] == '"') {
            ++p;
            bool closed = false;
            while (p < n) {
                if (d[p] == '"') {
                    if (p + 1 < n && d[p + 1] == '"') { field += '"'; p += 2; continue; }
                    ++p;
                    closed = true;
                    break;
                }
                field += d[p++];
            }
            if (!closed) { rec.ok = false; rec.problem = QStringLiteral("a quoted field is never closed"); break; }
            // A lone CR is no line end (unquoted fields keep it too): only CR LF, LF or CR at the end.
            if (p < n && d[p] != ',' && d[p] != '\n' && !(d[p] == '\r' && (p + 1 == n || d[p + 1] == '\n'))) {
                rec.ok = false; rec.problem = QStringLiteral("text after a closing quote"); break;
            }
        } else {
            while (p < n && d[p] != ',' && d[p] != '\n')
                field += d[p++];
            if (field.endsWith('\r') && (p >= n || d[p] == '\n'))
                field.chop(1);
        }
        fields << field;
        if (p < n && d[p] == ',') { ++p; continue; }
        if (p < n && d[p] == '\r') ++p;
        if (p < n && d[p] == '\n') ++p;
        break;
    }
    if (!rec.ok) {
        // Resynchronise at the end of the physical line where the record began,
        // so one bad line costs only itself.
        qsizetype eol = d.indexOf('\n', start);
        qsizetype end = eol < 0 ? n : eol;
        rec.raw = d.mid(start, end - start);
        if (rec.raw.endsWith('\r')) rec.raw.chop(1);
        const qsizetype next = eol < 0 ? n : eol + 1;
        rec.end = d.mid(start + rec.raw.size(), next - start - rec.raw.size());
        return next;
    }
    qsizetype end = p;
    if (end > start && d[end - 1] == '\n') --end;
    if (end > start && d[end - 1] == '\r') --end;
    rec.raw = d.mid(start, end - start);
    rec.end = d.mid(end, p - end);
    for (const QByteArray& f : fields)
        rec.fields << QString::fromUtf8(f);
    return p;
}

}

Document Parse(const QByteArray& input)
{
    Document doc;
    QByteArray d = input;
    if (d.startsWith("\xEF\xBB\xBF")) { doc.bom = true; d.remove(0, 3); }
    const qsizetype firstLf = d.indexOf('\n');
    if (firstLf > 0 && d[firstLf - 1] == '\r') doc.newline = "\r\n";
    qsizetype p = 0;
    int line = 1;
    while (p < d.size()) {
        Record rec;
        rec.line = line;
        if (d[p] == '\n' || (d[p] == '\r' && p + 1 < d.size() && d[p + 1] == '\n')) {
            rec.ok = false;  // blank line: kept, never read as a row
            rec.end = d[p] == '\n' ? QByteArray("\n") : QByteArray("\r\n");
            p += rec.end.size();
        } else {
            p = ReadRecord(d, p, rec);
        }
        line += 1 + int(rec.raw.count('\n'));
        doc.records << rec;
    }
    return doc;
}

QByteArray Format(const QStringList& fields)
{
    // One empty field written bare would be a blank line, which is never read as a row.
    if (fields.size() == 1 && fields[0].isEmpty())
        return "\"\"";
    QByteArray out;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i) out += ',';
        QByteArray f = fields[i].toUtf8();
        if (f.contains(',') || f.contains('"') || f.contains('\n') || f.contains('\r')) {
            f.replace("\"", "\"\"");
            out += '"' + f + '"';
        } else {
            out += f;
        }
    }
    return out;
}

}
