#pragma once
// Files that appear whole or not at all: written under a hidden temporary name, flushed,
// then given their final name. The mailboxes, the relay queue and the text tables all
// write this way.
#include <QByteArray>
#include <QString>
#include <initializer_list>

namespace DurableFile {

// A new file in `folder` under a hidden name that ends in ".tmp" (so no reader takes it for
// anything else), holding `parts` one after the other, mode 0600, on disk when this returns.
// Returns its path. Throws Failure, leaving nothing behind.
QByteArray WriteTemporary(const QString& folder, std::initializer_list<QByteArrayView> parts);

// Gives a file written by WriteTemporary the name `target` without ever replacing a file
// of that name. Returns 0, or the errno (EEXIST when the name is taken: try another).
int LinkNew(const QByteArray& temporary, const QByteArray& target);

// Replaces the file `path` with `content` in one step: a reader sees the old file or the new
// one. `durable`: the content and the name are on disk before this returns. The file keeps
// its permissions; a new one, or any with `ownerOnly`, is its owner's alone. Throws Failure.
void Replace(const QString& path, const QByteArray& content, bool durable, bool ownerOnly = false);

// Flushes a folder, so that names just linked or renamed into it are on disk. Returns 0 or
// the errno.
int FlushFolder(const QString& folder);

}
