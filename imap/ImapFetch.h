#pragma once
// FETCH and SEARCH over one message at a time: the items and keys a client asks for, parsed
// once per command, and the response each message gives.
#include "imap/ImapArgs.h"
#include "store/MailboxIndex.h"

#include <QByteArray>
#include <functional>
#include <memory>

class Server;

namespace Imap {

// The responses of one command that answers many messages, sent in stretches of about
// StretchBytes as they are made: the client starts on them while the rest is made, and each
// stretch is one reply and one log line (the log keeps its head and length), not one a message.
class Stretches {
public:
    Stretches(Server& server, qint16 index) : server_(server), index_(index) {}
    ~Stretches() { Send(); }
    void Add(const QByteArray& response);   // with its CR LF
    void Send();                            // what is gathered, now
    static constexpr qsizetype StretchBytes = qsizetype(64) << 10;

private:
    Server& server_;
    qint16 index_;
    QByteArray text_;
};

// One message as FETCH and SEARCH see it.
struct MessageRef {
    quint32 seq = 0;
    const IndexEntry* entry = nullptr;
    std::function<QByteArray()> text;   // the message as its sender wrote it, read when asked
    std::function<QByteArray()> header = {};   // its header alone, perhaps without reading the file; may be empty
    std::function<QByteArray()> envelope = {};   // its ENVELOPE list, perhaps made before; may be empty
};

class FetchItems {
public:
    // The items argument (one item, a macro ALL/FAST/FULL, or a list), with the optional
    // modifiers list after it (CHANGEDSINCE n, VANISHED). nullopt and `error` (a BAD text)
    // when malformed.
    static std::optional<FetchItems> Parse(const std::vector<Arg>& args, size_t from, QByteArray* error);
    bool NeedsText() const;     // any item needs the message text
    bool SetsSeen() const;      // BODY[...] or RFC822(.TEXT) without PEEK
    bool WantsModSeq() const;   // MODSEQ asked for, or CHANGEDSINCE given
    quint64 ChangedSince() const;   // 0 when not given
    bool Vanished() const;          // VANISHED given (QRESYNC): expunged UIDs go as VANISHED (EARLIER)
    // "* <seq> FETCH (...)\r\n". UID comes first under UID FETCH; FLAGS is added when
    // `flagsChanged` and not asked for. Returns an empty array and `error` (a NO text, such as
    // "[UNKNOWN-CTE] ...") when an item cannot be answered for this message.
    QByteArray Response(const MessageRef& m, bool uidCommand, bool flagsChanged, QByteArray* error) const;
    ~FetchItems();
    FetchItems(FetchItems&&) noexcept;
    FetchItems& operator=(FetchItems&&) noexcept;

private:
    FetchItems();
    struct Items;
    std::unique_ptr<Items> d_;
};

class SearchQuery {
public:
    // The SEARCH arguments from `from`: optional RETURN (...) options (ESEARCH), optional
    // CHARSET (US-ASCII and UTF-8), then the keys; "$" is `saved`. nullopt and `error` (a BAD
    // or NO text, "[BADCHARSET]") when malformed.
    static std::optional<SearchQuery> Parse(const std::vector<Arg>& args, size_t from, QByteArray* error, const SavedSets* saved = nullptr);
    bool NeedsText() const;
    // Whether the message matches; "*" in sets stands for the largest number or UID.
    bool Matches(const MessageRef& m, quint32 largestSeq, quint32 largestUid) const;
    // The untagged response for the matching numbers (UIDs under UID SEARCH): "* SEARCH ..."
    // or, when RETURN was given or `esearch` (IMAP4rev2, ALL then), "* ESEARCH (TAG "t") [UID]
    // MIN .. MAX .. COUNT .. ALL ..";
    // "(MODSEQ n)" when a MODSEQ key was used, n the highest of the matches.
    QByteArray Response(const QByteArray& tag, const std::vector<quint32>& matches, bool uidCommand,
                        quint64 highestModSeq, bool esearch = false) const;
    ~SearchQuery();
    SearchQuery(SearchQuery&&) noexcept;
    SearchQuery& operator=(SearchQuery&&) noexcept;

private:
    SearchQuery();
    struct Keys;
    std::unique_ptr<Keys> d_;
};

}
