#pragma once
// Turns an IMAP connection's received bytes into whole commands: the line, the literals it
// announces ({n} after a continuation, {n+} without one, ~{n} for binary) and the rest of
// the line after each. The bytes of an unfinished command stay here, counted as held.
#include "imap/ImapArgs.h"

#include <QByteArray>
#include <utility>

namespace Imap {

// The largest literal taken: a message as large as SMTP takes one.
inline constexpr qint64 MaxLiteral = qint64(256) << 20;
// Lists inside lists deeper than this are refused: no client needs them, and a peer must not
// make the parser recurse at will.
inline constexpr int MaxDepth = 32;
// The text of one command beside its literals.
inline constexpr qsizetype MaxCommandText = qsizetype(64) << 10;

// One command line as sent, literals in place: the command, or nullopt with `error` (the text
// of a BAD) and `tag` (what could be read of it, "" when none).
std::optional<Command> ParseCommand(QByteArrayView line, QByteArray* tag, QByteArray* error);

// A mailbox name as the client sent it, as names are stored (UTF-8). A client that has not
// enabled UTF-8 writes other characters in modified UTF-7 ("&AOQ-" for "ä"); 8-bit text from it
// is taken as UTF-8 all the same. Names are kept in NFC, so "ä" as one character or as "a" and
// a combining diaeresis is one folder. nullopt when the name is malformed.
std::optional<QString> MailboxName(const QByteArray& sent, bool utf8);
// A stored name as that client reads it.
QByteArray MailboxText(const QString& name, bool utf8);

class CommandReader {
public:
    enum class Outcome {
        Command,    // `command` is whole
        More,       // the rest has yet to come
        Continue,   // a literal waits for "+ Ready for literal"; then More
        Bad,        // `error` for `tag` ("" for none): the command was dropped, go on
        TooBig,     // a literal the client waits to send was refused for `tag`: NO [TOOBIG]
        Close,      // the client sends what cannot be taken: BAD `error` and close
    };
    // Takes received bytes after those taken before.
    void Add(const QByteArray& bytes) { buffer_ += bytes; }
    // The next command from the bytes taken; literals longer than `limit` are refused.
    Outcome Next(qint64 limit, Command* command, QByteArray* tag, QByteArray* error);
    // One line as sent, its end dropped (IDLE's DONE, an AUTHENTICATE response); nullopt
    // until it has come whole.
    std::optional<QByteArray> NextLine();
    // The start of the command not yet whole.
    QByteArrayView Pending() const { return buffer_; }
    // Whether a literal's bytes are being read (they need not end a line).
    bool InLiteral() const { return literalEnd_ > 0; }
    // The bytes not yet made a command, handed back; what has been continued stays known.
    QByteArray TakeRest() { return std::exchange(buffer_, {}); }
    qint64 Held() const { return buffer_.capacity(); }

private:
    QByteArray buffer_;
    qsizetype scanned_ = 0;      // the command's text up to here is whole
    qsizetype literalEnd_ = 0;   // the literal being read ends here
    qsizetype continued_ = 0;    // a continuation was sent for the literal announced before here
    qsizetype text_ = 0;         // the command's text so far beside its literals
};

}
