#pragma once
// Files that appear whole or not at all: written under a hidden temporary name, flushed,
// then given their final name. The mailboxes, the relay queue and the text tables all
// write this way.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>
#include <initializer_list>

namespace DurableFile {

// A new file in `folder` under a hidden name that ends in ".tmp" (so no reader takes it for
// anything else), holding `parts` one after the other, mode 0600, on disk when this returns
// (with `flush`; without, on its way there: FlushFiles waits for it). Returns its path.
// Throws Failure, leaving nothing behind.
QByteArray WriteTemporary(const QString& folder, std::initializer_list<QByteArrayView> parts, bool flush = true);

// Waits until the files are on disk, whose writing began together. Returns 0 or the first errno.
int FlushFiles(const std::vector<QByteArray>& paths);

// Gives a file written by WriteTemporary the name `target` without ever replacing a file
// of that name. Returns 0, or the errno (EEXIST when the name is taken: try another).
int LinkNew(const QByteArray& temporary, const QByteArray& target);

// Replaces the file `path` with `content` in one step: a reader sees the old file or the new
// one. `durable`: the content and the name are on disk before this returns. The file keeps
// its permissions; a new one, or any with `ownerOnly`, is its owner's alone. Throws Failure.
void Replace(const QString& path, const QByteArray& content, bool durable, bool ownerOnly = false);

// Flushes a folder, so that names just linked or renamed into it are on disk. Returns 0 or
// the errno. Flushes asked for at the same moment on other threads are done together: each
// folder once for all (group commit), never before the names given to it before the call.
int FlushFolder(const QString& folder);
int FlushFolders(const QStringList& folders);

}
