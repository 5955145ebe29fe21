#include "mail/AddressList.h"

namespace Mail {
namespace {

// One pass over the list, one character at a time.
class Reader {
public:
    explicit Reader(AddressList& out) : out_(out) {}
    void Read(QByteArrayView value);

private:
    void Take();
    bool Inside(QByteArrayView value, qsizetype& i);
    void Outside(char c);

    AddressList& out_;
    QByteArray plain_, angled_, after_;   // after_: what follows an angle address in its mailbox
    bool quoted_ = false, literal_ = false, inAngle_ = false, seenAngle_ = false, twice_ = false;
    int comment_ = 0;
};

QByteArray& Into(bool inAngle, bool seenAngle, QByteArray& plain, QByteArray& angled, QByteArray& after)
{
    return inAngle ? angled : seenAngle ? after : plain;
}

void Reader::Take()
{
    QByteArray a = seenAngle_ ? angled_ : plain_;
    if (seenAngle_ && a.startsWith('@') && a.contains(':'))   // an obsolete route: @a,@b:user@host
        a = a.mid(a.indexOf(':') + 1);
    if (seenAngle_ && !after_.trimmed().isEmpty())   // two addresses in one mailbox
        twice_ = true;
    a = a.simplified().replace(" ", "");
    if (!a.isEmpty())
        out_.addresses << a;
    plain_.clear();
    angled_.clear();
    after_.clear();
    seenAngle_ = false;
}

// Inside a comment, a quoted string or a domain literal: true when the character was theirs.
bool Reader::Inside(QByteArrayView value, qsizetype& i)
{
    const char c = value[i];
    if (comment_ > 0) {
        if (c == '\\')
            ++i;
        else if (c == '(')
            ++comment_;
        else if (c == ')')
            --comment_;
        return true;
    }
    if (!quoted_ && !literal_)
        return false;
    QByteArray& into = Into(inAngle_, seenAngle_, plain_, angled_, after_);
    if (c == '\\' && i + 1 < value.size()) {
        into += value.sliced(i++, 2);
        return true;
    }
    into += c;
    if (c == (quoted_ ? '"' : ']'))
        quoted_ = literal_ = false;
    return true;
}

void Reader::Outside(char c)
{
    if (c == '"' || c == '[') {
        (c == '"' ? quoted_ : literal_) = true;
        Into(inAngle_, seenAngle_, plain_, angled_, after_) += c;
    } else if (c == '(') {
        comment_ = 1;
    } else if (c == '<' && !inAngle_) {
        twice_ = twice_ || seenAngle_;
        inAngle_ = seenAngle_ = true;
    } else if (c == '>' && inAngle_) {
        inAngle_ = false;
    } else if (inAngle_) {
        angled_ += c;
    } else if (c == ',' || c == ';') {
        Take();
    } else if (c == ':' && !seenAngle_) {   // a group's name: its members follow
        plain_.clear();
    } else {
        Into(inAngle_, seenAngle_, plain_, angled_, after_) += c;
    }
}

void Reader::Read(QByteArrayView value)
{
    for (qsizetype i = 0; i < value.size(); ++i)
        if (!Inside(value, i))
            Outside(value[i]);
    const bool open = quoted_ || literal_ || comment_ > 0 || inAngle_;
    Take();
    out_.readable = !open && !twice_;
}

}

AddressList AddressList::Parse(QByteArrayView value)
{
    AddressList list;
    Reader(list).Read(value);
    return list;
}

Domain AddressList::FirstDomain() const
{
    return addresses.isEmpty() ? Domain() : Address::Parse(addresses.first()).domain;
}

}
