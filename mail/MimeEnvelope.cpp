// ENVELOPE: the header's address lists read into (name adl mailbox host), groups opened by
// (NIL NIL name NIL) and closed by (NIL NIL NIL NIL).
#include "mail/Header.h"
#include "mail/Mime.h"
#include "mail/MimeParts.h"

#include <numeric>
#include <vector>

namespace Mime {
namespace {

constexpr char Specials[] = "<>,:;@.";

struct Token {
    char special = 0;   // one of Specials, 0 for a word
    QByteArray text;
    bool quoted = false;
};

std::vector<Token> Tokens(QByteArrayView v)
{
    std::vector<Token> out;
    qsizetype literalEnd = -2;   // the next "]", looked for once however many "[" there are
    for (qsizetype i = 0; SkipCfws(v, i), i < v.size();) {
        const char c = v[i];
        if (c == '"') {
            out.push_back({0, Quoted(v, i), true});
        } else if (c && strchr(Specials, c)) {
            out.push_back({c, QByteArray(1, c)});
            ++i;
        } else {
            const qsizetype from = i;
            if (c == '[' && literalEnd != -1 && literalEnd < i)
                literalEnd = v.indexOf(']', i);
            const qsizetype close = c == '[' ? literalEnd : -1;   // a domain literal
            if (close > 0)
                i = close + 1;
            while (close < 0 && i < v.size() && !strchr(" \t\r\n(\"", v[i]) && !strchr(Specials, v[i]))
                ++i;
            out.push_back({0, v.sliced(from, i - from).toByteArray()});
        }
    }
    return out;
}

// Tokens joined as written: "a . b" is "a.b"; a quoted local part stays quoted.
QByteArray Joined(const std::vector<Token>& tokens, size_t from, size_t to)
{
    QByteArray out;
    for (size_t i = from; i < to; ++i) {
        if (!tokens[i].quoted) {
            out += tokens[i].text;
            continue;
        }
        QByteArray q = tokens[i].text;
        out += '"' + q.replace("\\", "\\\\").replace("\"", "\\\"") + '"';
    }
    return out;
}

// A display name: its words with one blank between them.
QByteArray Phrase(const std::vector<Token>& tokens)
{
    QByteArray out;
    for (const Token& t : tokens)
        out += t.special == '.' || out.isEmpty() ? t.text : ' ' + t.text;
    return out;
}

class AddressReader {
public:
    QByteArray Read(QByteArrayView value);

private:
    void Take();
    std::vector<Token> phrase_, address_;
    bool angle_ = false, inAngle_ = false, group_ = false;
    QByteArray out_;
};

void AddressReader::Take()
{
    if (!angle_)
        address_.swap(phrase_);
    if (!address_.empty() || angle_) {
        size_t start = 0;
        QByteArray adl;
        if (!address_.empty() && address_[0].special == '@') {   // an obsolete route: @a,@b:
            while (start < address_.size() && address_[start].special != ':') ++start;
            adl = Joined(address_, 0, std::min(start, address_.size()));
            start = std::min(start + 1, address_.size());
            if (start == address_.size()) start = 0, adl.clear();
        }
        size_t at = address_.size();
        for (size_t i = start; i < address_.size(); ++i)
            if (address_[i].special == '@') at = i;
        const QByteArray name = Phrase(phrase_);
        out_ += '(' + String(name.isEmpty() ? QByteArray() : name) + ' ' + String(adl.isEmpty() ? QByteArray() : adl) + ' ' +
                String(Joined(address_, start, at)) + ' ' + String(at < address_.size() ? Joined(address_, at + 1, address_.size()) : "") +
                ')';
    }
    phrase_.clear();
    address_.clear();
    angle_ = false;
}

QByteArray AddressReader::Read(QByteArrayView value)
{
    for (Token& t : Tokens(value)) {
        if (inAngle_) {
            if (t.special == '>') inAngle_ = false;
            else address_.push_back(std::move(t));
        } else if (t.special == '<') {
            inAngle_ = angle_ = true;
        } else if (t.special == ':' && !group_ && !angle_) {
            out_ += "(NIL NIL " + String(Phrase(phrase_)) + " NIL)";
            phrase_.clear();
            group_ = true;
        } else if (t.special == ',' || t.special == ';') {
            Take();
            if (t.special == ';' && group_) out_ += "(NIL NIL NIL NIL)";
            group_ = group_ && t.special != ';';
        } else if (!angle_) {
            phrase_.push_back(std::move(t));
        }
    }
    Take();
    if (group_)
        out_ += "(NIL NIL NIL NIL)";
    return out_.isEmpty() ? QByteArray("NIL") : '(' + out_ + ')';
}

}

QByteArray Envelope(const QByteArray& message)
{
    const Mail::Header h(message);
    const auto value = [&](QByteArrayView name) {
        const QList<QByteArray> values = h.Values(name);
        return values.isEmpty() ? QByteArray() : values.first().trimmed();
    };
    const auto addresses = [&](QByteArrayView name) { return AddressReader().Read(value(name)); };
    const QByteArray from = addresses("From");
    const QByteArray sender = addresses("Sender"), replyTo = addresses("Reply-To");
    const QByteArray members[] = {String(value("Date")), String(value("Subject")), from, sender == "NIL" ? from : sender,
                                  replyTo == "NIL" ? from : replyTo, addresses("To"), addresses("Cc"), addresses("Bcc"),
                                  String(value("In-Reply-To")), String(value("Message-ID"))};
    QByteArray out;
    out.reserve(std::accumulate(std::begin(members), std::end(members), qsizetype(2), [](qsizetype n, const QByteArray& m) { return n + m.size() + 1; }));
    for (const QByteArray& m : members) {
        out += out.isEmpty() ? '(' : ' ';
        out += m;
    }
    out += ')';
    return out;
}

}
