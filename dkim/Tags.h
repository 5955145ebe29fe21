#pragma once
// DKIM tag lists (RFC 6376 3.2), as signatures and key records write them, and the values
// their tags hold.
#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <utility>

namespace DkimVerify {

// A tag list: tag names and values in order, folding white space around them taken out and
// that inside a value kept. False when it does not parse (`error` says why): a tag that is
// no name=value, a name that is not ALPHA *(ALNUM / "_"), a value with characters outside
// VALCHAR, an empty tag between two ";", or a tag given twice; `tags` then holds every tag
// that is well formed, the first of each name.
using Tags = QList<std::pair<QByteArray, QByteArray>>;
bool ParseTags(QByteArrayView text, Tags& tags, QByteArray& error);
// The value of the tag `name`, or null.
const QByteArray* Find(const Tags& tags, const char* name);

bool White(char c);
// A value with its folding white space taken out (base64, i=, h= pieces).
QByteArray Solid(QByteArrayView v);
// A colon-separated list, each element without the white space around it.
QList<QByteArray> Colons(QByteArrayView v);
// Base64 with folding white space in it; false when it is not.
bool Base64(QByteArrayView v, QByteArray& out);
// 1*DIGIT, saturating far beyond any time or length.
bool Number(QByteArrayView v, qint64& n);
// A domain name or selector: dot-separated labels of letters, digits, "-" and "_".
bool DomainName(QByteArrayView name);

}
