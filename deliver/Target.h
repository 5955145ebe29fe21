#pragma once
// Where a delivery's copies are written: the mailboxes, the relay queue. A delivery writes
// every copy or none: once every target has written, each is committed; when one fails,
// every target that wrote is aborted, and the sender tries again.
#include <QByteArray>
#include <QString>
#include <any>
#include <vector>

class Target {
public:
    virtual ~Target() = default;
    // One recipient's copy.
    struct Copy {
        QByteArray to;     // the recipient, as given
        QString folder;    // its mailbox; "" for a foreign recipient
        QByteArray head;   // what goes on top of the text: the trace lines of this copy
    };
    // What one Write left on disk, for Commit or Abort to take up; the target's own.
    using Written = std::any;
    // Writes every copy of `text`; any thread, never the server. Throws Failure with `failed`
    // the copy it concerns, leaving nothing behind.
    virtual Written Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text, size_t& failed) = 0;
    // Every target wrote: what was written may begin its way (event thread).
    virtual void Commit(Written& written) = 0;
    // Another target failed: what was written goes again (any thread).
    virtual void Abort(Written& written) = 0;
};
