#pragma once
// One IMAP command being answered, as the command table hands it to the code that answers it.
#include "core/Server.h"
#include "imap/ImapSession.h"

#include <optional>

namespace Imap {

struct Turn {
    Server& server;
    qint16 index;
    Connecter& c;
    ImapSession& s;
    const Command& command;

    void Untagged(const QByteArray& text) { server.SendReply(index, "* " + text); }
    void Ok(const QByteArray& text) { server.SendReply(index, command.tag + " OK " + text); }
    void No(const QByteArray& text) { server.SendReply(index, command.tag + " NO " + text); }
    void Bad(const QByteArray& text) { server.SendReply(index, command.tag + " BAD " + text); }
    // The argument at `i` as an astring (atom, quoted or literal); nullopt when it is none.
    std::optional<QByteArray> Text(size_t i) const
    {
        if (i >= command.args.size() || command.args[i].kind == Arg::List)
            return std::nullopt;
        return command.args[i].text;
    }
    // The argument at `i` as a mailbox name as stored; nullopt when it is none or malformed.
    std::optional<QString> Mailbox(size_t i) const
    {
        const auto text = Text(i);
        return text ? MailboxName(*text, s.Utf8Names()) : std::nullopt;
    }
    // A stored mailbox name as this client reads it.
    QByteArray Named(const QString& name) const { return MailboxText(name, s.Utf8Names()); }
};

// The folder on disk of a name that can be selected (not a \\Noselect parent), "" for none.
QString SelectablePath(const QString& home, const QString& name);

// Keeps a selected folder's index loaded a while after its sessions end: a client that logs in
// again soon (phones check every few minutes) finds it in memory, not read and listed again
// (10,000 messages: about 15 ms). The last few folders, for two minutes at most.
void KeepLoaded(const std::shared_ptr<MailboxIndex>& box);

// "LIST (attributes) "/" name" of a folder, as SELECT tells an IMAP4rev2 client that named it
// `sent`; a name sent in another Unicode form than the one kept is told as its OLDNAME.
QByteArray ListOf(const Turn& t, const QString& name, const QByteArray& sent);

// The capabilities as the client may use them now.
QByteArray Capabilities(Server& server, qint16 index, const ImapSession& s);

// The answers of the command table beyond logging in.
void Select(Turn& t);        // SELECT, EXAMINE
void Close(Turn& t);         // CLOSE, UNSELECT
void Expunge(Turn& t);       // EXPUNGE, UID EXPUNGE
void Fetch(Turn& t);         // FETCH, UID FETCH
void Store(Turn& t);         // STORE, UID STORE
void Search(Turn& t);        // SEARCH, UID SEARCH
void CopyMove(Turn& t);      // COPY, MOVE and their UID forms
void List(Turn& t);          // LIST, LSUB
void Status(Turn& t);
void Append(Turn& t);
void ChangeFolder(Turn& t);  // CREATE, DELETE, RENAME, SUBSCRIBE, UNSUBSCRIBE
// Makes the special folders a new account lacks.
void LoggedIn(ImapSession& s);
// Tells the client what changed in the selected folder since it last heard: new messages,
// flags, and (when `expunges`) the messages gone.
void Report(Server& server, qint16 index, ImapSession& s, bool expunges);

}
