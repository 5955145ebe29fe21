#pragma once
// The organisational domain of a name (RFC 7489 3.2) by the public suffix list
// (https://publicsuffix.org/list/), as Debian's libpsl reads it.
#include <QByteArray>

namespace PublicSuffix {

// The public suffix and one label more; the domain itself when it is a public suffix. A name no
// rule matches has its last label as suffix (the list's implicit rule "*"). Lower case, no
// final dot, A-labels. Thread-safe.
QByteArray OrganizationalDomain(const QByteArray& domain);

// Lower case, no final dot, A-labels for a name in UTF-8.
QByteArray Normalized(const QByteArray& domain);

}
