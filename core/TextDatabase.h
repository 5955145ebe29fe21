#pragma once
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>

namespace Csv {
struct Document;
}
struct sqlite3;
struct sqlite3_stmt;

// SQL over the comma-separated tables of the program folder. A file X.txt is the
// table "X.txt" in SQL. SQLite runs the statements on an in-memory copy that is
// reloaded whenever the file changes on disk, so a hand edit is seen by the next
// statement; a statement that changes rows writes the file back atomically.
class TextDatabase {
public:
    struct Result {
        QStringList columns;
        QList<QStringList> rows;
        int changes = 0;
    };

    explicit TextDatabase(const QString& folder);
    ~TextDatabase();
    TextDatabase(const TextDatabase&) = delete;
    TextDatabase& operator=(const TextDatabase&) = delete;

    // Runs one statement with every `?` bound to a value. Throws Failure.
    Result Execute(const QString& sql, const QStringList& params = {});

    QString Folder() const { return folder_; }

    // Told about lines of a table file that cannot be used (once per change of the file).
    std::function<void(const QString&)> Warning;

private:
    struct Table;
    Table& TableFor(const QString& name);
    // The table's copy as its file is now, read again only when the file changed. Throws Failure.
    void Refresh(Table& t);
    // The copy made afresh from the file's rows, all or nothing.
    void Load(Table& t, const Csv::Document& doc, const QStringList& columns, const QString& rowidName);
    void Insert(Table& t, const Csv::Document& doc, const QStringList& columns, const QString& rowidName);
    void Save(Table& t);
    // Every row of the table's copy by rowid; `added` gets those new since the file was read.
    QHash<qint64, QStringList> RowsById(const Table& t, QList<qint64>& added);
    void Exec(const char* sql);
    QStringList TablesOf(const QString& sql);
    sqlite3_stmt* Prepare(const QString& sql);

    QString folder_;
    sqlite3* db_ = nullptr;
    std::map<QString, std::unique_ptr<Table>> tables_;
    QHash<QString, QStringList> tablesOf_;
    QHash<QString, sqlite3_stmt*> statements_;
};
