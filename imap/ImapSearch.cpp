// SEARCH: the keys read once into a tree, matched message by message; the text is read only
// for keys about the header or the body, and then once per message.
#include "imap/ImapFetch.h"
#include "mail/Header.h"
#include "mail/MimeParts.h"

#include <QDateTime>

namespace Imap {
namespace {

constexpr int MaxNesting = 100;   // NOT, OR and parentheses inside each other

enum class Kind { All, None, Flag, NoFlag, Field, Body, Text, Larger, Smaller, Before, On, Since, SentBefore, SentOn, SentSince, Uid, Seq, ModSeq, Not, Or, And };
enum class Operand { None, Flag, String, Field, Number, Date, Set, Key, Keys, ModSeq };

const struct {
    const char* name;
    Kind kind;
    Operand operand;
    const char* value;   // the flag, or the field, the key is about
} KeyRows[] = {
    {"ALL", Kind::All, Operand::None, ""}, {"OLD", Kind::All, Operand::None, ""},
    {"NEW", Kind::None, Operand::None, ""}, {"RECENT", Kind::None, Operand::None, ""},   // nothing is recent
    {"ANSWERED", Kind::Flag, Operand::None, "\\Answered"}, {"UNANSWERED", Kind::NoFlag, Operand::None, "\\Answered"},
    {"DELETED", Kind::Flag, Operand::None, "\\Deleted"}, {"UNDELETED", Kind::NoFlag, Operand::None, "\\Deleted"},
    {"DRAFT", Kind::Flag, Operand::None, "\\Draft"}, {"UNDRAFT", Kind::NoFlag, Operand::None, "\\Draft"},
    {"FLAGGED", Kind::Flag, Operand::None, "\\Flagged"}, {"UNFLAGGED", Kind::NoFlag, Operand::None, "\\Flagged"},
    {"SEEN", Kind::Flag, Operand::None, "\\Seen"}, {"UNSEEN", Kind::NoFlag, Operand::None, "\\Seen"},
    {"KEYWORD", Kind::Flag, Operand::Flag, ""}, {"UNKEYWORD", Kind::NoFlag, Operand::Flag, ""},
    {"FROM", Kind::Field, Operand::String, "From"}, {"TO", Kind::Field, Operand::String, "To"},
    {"CC", Kind::Field, Operand::String, "Cc"}, {"BCC", Kind::Field, Operand::String, "Bcc"},
    {"SUBJECT", Kind::Field, Operand::String, "Subject"}, {"HEADER", Kind::Field, Operand::Field, ""},
    {"BODY", Kind::Body, Operand::String, ""}, {"TEXT", Kind::Text, Operand::String, ""},
    {"LARGER", Kind::Larger, Operand::Number, ""}, {"SMALLER", Kind::Smaller, Operand::Number, ""},
    {"BEFORE", Kind::Before, Operand::Date, ""}, {"ON", Kind::On, Operand::Date, ""}, {"SINCE", Kind::Since, Operand::Date, ""},
    {"SENTBEFORE", Kind::SentBefore, Operand::Date, ""}, {"SENTON", Kind::SentOn, Operand::Date, ""},
    {"SENTSINCE", Kind::SentSince, Operand::Date, ""}, {"UID", Kind::Uid, Operand::Set, ""},
    {"NOT", Kind::Not, Operand::Key, ""}, {"OR", Kind::Or, Operand::Keys, ""}, {"MODSEQ", Kind::ModSeq, Operand::ModSeq, ""},
};

struct Key {
    Kind kind = Kind::All;
    QByteArray name;   // the flag or the field
    QString needle;
    QByteArray plain;    // the needle when it is ASCII without blanks: sought in a plain header's bytes first
    qint64 number = 0;   // a size, a mod-sequence, or a day (Julian day number)
    std::optional<SequenceSet> set;
    std::vector<Key> keys;
};

// "1-Feb-1994" as a Julian day number; 0 when it is no date.
qint64 Day(QByteArrayView text)
{
    static const char* const Months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    const QList<QByteArrayView> bits = {text.first(std::max<qsizetype>(text.indexOf('-'), 0)), text.sliced(text.indexOf('-') + 1)};
    const qsizetype second = bits[1].indexOf('-');
    if (bits[0].isEmpty() || second != 3)
        return 0;
    const QByteArray month = bits[1].first(3).toByteArray().toLower();
    const auto m = std::find_if(std::begin(Months), std::end(Months), [&](const char* name) { return month == name; });
    bool dayOk = false, yearOk = false;
    const QDate d(bits[1].sliced(4).toInt(&yearOk), int(m - std::begin(Months)) + 1, bits[0].toInt(&dayOk));
    return dayOk && yearOk && m != std::end(Months) && bits[0].size() <= 2 && bits[1].size() == 8 && d.isValid() ? d.toJulianDay() : 0;
}

// What Matches reads of one message, each read once and only when a key asks.
struct Seen {
    const MessageRef& m;
    std::optional<QByteArray> text;
    std::optional<QByteArray> head;   // the header alone, when read without the text
    std::optional<Mail::Header> header;
    std::optional<QString> body;

    const QByteArray& Text() { if (!text) text = m.text ? m.text() : QByteArray(); return *text; }
    const Mail::Header& Header()
    {
        if (!header) header.emplace(text || !m.header ? Text() : Head());
        return *header;
    }
    const QByteArray& Head() { if (!head) head = m.header(); return *head; }
    // Certainly no field holds `plain`: the header is ASCII without encoded words or odd line ends,
    // so each field's value is its bytes unfolded, and they do not hold it.
    bool Lacks(const QByteArray& plain)
    {
        if (plain.isEmpty() || text || !m.header)
            return false;
        const QByteArray& h = Head();
        return std::all_of(h.begin(), h.end(), [](char c) { return uchar(c) < 0x80; }) && !h.contains("=?") && !Mail::BareLineEnd(h)
            && !QLatin1StringView(h).contains(QLatin1StringView(plain), Qt::CaseInsensitive);
    }
    const QString& Body() { if (!body) body = Mime::BodyText(Text()); return *body; }
    bool Flag(const QByteArray& flag) const
    {
        return std::any_of(m.entry->flags.begin(), m.entry->flags.end(), [&](const QByteArray& f) { return f.compare(flag, Qt::CaseInsensitive) == 0; });
    }
    bool Field(const QByteArray& name, const QString& needle, const QByteArray& plain)
    {
        if (Lacks(plain))
            return false;
        for (const Mail::Field& f : Header().Fields())
            if (f.Is(name) && Mime::DecodeWords(f.Value()).contains(needle, Qt::CaseInsensitive)) return true;
        return false;
    }
    qint64 SentDay()
    {
        const QList<QByteArray> dates = Header().Values("Date");
        QByteArray date = dates.isEmpty() ? QByteArray() : dates.first().simplified();
        if (date.contains('(')) date = date.left(date.indexOf('(')).trimmed();   // "(UTC)" after the zone
        const QDateTime sent = QDateTime::fromString(QString::fromLatin1(date), Qt::RFC2822Date);
        return sent.isValid() ? sent.date().toJulianDay() : QDateTime::fromSecsSinceEpoch(m.entry->internalDate).date().toJulianDay();
    }
};

}

struct SearchQuery::Keys {
    Key root = [] { Key k; k.kind = Kind::And; return k; }();
    bool esearch = false, modseq = false;
    QList<QByteArray> options;   // of RETURN: MIN, MAX, COUNT, ALL
    const SavedSets* saved = nullptr;   // what "$" stands for

    bool Read(const std::vector<Arg>& args, size_t& i, Key* into, int depth, QByteArray* error);
    bool Match(const Key& k, Seen& s, quint32 largestSeq, quint32 largestUid) const;
};

bool SearchQuery::Keys::Read(const std::vector<Arg>& args, size_t& i, Key* into, int depth, QByteArray* error)
{
    *error = "Invalid SEARCH key";
    if (i >= args.size() || depth > MaxNesting)
        return false;
    const Arg& a = args[i++];
    if (a.kind == Arg::List) {
        into->kind = Kind::And;
        size_t j = 0;
        while (j < a.items.size())
            if (!Read(a.items, j, &into->keys.emplace_back(), depth + 1, error)) return false;
        return !into->keys.empty();
    }
    if (a.kind != Arg::Atom)
        return false;
    const QByteArray word = a.text.toUpper();
    const auto row = std::find_if(std::begin(KeyRows), std::end(KeyRows), [&](const auto& r) { return word == r.name; });
    if (row == std::end(KeyRows)) {
        into->kind = Kind::Seq;
        into->set = SequenceSet::Parse(a.text, saved ? &saved->seqs : nullptr);
        return into->set.has_value();
    }
    into->kind = row->kind;
    into->name = row->value;
    const auto operand = [&](bool atom) -> const Arg* {
        const Arg* o = i < args.size() && args[i].kind != Arg::List && args[i].kind != Arg::Nil ? &args[i++] : nullptr;
        return o && (!atom || o->kind == Arg::Atom) ? o : nullptr;
    };
    const Arg* o = nullptr;
    bool ok = true;
    switch (row->operand) {
    case Operand::None: return true;
    case Operand::Flag: return (o = operand(true)) && !(into->name = o->text).isEmpty();
    case Operand::Field:
        if (!(o = operand(false)) || o->text.isEmpty()) return false;
        into->name = o->text;
        [[fallthrough]];
    case Operand::String:
        if (!(o = operand(false)))
            return false;
        into->needle = QString::fromUtf8(o->text);
        if (std::all_of(o->text.begin(), o->text.end(), [](char c) { return c > ' ' && c < 0x7f; }))
            into->plain = o->text;
        return true;
    case Operand::Number: return (o = operand(true)) && (into->number = o->text.toLongLong(&ok)) >= 0 && ok;
    case Operand::Date: return (o = operand(false)) && (into->number = Day(o->text)) > 0;
    case Operand::Set: return (o = operand(true)) && (into->set = SequenceSet::Parse(o->text, saved ? &saved->uids : nullptr)).has_value();
    case Operand::Key: return Read(args, i, &into->keys.emplace_back(), depth + 1, error);
    case Operand::Keys: return Read(args, i, &into->keys.emplace_back(), depth + 1, error) && Read(args, i, &into->keys.emplace_back(), depth + 1, error);
    case Operand::ModSeq:
        if (i + 1 < args.size() && args[i].kind == Arg::String)   // an entry name and type: every flag counts alike here
            i += 2;
        modseq = true;
        return (o = operand(true)) && qint64(into->number = qint64(o->text.toULongLong(&ok))) >= 0 && ok;
    }
    return false;
}

bool SearchQuery::Keys::Match(const Key& k, Seen& s, quint32 largestSeq, quint32 largestUid) const
{
    const IndexEntry& e = *s.m.entry;
    const auto day = [&] { return QDateTime::fromSecsSinceEpoch(e.internalDate).date().toJulianDay(); };
    switch (k.kind) {
    case Kind::All: return true;
    case Kind::None: return false;
    case Kind::Flag: return s.Flag(k.name);
    case Kind::NoFlag: return !s.Flag(k.name);
    case Kind::Field: return s.Field(k.name, k.needle, k.plain);
    case Kind::Body: return s.Body().contains(k.needle, Qt::CaseInsensitive);
    case Kind::Text:
        return Mime::DecodeWords(QByteArrayView(s.Text()).first(s.Header().BodyStart())).contains(k.needle, Qt::CaseInsensitive) ||
               s.Body().contains(k.needle, Qt::CaseInsensitive);
    case Kind::Larger: return e.size > k.number;
    case Kind::Smaller: return e.size < k.number;
    case Kind::Before: return day() < k.number;
    case Kind::On: return day() == k.number;
    case Kind::Since: return day() >= k.number;
    case Kind::SentBefore: return s.SentDay() < k.number;
    case Kind::SentOn: return s.SentDay() == k.number;
    case Kind::SentSince: return s.SentDay() >= k.number;
    case Kind::Uid: return k.set->Contains(e.uid, largestUid);
    case Kind::Seq: return k.set->Contains(s.m.seq, largestSeq);
    case Kind::ModSeq: return e.modseq >= quint64(k.number);
    case Kind::Not: return !Match(k.keys[0], s, largestSeq, largestUid);
    case Kind::Or: return Match(k.keys[0], s, largestSeq, largestUid) || Match(k.keys[1], s, largestSeq, largestUid);
    case Kind::And: break;
    }
    return std::all_of(k.keys.begin(), k.keys.end(), [&](const Key& c) { return Match(c, s, largestSeq, largestUid); });
}

SearchQuery::SearchQuery() : d_(std::make_unique<Keys>()) {}
SearchQuery::~SearchQuery() = default;
SearchQuery::SearchQuery(SearchQuery&&) noexcept = default;
SearchQuery& SearchQuery::operator=(SearchQuery&&) noexcept = default;

std::optional<SearchQuery> SearchQuery::Parse(const std::vector<Arg>& args, size_t from, QByteArray* error, const SavedSets* saved)
{
    SearchQuery q;
    Keys& d = *q.d_;
    d.saved = saved;
    size_t i = from;
    if (i + 1 < args.size() && args[i].IsAtom("RETURN") && args[i + 1].kind == Arg::List) {
        d.esearch = true;
        for (const Arg& o : args[i + 1].items) {
            const QByteArray word = o.text.toUpper();
            if (o.kind != Arg::Atom || !QList<QByteArray>{"MIN", "MAX", "COUNT", "ALL", "SAVE"}.contains(word)) {
                *error = "Invalid RETURN option";
                return std::nullopt;
            }
            if (word != "SAVE") d.options << word;
        }
        if (args[i + 1].items.empty()) d.options << "ALL";
        i += 2;
    }
    if (i + 1 < args.size() && args[i].IsAtom("CHARSET")) {
        const QByteArray charset = args[i + 1].text.toUpper();
        if (charset != "US-ASCII" && charset != "UTF-8") {
            *error = "[BADCHARSET] (US-ASCII UTF-8) Unsupported charset";
            return std::nullopt;
        }
        i += 2;
    }
    if (i >= args.size()) {
        *error = "Missing SEARCH key";
        return std::nullopt;
    }
    while (i < args.size())
        if (!d.Read(args, i, &d.root.keys.emplace_back(), 1, error)) return std::nullopt;
    d.saved = nullptr;
    return q;
}

static bool Reads(const Key& k)
{
    const bool here = k.kind == Kind::Field || k.kind == Kind::Body || k.kind == Kind::Text || k.kind == Kind::SentBefore ||
                      k.kind == Kind::SentOn || k.kind == Kind::SentSince;
    return here || std::any_of(k.keys.begin(), k.keys.end(), Reads);
}

bool SearchQuery::NeedsText() const { return Reads(d_->root); }

bool SearchQuery::Matches(const MessageRef& m, quint32 largestSeq, quint32 largestUid) const
{
    if (!m.entry)
        return false;
    Seen s{m, {}, {}, {}, {}};
    return d_->Match(d_->root, s, largestSeq, largestUid);
}

QByteArray SearchQuery::Response(const QByteArray& tag, const std::vector<quint32>& matches, bool uidCommand, quint64 highestModSeq, bool esearch) const
{
    std::vector<quint32> sorted = matches;
    std::sort(sorted.begin(), sorted.end());
    const QByteArray modseq = d_->modseq && !sorted.empty() ? QByteArray::number(highestModSeq) : QByteArray();
    if (!d_->esearch && !esearch) {
        QByteArray out = "* SEARCH";
        for (quint32 n : sorted)
            out += ' ' + QByteArray::number(n);
        return out + (modseq.isEmpty() ? "" : " (MODSEQ " + modseq + ')') + "\r\n";
    }
    QByteArray out = "* ESEARCH (TAG \"" + tag + "\")" + (uidCommand ? " UID" : "");
    const QList<QByteArray> options = d_->esearch ? d_->options : QList<QByteArray>{"ALL"};
    if (options.contains("MIN") && !sorted.empty()) out += " MIN " + QByteArray::number(sorted.front());
    if (options.contains("MAX") && !sorted.empty()) out += " MAX " + QByteArray::number(sorted.back());
    if (options.contains("COUNT")) out += " COUNT " + QByteArray::number(qsizetype(sorted.size()));
    if (options.contains("ALL") && !sorted.empty()) {
        out += " ALL ";
        for (size_t j = 0; j < sorted.size();) {   // "1:3,5"
            size_t k = j;
            while (k + 1 < sorted.size() && sorted[k + 1] <= sorted[k] + 1) ++k;
            out += QByteArray::number(sorted[j]) + (sorted[k] != sorted[j] ? ':' + QByteArray::number(sorted[k]) : "") + ',';
            j = k + 1;
        }
        out.chop(1);
    }
    return out + (modseq.isEmpty() ? "" : " MODSEQ " + modseq) + "\r\n";
}

}
