#include "milter/MilterProtocol.h"
#include "mail/Header.h"

#include <algorithm>

namespace Milter {
namespace {

QByteArray Be32(quint32 v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(b, 4);
}
quint32 ReadBe32(const QByteArray& d, qsizetype at)
{
    const auto u = [&](qsizetype i) { return quint32(quint8(d[at + i])); };
    return u(0) << 24 | u(1) << 16 | u(2) << 8 | u(3);
}

QByteArray Z(const QByteArray& s) { return s + '\0'; }

bool Blank(char c) { return c == ' ' || c == '\t'; }

// A malformed reply is shown in the log up to this many bytes.
constexpr qsizetype ShownReply = 80;
// Changes are held as they came, as the body they make, and as the text made of that.
constexpr qint64 ChangesHeld = 3;

// The NUL-ended strings of a packet; a last one without its NUL counts too.
QList<QByteArray> Strings(const QByteArray& data)
{
    QList<QByteArray> out = data.split('\0');
    if (!data.isEmpty() && data.endsWith('\0'))
        out.removeLast();
    return out;
}

}

QByteArray Encode(char command, const QByteArray& data) { return Be32(quint32(data.size() + 1)) + command + data; }

Take Decode(QByteArray& buffer, Packet& out)
{
    if (buffer.size() < 4)
        return Take::More;
    const quint32 length = ReadBe32(buffer, 0);
    if (length == 0 || length > quint32(MaxPacket))
        return Take::Bad;
    if (buffer.size() < 4 + qsizetype(length))
        return Take::More;
    out.command = buffer[4];
    out.data = buffer.mid(5, length - 1);
    buffer.remove(0, 4 + length);
    return Take::Packet;
}

bool FieldName(const QByteArray& name)
{
    if (name.isEmpty() || name.size() > 256) return false;
    for (const char c : name)
        if (c <= 32 || c >= 127 || c == ':') return false;
    return true;
}

QByteArray Header::Value(bool leadingSpace) const
{
    qsizetype i = name.size() + (raw.startsWith('.') ? 1 : 0);   // the stuffed dot is not the name's
    while (i < raw.size() && Blank(raw[i])) ++i;
    ++i;   // the colon
    if (!leadingSpace)
        while (i < raw.size() && Blank(raw[i])) ++i;
    QByteArray v = raw.mid(i);
    if (v.endsWith("\r\n")) v.chop(2);
    else if (v.endsWith('\n')) v.chop(1);
    return v.replace("\r\n", "\n");
}

Split SplitText(const QByteArray& text)
{
    const Mail::Header header(text);
    Split s;
    for (size_t i = 0; i < header.Leading(); ++i) {
        const Mail::Field& f = header.Fields()[i];
        s.headers.push_back({f.name, text.mid(f.at, f.size)});
    }
    s.rest = text.mid(header.FieldsEnd());
    return s;
}

std::optional<QByteArray> CustomReply(const QByteArray& data)
{
    QByteArray text = data.left(data.indexOf('\0') < 0 ? data.size() : data.indexOf('\0'));
    QList<QByteArray> lines = Mail::WithCrLf(text).split('\n');
    lines.removeLast();   // after the last line end
    if (lines.isEmpty() || lines.size() > 32)
        return std::nullopt;
    QByteArray code;
    for (qsizetype k = 0; k < lines.size(); ++k) {
        QByteArray& line = lines[k];
        line.chop(1);   // its CR
        if (line.size() < 3 || (line[0] != '4' && line[0] != '5') || !isdigit(quint8(line[1])) || !isdigit(quint8(line[2])))
            return std::nullopt;
        if (k == 0) code = line.left(3);
        else if (line.left(3) != code) return std::nullopt;
        if (line.size() > 3 && line[3] != ' ' && line[3] != '-')
            return std::nullopt;
        for (char& c : line)
            if (quint8(c) < 32 || quint8(c) >= 127) c = '?';
        line = line.left(510);
        if (line.size() == 3) line += ' ';
        line[3] = k + 1 < lines.size() ? '-' : ' ';
    }
    return lines.join("\r\n");
}

Conversation::Conversation(Message m, qint64 memoryBudget) : m_(std::move(m)), budget_(memoryBudget) {}

QByteArray Conversation::Begin()
{
    waiting_ = Stage::Negotiate;
    return Encode('O', Be32(Version) + Be32(AllActions) + Be32(OfferedFlags));
}

QByteArray Conversation::Macros(char stage, std::vector<std::pair<QByteArray, QByteArray>> pairs) const
{
    QByteArray data(1, stage);
    for (const auto& [name, value] : pairs)
        data += Z(name) + Z(value);
    return Encode('D', data);
}

void Conversation::Plan(quint32 flags)
{
    const auto add = [this](Stage stage, QByteArray bytes, bool reply, int rcpt = -1) { steps_.push_back({stage, std::move(bytes), reply, rcpt}); };
    const QByteArray id = m_.queueId;
    if (!(flags & NoConnect)) {
        QByteArray address = m_.client;
        const bool v6 = address.startsWith("IPv6:");
        if (v6) address = address.mid(5);
        QByteArray data = Z(address.isEmpty() ? QByteArray("unknown") : '[' + address + ']');
        data += address.isEmpty() ? QByteArray("U") : QByteArray(v6 ? "6" : "4") + QByteArray(2, '\0') + Z(address);
        add(Stage::Connect,
            Macros('C', {{"j", m_.hostName}, {"{daemon_name}", "Tandrivel"}, {"_", "unknown [" + (address.isEmpty() ? "unknown" : address) + ']'}})
                + Encode('C', data),
            !(flags & NrConnect));
    }
    if (!(flags & NoHelo) && !m_.helo.isEmpty())
        add(Stage::Helo, Encode('H', Z(m_.helo)), !(flags & NrHelo));
    if (!(flags & NoMail)) {
        std::vector<std::pair<QByteArray, QByteArray>> macros{{"i", id}, {"{mail_addr}", m_.sender}};
        if (!m_.user.isEmpty()) macros.push_back({"{auth_authen}", m_.user});
        add(Stage::Mail, Macros('M', macros) + Encode('M', Z('<' + m_.sender + '>')), !(flags & NrMail));
    }
    if (!(flags & NoRcpt))
        for (int i = 0; i < m_.recipients.size(); ++i)
            add(Stage::Rcpt, Macros('R', {{"{rcpt_addr}", m_.recipients[i]}}) + Encode('R', Z('<' + m_.recipients[i] + '>')), !(flags & NrRcpt), i);
    if (!(flags & NoData))
        add(Stage::Data, Macros('T', {{"i", id}}) + Encode('T'), !(flags & NrData));
    const Split split = SplitText(m_.text);
    if (!(flags & NoHeaders))
        for (const Header& h : split.headers)
            add(Stage::Header, Encode('L', Z(h.name) + Z(h.Value(flags & HeaderLeadingSpace))), !(flags & NoHeaderReply));
    if (!(flags & NoEoh))
        add(Stage::Eoh, Macros('N', {{"i", id}}) + Encode('N'), !(flags & NrEoh));
    if (!(flags & NoBody)) {
        const QByteArray body = Mail::Unstuffed(split.rest.startsWith("\r\n") ? split.rest.mid(2) : split.rest);
        for (qsizetype at = 0; at < body.size(); at += BodyChunk)
            add(Stage::Body, Encode('B', body.mid(at, BodyChunk)), !(flags & NrBody));
    }
    add(Stage::Eom, Macros('E', {{"i", id}}) + Encode('E'), true);
}

QByteArray Conversation::SendOn()
{
    if (!m_.recipients.isEmpty() && result_.refused.size() >= size_t(m_.recipients.size())) {
        const QByteArray& reply = result_.refused.back().reply;   // nobody left to deliver to
        return Finish(reply.startsWith('4') ? Result::Tempfail : Result::Reject, reply);
    }
    QByteArray out;
    while (next_ < steps_.size()) {
        Step& s = steps_[next_++];
        out += std::exchange(s.bytes, {});
        if (s.reply) {
            waiting_ = s.stage;
            waitingRcpt_ = s.rcpt;
            return out;
        }
    }
    return out;
}

QByteArray Conversation::Finish(Result::Kind kind, QByteArray reply)
{
    done_ = true;
    result_.kind = kind;
    result_.reply = std::move(reply);
    result_.leadingSpace = flags_ & HeaderLeadingSpace;
    if (kind != Result::Continue && kind != Result::Accept)
        result_.changes.clear();
    return Encode('Q');
}

QByteArray Conversation::Failure(const QByteArray& why)
{
    Fail(why);
    return Encode('Q');
}

void Conversation::Fail(const QByteArray& why)
{
    done_ = true;
    result_.kind = Result::Failed;
    result_.why = why;
    result_.changes.clear();
}

bool Conversation::Allowed(char command) const
{
    switch (command) {
    case 'h': return actions_ & AddHeaders;
    case 'i': case 'm': return actions_ & (ChangeHeaders | AddHeaders);
    case 'b': return actions_ & ChangeBody;
    case '+': return actions_ & AddRcpt;
    case '2': return actions_ & AddRcptArgs;
    case '-': return actions_ & DeleteRcpt;
    case 'e': return actions_ & ChangeFrom;
    case 'q': return actions_ & Quarantine;
    }
    return false;
}

QByteArray Conversation::Feed(const Packet& p)
{
    if (done_)
        return {};
    const char c = p.command;
    static const char* const stages[] = {"negotiation", "connect", "HELO", "MAIL", "RCPT", "DATA", "header", "end of header", "body", "end of message"};
    const auto unexpected = [&] { return Failure("unexpected reply '" + QByteArray(1, c).toPercentEncoding() + "' to " + stages[int(waiting_)]); };
    if (c == 'p')   // progress: the filter is still at it
        return {};
    if (waiting_ == Stage::Negotiate) {
        if (c != 'O' || p.data.size() < 12)
            return unexpected();
        const quint32 version = ReadBe32(p.data, 0);
        if (version < 2)
            return Failure("filter speaks milter version " + QByteArray::number(version));
        actions_ = ReadBe32(p.data, 4) & AllActions;
        flags_ = ReadBe32(p.data, 8) & OfferedFlags;
        Plan(flags_);
        return SendOn();
    }
    switch (c) {
    case 'c':
        return waiting_ == Stage::Eom ? Finish(Result::Continue) : SendOn();
    case 'a':
        if (waiting_ == Stage::Rcpt)   // this recipient, without further questions
            return SendOn();
        return Finish(Result::Accept);
    case 's':
        if (waiting_ != Stage::Body)
            return unexpected();
        while (next_ < steps_.size() && steps_[next_].stage == Stage::Body) ++next_;
        return SendOn();
    case 'd':
        return Finish(Result::Discard);
    case 'r':
    case 't':
    case 'y':
        return Refusal(p);
    case 'h': case 'i': case 'm': case '+': case '2': case '-': case 'e': case 'b': case 'q':
        return waiting_ == Stage::Eom ? TakeChange(p) : unexpected();
    }
    return unexpected();
}

QByteArray Conversation::Refusal(const Packet& p)
{
    const char c = p.command;
    QByteArray reply = c == 'r' ? QByteArray("550 5.7.1 Command rejected") : QByteArray("451 4.7.1 Service unavailable - try again later");
    if (c == 'y') {
        const auto custom = CustomReply(p.data);
        if (!custom)
            return Failure("malformed reply code: " + p.data.left(ShownReply).toPercentEncoding(" <>@.:-_"));
        reply = *custom;
    }
    if (waiting_ == Stage::Rcpt && waitingRcpt_ >= 0) {
        result_.refused.push_back({m_.recipients[waitingRcpt_], reply});
        return SendOn();
    }
    return Finish(reply.startsWith('4') ? Result::Tempfail : Result::Reject, reply);
}

QByteArray Conversation::TakeChange(const Packet& p)
{
    const char c = p.command;
    if (!Allowed(c))
        return Failure("change '" + QByteArray(1, c) + "' the filter did not ask to make");
    if ((changed_ += p.data.size()) > MaxChanges)
        return Failure("changes too large");
    held_.Set(ChangesHeld * changed_);
    if (Budget::Spent(budget_)) {
        result_.why = "the memory budget is spent";
        return Finish(Result::Tempfail, "452 4.3.1 Insufficient system storage");
    }
    Change change{c, 0, {}, {}};
    if (c == 'b') {
        change.value = p.data;
    } else {
        QByteArray data = p.data;
        if (c == 'i' || c == 'm') {
            if (data.size() < 4) return Failure("short header change");
            change.index = ReadBe32(data, 0);
            data = data.mid(4);
        }
        const QList<QByteArray> s = Strings(data);
        if (s.isEmpty()) return Failure("empty change '" + QByteArray(1, c) + "'");
        change.name = s[0];
        change.value = s.value(1);
        if ((c == 'h' || c == 'i' || c == 'm') && !FieldName(change.name))
            return Failure("bad header name in change '" + QByteArray(1, c) + "'");
    }
    result_.changes.push_back(std::move(change));
    return {};
}

}
