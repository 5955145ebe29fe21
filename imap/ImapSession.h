#pragma once
// The IMAP part of a session: the command reader, who logged in, what the client enabled, and
// the selected folder as this session last showed it (sequence numbers, flags, mod-sequences),
// so that changes made by others reach the client at the moments it may hear of them.
#include "core/Connecter.h"
#include "imap/ImapParser.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <memory>
#include <vector>

class MailboxIndex;

// An IMAP connection's steps; then every protocol's Closing.
enum class ImapStep : int {
    Commands = 5,       // reading commands
    Literal = 7,        // reading the bytes of a literal
    Idle = 8,           // IDLE: waiting for DONE
    Authenticate = 9,   // AUTHENTICATE: waiting for the client's response
};

// Seconds a client may stay silent: at least the thirty minutes IMAP promises.
inline constexpr int ImapIdleSeconds = 1800;
// A client that has not logged in gets less.
inline constexpr int ImapLoginSeconds = 60;

class ImapSession : public Connecter::Protocol {
public:
    enum class State { NotAuthenticated, Authenticated, Selected, Logout };

    Imap::CommandReader Reader;
    State state = State::NotAuthenticated;
    QString User;          // who logged in
    QString Home;          // the account's mailbox folder, INBOX
    QByteArray Waiting;    // the tag of an IDLE or AUTHENTICATE under way
    bool CondStore = false, QResync = false, Utf8 = false, Rev2 = false;   // ENABLEd or implied
    // Folder names go both ways in UTF-8 once the client said it reads them so.
    bool Utf8Names() const { return Utf8 || Rev2; }

    // The selected folder as this session last showed it.
    struct Shown {
        QList<QByteArray> flags;
        quint64 modseq = 0;
    };
    // Shown by UID: one array in rising UID order rather than a tree node a message, as a
    // thousand sessions idle on one folder and messages come in rising order.
    class ShownByUid {
    public:
        Shown& operator[](quint32 uid)
        {
            auto at = Find(uid);
            if (at == items_.end() || at->first != uid)
                at = items_.insert(at, {uid, Shown{}});
            return at->second;
        }
        void erase(quint32 uid)
        {
            if (const auto at = Find(uid); at != items_.end() && at->first == uid)
                items_.erase(at);
        }
        void clear() { items_ = {}; }
        size_t size() const { return items_.size(); }

    private:
        using Item = std::pair<quint32, Shown>;
        std::vector<Item>::iterator Find(quint32 uid)
        {
            if (items_.empty() || items_.back().first < uid)
                return items_.end();   // the usual case: a new message
            return std::lower_bound(items_.begin(), items_.end(), uid, [](const Item& i, quint32 u) { return i.first < u; });
        }
        std::vector<Item> items_;
    };
    std::shared_ptr<MailboxIndex> Box;
    QString BoxName;
    bool ReadOnly = false;
    std::vector<quint32> Uids;            // sequence number n is Uids[n - 1]
    ShownByUid ShownFlags;
    std::shared_ptr<void> Watching;       // the index's watch, given back with it
    bool Changed = false;                 // the index told of a change since the last look
    bool ReportDue = false;               // in IDLE: a report waits for the end of the turn that changed the folder
    quint64 Looked = 0;                   // the index's highest mod-sequence when new messages and flags were last told
    quint64 ExpungesLooked = 0;           // the same for expunges, which some commands hold back
    std::vector<quint32> SavedUids;       // what SEARCH RETURN (SAVE) kept for "$", low to high

    // Leaves the selected folder, if any.
    void Deselect();

    int IdleSeconds(int step, const Settings& settings) const override;
    void TimedOut(Server& server, qint16 index, qint64 silentSeconds) override;
    qint64 Held() const override { return Reader.Held(); }
    bool TakesPartialLines(int step) const override { return step == int(ImapStep::Literal); }
    QByteArray Masked(const QByteArray& buffer, int step) const override;
};
