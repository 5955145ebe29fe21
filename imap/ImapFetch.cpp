// FETCH: the items read once per command, then each message's response from its index entry
// and, only when an item needs it, its text.
#include "imap/ImapFetch.h"
#include "core/Server.h"
#include "mail/Mime.h"

#include <QDateTime>
#include <utility>

namespace Imap {
namespace {

enum class Kind { Flags, Uid, InternalDate, Size, Envelope, Body, BodyStructure, Section, Binary, BinarySize, ModSeq, Rfc822, Rfc822Header, Rfc822Text };

struct Item {
    Kind kind = Kind::Flags;
    QByteArray section;      // as the client wrote it, echoed in the response
    bool peek = false;
    qint64 origin = -1;      // a partial fetch: from `origin`, `length` bytes
    qint64 length = 0;
};

// The items without a section: each one's name, or a macro's members.
const struct {
    const char* name;
    std::vector<Kind> kinds;
} Names[] = {
    {"FLAGS", {Kind::Flags}}, {"UID", {Kind::Uid}}, {"INTERNALDATE", {Kind::InternalDate}}, {"RFC822.SIZE", {Kind::Size}},
    {"ENVELOPE", {Kind::Envelope}}, {"BODY", {Kind::Body}}, {"BODYSTRUCTURE", {Kind::BodyStructure}}, {"MODSEQ", {Kind::ModSeq}},
    {"RFC822", {Kind::Rfc822}}, {"RFC822.HEADER", {Kind::Rfc822Header}}, {"RFC822.TEXT", {Kind::Rfc822Text}},
    {"ALL", {Kind::Flags, Kind::InternalDate, Kind::Size, Kind::Envelope}},
    {"FAST", {Kind::Flags, Kind::InternalDate, Kind::Size}},
    {"FULL", {Kind::Flags, Kind::InternalDate, Kind::Size, Kind::Envelope, Kind::Body}},
};
constexpr int Macros = 3;   // the last rows: only alone, never in a list

// The arguments as the client wrote them, one text: however the parser split
// "BODY[HEADER.FIELDS (A B)]<0.10>", the item reads the same.
QByteArray Flat(const Arg& a)
{
    if (a.kind == Arg::Nil)
        return "NIL";
    if (a.kind == Arg::String)
        return '"' + QByteArray(a.text).replace("\\", "\\\\").replace("\"", "\\\"") + '"';
    if (a.kind == Arg::Atom)
        return a.text;
    QByteArray out = "(";
    for (const Arg& i : a.items)
        out += Flat(i) + ' ';
    if (out.size() > 1) out.chop(1);
    return out + ')';
}

constexpr qsizetype MaxDigits = 18;   // any such number fits in 63 bits
constexpr qsizetype ResponseRoom = 512;

bool Digits(QByteArrayView s) { return !s.isEmpty() && s.size() <= MaxDigits && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }); }

// One item from `text` at `i`.
class ItemReader {
public:
    explicit ItemReader(const QByteArray& text) : t_(text) {}
    bool Next(std::vector<Item>* items, bool alone);
    void Blanks() { while (i_ < t_.size() && t_[i_] == ' ') ++i_; }
    bool At(char c) const { return i_ < t_.size() && t_[i_] == c; }
    bool End() const { return i_ == t_.size(); }
    bool Take(char c) { return At(c) ? (++i_, true) : false; }
    QByteArray Word();

private:
    bool Bracketed(Item* item, const QByteArray& name);
    const QByteArray& t_;
    qsizetype i_ = 0;
};

QByteArray ItemReader::Word()
{
    const qsizetype from = i_;
    while (i_ < t_.size() && !strchr(" ()[]<>", t_[i_]))
        ++i_;
    return t_.sliced(from, i_ - from).toUpper();
}

// "[section]" and "<origin.length>" after BODY, BODY.PEEK, BINARY, BINARY.PEEK, BINARY.SIZE.
bool ItemReader::Bracketed(Item* item, const QByteArray& name)
{
    bool quoted = false;
    const qsizetype from = ++i_;
    for (; i_ < t_.size() && (quoted || t_[i_] != ']'); ++i_) {
        if (t_[i_] == '\\' && quoted) ++i_;
        else if (t_[i_] == '"') quoted = !quoted;
    }
    if (!Take(']'))
        return false;
    item->section = t_.sliced(from, i_ - 1 - from).trimmed();
    item->kind = name.startsWith("BODY") ? Kind::Section : name == "BINARY.SIZE" ? Kind::BinarySize : Kind::Binary;
    item->peek = name.endsWith(".PEEK");
    const bool valid = item->kind == Kind::Section ? Mime::Section("", item->section).has_value() : Mime::Binary("", item->section).has_value();
    if (!valid || !Take('<'))
        return valid;
    const qsizetype dot = t_.indexOf('.', i_), close = t_.indexOf('>', i_);
    if (item->kind == Kind::BinarySize || dot < 0 || close < dot || !Digits(t_.sliced(i_, dot - i_)) || !Digits(t_.sliced(dot + 1, close - dot - 1)))
        return false;
    item->origin = t_.sliced(i_, dot - i_).toLongLong();
    item->length = t_.sliced(dot + 1, close - dot - 1).toLongLong();
    i_ = close + 1;
    return item->length > 0;
}

bool ItemReader::Next(std::vector<Item>* items, bool alone)
{
    const QByteArray name = Word();
    if (At('[') && (name == "BODY" || name == "BODY.PEEK" || name == "BINARY" || name == "BINARY.PEEK" || name == "BINARY.SIZE")) {
        Item item;
        if (!Bracketed(&item, name))
            return false;
        items->push_back(item);
        return true;
    }
    const int rows = int(std::size(Names)) - (alone ? 0 : Macros);
    for (int r = 0; r < rows; ++r)
        if (name == Names[r].name) {
            for (Kind k : Names[r].kinds)
                items->emplace_back().kind = k;
            return true;
        }
    return false;
}

// The modifiers list after the items: CHANGEDSINCE n (RFC 7162), VANISHED.
bool Modifiers(ItemReader& r, quint64* changedSince, bool* vanished)
{
    if (!r.Take('('))
        return false;
    for (r.Blanks(); !r.Take(')'); r.Blanks()) {
        const QByteArray word = r.Word();
        if (word == "VANISHED") {
            *vanished = true;
            continue;
        }
        r.Blanks();
        const QByteArray number = r.Word();
        if (word != "CHANGEDSINCE" || !Digits(number) || number.toULongLong() == 0)
            return false;
        *changedSince = number.toULongLong();
    }
    return r.End() && (!*vanished || *changedSince > 0);
}

// Appends `data` as a literal: a message's text is copied once, into the response.
void Literal(QByteArray& out, QByteArrayView data, bool binary)
{
    const bool eight = binary && data.contains('\0');
    out += (eight ? "~{" : "{") + QByteArray::number(data.size()) + "}\r\n";
    out += data;
}

QByteArray InternalDate(qint64 secs)
{
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDateTime t = QDateTime::fromSecsSinceEpoch(secs);
    const int offset = t.offsetFromUtc() / 60;
    const QDate d = t.date();
    return QStringLiteral("\"%1-%2-%3 %4 %5%6%7\"")
        .arg(d.day(), 2, 10, QChar('0'))
        .arg(QLatin1String(Months[d.month() - 1]))
        .arg(d.year(), 4, 10, QChar('0'))
        .arg(t.time().toString(QStringLiteral("hh:mm:ss")))
        .arg(QChar(offset < 0 ? '-' : '+'))
        .arg(qAbs(offset) / 60, 2, 10, QChar('0'))
        .arg(qAbs(offset) % 60, 2, 10, QChar('0'))
        .toLatin1();
}

QByteArray Flags(const IndexEntry& e)
{
    return "FLAGS (" + e.flags.join(' ') + ')';
}

}

struct FetchItems::Items {
    std::vector<Item> items;
    quint64 changedSince = 0;
    bool vanished = false;
    bool Has(Kind k) const { return std::any_of(items.begin(), items.end(), [k](const Item& i) { return i.kind == k; }); }
    // Appends the item's answer to `out`; false and `error` when there is none for this message.
    bool Answer(QByteArray& out, const Item& item, const MessageRef& m, const std::function<const QByteArray&()>& text, QByteArray* error) const;
};

FetchItems::FetchItems() : d_(std::make_unique<Items>()) {}
FetchItems::~FetchItems() = default;
FetchItems::FetchItems(FetchItems&&) noexcept = default;
FetchItems& FetchItems::operator=(FetchItems&&) noexcept = default;

std::optional<FetchItems> FetchItems::Parse(const std::vector<Arg>& args, size_t from, QByteArray* error)
{
    QByteArray text;
    for (size_t i = from; i < args.size(); ++i)
        text += (i > from ? " " : "") + Flat(args[i]);
    FetchItems f;
    ItemReader r(text);
    bool ok = true;
    if (r.Take('(')) {
        for (r.Blanks(); ok && !r.Take(')'); r.Blanks())
            ok = !r.End() && r.Next(&f.d_->items, false);
    } else {
        ok = r.Next(&f.d_->items, true);
    }
    r.Blanks();
    ok = ok && !f.d_->items.empty() && (r.End() || Modifiers(r, &f.d_->changedSince, &f.d_->vanished));
    if (!ok) {
        *error = "Invalid FETCH items";
        return std::nullopt;
    }
    return f;
}

bool FetchItems::NeedsText() const
{
    return std::any_of(d_->items.begin(), d_->items.end(), [](const Item& i) {
        return i.kind != Kind::Flags && i.kind != Kind::Uid && i.kind != Kind::InternalDate && i.kind != Kind::Size && i.kind != Kind::ModSeq;
    });
}

bool FetchItems::SetsSeen() const
{
    return std::any_of(d_->items.begin(), d_->items.end(), [](const Item& i) {
        return ((i.kind == Kind::Section || i.kind == Kind::Binary) && !i.peek) || i.kind == Kind::Rfc822 || i.kind == Kind::Rfc822Text;
    });
}

bool FetchItems::WantsModSeq() const { return d_->changedSince > 0 || d_->Has(Kind::ModSeq); }
quint64 FetchItems::ChangedSince() const { return d_->changedSince; }
bool FetchItems::Vanished() const { return d_->vanished; }

bool FetchItems::Items::Answer(QByteArray& out, const Item& item, const MessageRef& m, const std::function<const QByteArray&()>& text,
                               QByteArray* error) const
{
    const IndexEntry& e = *m.entry;
    switch (item.kind) {
    case Kind::Flags: return out += Flags(e), true;
    case Kind::Uid: return out += "UID " + QByteArray::number(e.uid), true;
    case Kind::InternalDate: return out += "INTERNALDATE " + InternalDate(e.internalDate), true;
    case Kind::Size: return out += "RFC822.SIZE " + QByteArray::number(e.size), true;
    case Kind::ModSeq: return out += "MODSEQ (" + QByteArray::number(e.modseq) + ')', true;
    case Kind::Envelope: return out += "ENVELOPE ", out += m.envelope ? m.envelope() : Mime::Envelope(text()), true;
    case Kind::Body: return out += "BODY " + Mime::BodyStructure(text(), false), true;
    case Kind::BodyStructure: return out += "BODYSTRUCTURE " + Mime::BodyStructure(text(), true), true;
    case Kind::Rfc822: return out += "RFC822 ", Literal(out, text(), false), true;
    case Kind::Rfc822Header: return out += "RFC822.HEADER ", Literal(out, Mime::Section(text(), "HEADER").value_or(""), false), true;
    case Kind::Rfc822Text: return out += "RFC822.TEXT ", Literal(out, Mime::Section(text(), "TEXT").value_or(""), false), true;
    default: break;
    }
    const bool body = item.kind == Kind::Section;
    const std::optional<QByteArray> data = body ? Mime::Section(text(), item.section) : Mime::Binary(text(), item.section);
    if (!data) {
        *error = "[UNKNOWN-CTE] Cannot decode the part's content";
        return false;
    }
    if (item.kind == Kind::BinarySize)
        return out += "BINARY.SIZE[" + item.section + "] " + QByteArray::number(data->size()), true;
    out += (body ? "BODY[" : "BINARY[") + item.section + ']';
    if (item.origin < 0)
        return out += ' ', Literal(out, *data, !body), true;
    out += '<' + QByteArray::number(item.origin) + "> ";
    const qint64 from = std::min<qint64>(item.origin, data->size());
    Literal(out, QByteArrayView(*data).sliced(from, std::min<qint64>(item.length, data->size() - from)), !body);
    return true;
}

QByteArray FetchItems::Response(const MessageRef& m, bool uidCommand, bool flagsChanged, QByteArray* error) const
{
    if (!m.entry)
        return {};
    std::optional<QByteArray> text;
    const std::function<const QByteArray&()> read = [&]() -> const QByteArray& {
        if (!text) text = m.text ? m.text() : QByteArray();
        return *text;
    };
    QByteArray out;
    out.reserve(ResponseRoom);   // most responses without a literal fit: no growing
    out += "* " + QByteArray::number(m.seq) + " FETCH (";
    if (uidCommand)
        out += "UID " + QByteArray::number(m.entry->uid) + ' ';
    for (const Item& item : d_->items) {
        if (item.kind == Kind::Uid && uidCommand)
            continue;
        if (!d_->Answer(out, item, m, read, error))
            return {};
        out += ' ';
    }
    if (flagsChanged && !d_->Has(Kind::Flags))
        out += Flags(*m.entry) + ' ';
    if (d_->changedSince > 0 && !d_->Has(Kind::ModSeq))
        out += "MODSEQ (" + QByteArray::number(m.entry->modseq) + ") ";
    out.chop(1);
    return out + ")\r\n";
}

void Stretches::Add(const QByteArray& response)
{
    if (text_.isEmpty())
        text_.reserve(StretchBytes + response.size());
    text_ += response;
    if (text_.size() >= StretchBytes)
        Send();
}

void Stretches::Send()
{
    if (text_.isEmpty())
        return;
    text_.chop(text_.endsWith("\r\n") ? 2 : 0);   // the server adds the last CR LF
    server_.SendReplyTaken(index_, std::exchange(text_, {}));
}

}
