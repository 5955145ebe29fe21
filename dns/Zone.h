#pragma once
// DNS data as a zone file writes it.
#include <QByteArray>

namespace Dns {

// A TXT value as quoted character-strings of at most 255 octets each, in a row.
QByteArray Quoted(const QByteArray& value);

}
