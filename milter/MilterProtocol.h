#pragma once
// The MTA side of the milter protocol (version 6, as libmilter and Postfix speak it), as
// data in and data out: packets, the conversation with one filter about one message, and
// the changes it asks for applied to the message. No sockets here (see MilterClient).
#include "core/Budget.h"

#include <QByteArray>
#include <QList>
#include <optional>
#include <vector>

namespace Milter {

inline constexpr quint32 Version = 6;
// Actions a filter may ask for (SMFIF_*); we allow them all.
enum Action : quint32 {
    AddHeaders = 0x01, ChangeBody = 0x02, AddRcpt = 0x04, DeleteRcpt = 0x08, ChangeHeaders = 0x10,
    Quarantine = 0x20, ChangeFrom = 0x40, AddRcptArgs = 0x80, SetSymbolList = 0x100,
};
inline constexpr quint32 AllActions = 0x1FF;
// Protocol flags (SMFIP_*): steps the filter wants left out, replies it will not send.
enum Flag : quint32 {
    NoConnect = 0x01, NoHelo = 0x02, NoMail = 0x04, NoRcpt = 0x08, NoBody = 0x10, NoHeaders = 0x20,
    NoEoh = 0x40, NoHeaderReply = 0x80, NoUnknown = 0x100, NoData = 0x200, Skip = 0x400, RcptRejected = 0x800,
    NrConnect = 0x1000, NrHelo = 0x2000, NrMail = 0x4000, NrRcpt = 0x8000, NrData = 0x10000, NrUnknown = 0x20000,
    NrEoh = 0x40000, NrBody = 0x80000, HeaderLeadingSpace = 0x100000,
};
inline constexpr quint32 OfferedFlags = 0x1FFFFF;
inline constexpr qsizetype BodyChunk = 65535;          // libmilter's MILTER_CHUNK_SIZE
inline constexpr qsizetype MaxPacket = qsizetype(1) << 20;   // what a filter may send in one packet
inline constexpr qsizetype MaxChanges = qsizetype(300) << 20; // all its changes to one message together

struct Packet {
    char command = 0;
    QByteArray data;
};

// One packet on the wire: length (command and data, big-endian), command, data.
QByteArray Encode(char command, const QByteArray& data = {});

// Takes the first whole packet off the front of `buffer`.
enum class Take { Packet, More, Bad };
Take Decode(QByteArray& buffer, Packet& out);

// What a filter is shown of a message, and what it may change.
struct Message {
    QByteArray sender;
    QList<QByteArray> recipients;
    QByteArray text;          // as stored: CR LF lines, leading dots doubled
    QByteArray helo;
    QByteArray client;        // as trace headers write it (127.0.0.1, IPv6:::1); "" unknown
    QByteArray hostName;      // macro j
    QByteArray user;          // AUTH user, macro {auth_authen}
    QByteArray queueId;       // macro i
};

// A header of the text as stored: its name (without the stuffed dot) and its whole lines as
// stored, folds and CR LF included.
struct Header {
    QByteArray name;
    QByteArray raw;
    QByteArray Value(bool leadingSpace) const;   // unfolded lines joined by LF, as filters get it
};
struct Split {
    std::vector<Header> headers;
    QByteArray rest;   // the blank line and the body, as stored
};
// The fields before the first line that is no field; the rest from there.
Split SplitText(const QByteArray& text);

// A change a filter asked for at the end of the message, in the order it came.
struct Change {
    char command;             // h i m + 2 - e b q
    quint32 index = 0;        // i, m
    QByteArray name, value;   // header; address (+ 2 - e); reason (q); chunk (b)
};

// How one filter's conversation about one message ended.
struct Result {
    enum Kind { Continue, Accept, Reject, Tempfail, Discard, Failed } kind = Continue;
    QByteArray reply;        // Reject, Tempfail: the SMTP reply
    QByteArray why;          // Failed: what went wrong; Tempfail: why we gave up, when it was our doing
    struct Refused { QByteArray address, reply; };
    std::vector<Refused> refused;   // recipients it refused at RCPT
    std::vector<Change> changes;    // Continue, Accept at the end of the message
    bool leadingSpace = false;      // header values in `changes` keep their leading space
};

// The conversation with one filter: Begin gives the first bytes to send, Feed each packet the
// filter sends and gives back what to send then; Done once it is over (the quit is in the
// last bytes given). The changes it collects are held in the memory budget (setting
// MemoryBudget); one that would take the process past it ends the conversation.
class Conversation {
public:
    explicit Conversation(Message m, qint64 memoryBudget = 0);
    QByteArray Begin();
    QByteArray Feed(const Packet& p);
    bool Done() const { return done_; }
    const Result& Outcome() const { return result_; }
    // The filter gave up, went silent or could not be reached.
    void Fail(const QByteArray& why);

private:
    enum class Stage { Negotiate, Connect, Helo, Mail, Rcpt, Data, Header, Eoh, Body, Eom };
    struct Step {
        Stage stage;
        QByteArray bytes;
        bool reply;
        int rcpt = -1;
    };
    void Plan(quint32 flags);
    QByteArray Macros(char stage, std::vector<std::pair<QByteArray, QByteArray>> pairs) const;
    QByteArray SendOn();
    QByteArray Finish(Result::Kind kind, QByteArray reply = {});
    QByteArray Failure(const QByteArray& why);
    QByteArray Refusal(const Packet& p);      // r, t, y: at RCPT for that recipient, else for the message
    QByteArray TakeChange(const Packet& p);   // a change asked for at the end of the message
    bool Allowed(char command) const;

    Message m_;
    std::vector<Step> steps_;
    size_t next_ = 0;   // the step to send after the one waiting for its reply
    Stage waiting_ = Stage::Negotiate;
    int waitingRcpt_ = -1;
    int rcptKept_ = 0;
    quint32 actions_ = 0, flags_ = 0;
    qsizetype changed_ = 0;
    qint64 budget_;
    Budget::Charge held_;
    bool done_ = false;
    Result result_;
};

// The SMTP reply of a custom reply (SMFIR_REPLYCODE), or nothing when it is not a 4xx or 5xx
// reply of well-formed lines.
std::optional<QByteArray> CustomReply(const QByteArray& data);

// Applies a filter's changes to the message. Returns what it did, for the log ("" nothing).
QByteArray Apply(Message& m, const Result& r);

// Field names a filter may give: printable, no colon, no blank.
bool FieldName(const QByteArray& name);

}
