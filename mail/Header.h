#pragma once
// The header of a message text as stored: lines with CR LF, dot-stuffed as received after
// DATA (one leading dot of a line is not the message's). Read once into its fields, where the
// body starts, and what the text says of its own line ends and its way here.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <vector>

namespace Mail {

// One header field: its name as written (blanks before the colon left out) and the whole
// field as the message has it: folds and line ends kept, the stuffed dot taken out. `at` and
// `size` give its lines in the stored text.
struct Field {
    QByteArray name;
    QByteArray raw;
    qsizetype at = 0;
    qsizetype size = 0;

    bool Is(QByteArrayView fieldName) const { return name.compare(fieldName, Qt::CaseInsensitive) == 0; }
    // What follows the colon, unfolded: its line ends taken out, blanks kept.
    QByteArray Value() const;
};

// The fields up to the empty line. A line that is neither a field nor the continuation of one
// ("odd") does not end the header: fields after it still count for what a reader might take
// for one, but the header is not `Readable`, and `Leading` fields come before it.
class Header {
public:
    explicit Header(const QByteArray& stored);

    const std::vector<Field>& Fields() const { return fields_; }
    // Whether every line before the empty line is a field or a continuation of the one above.
    bool Readable() const { return readable_; }
    // How many fields come before the first odd line (all when there is none).
    size_t Leading() const { return leading_; }
    // Where the first odd line, or else the empty line, starts in the stored text.
    qsizetype FieldsEnd() const { return fieldsEnd_; }
    // Where the empty line starts (the text's size when there is none), and where the body
    // starts after it.
    qsizetype EmptyLine() const { return emptyLine_; }
    qsizetype BodyStart() const { return bodyStart_; }

    // The values of the fields named `name` (any letter case), unfolded.
    QList<QByteArray> Values(QByteArrayView name) const;
    // The Received: fields: each one relay the message passed.
    int Hops() const;

private:
    std::vector<Field> fields_;
    size_t leading_ = 0;
    bool readable_ = true;
    qsizetype fieldsEnd_ = 0, emptyLine_ = 0, bodyStart_ = 0;
};

// The text as the client meant it: the stuffed dot of each line taken out.
QByteArray Unstuffed(QByteArrayView stored);
// A text stored as SMTP stores it: a leading dot doubled.
QByteArray Stuffed(QByteArrayView text);

// Every line end (CR, LF or CR LF) as CR LF, the text ending with one unless empty.
QByteArray WithCrLf(QByteArrayView text);

// A CR or LF that is not part of a CR LF pair: a receiver that takes one for a line end
// could be made to see a second, forged message.
bool BareLineEnd(QByteArrayView text);

// Where the body starts in a text read in pieces: feed each piece in order; the offset after
// the empty line once found (a text that starts with its empty line has an empty header),
// -1 until then. Only CR LF ends a line here.
class BodyFinder {
public:
    qint64 Feed(QByteArrayView piece);

private:
    qint64 seen_ = 0;
    qint64 body_ = -1;
    int matched_ = 0;   // how much of "\r\n\r\n" the last bytes matched
};

}
