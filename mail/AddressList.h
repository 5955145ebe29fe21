#pragma once
// Address lists (RFC 5322 3.4) as mail readers read them: angle addresses, bare addresses,
// the members of groups; display names, comments and quoted strings around them left out.
#include "mail/Domain.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace Mail {

struct AddressList {
    // Each mailbox's address, blanks taken out, in the order written.
    QList<QByteArray> addresses;
    // False when a quote, comment or angle bracket is left open, or a mailbox shows two
    // addresses: nobody could say which address it means. `addresses` then holds what was seen.
    bool readable = true;

    static AddressList Parse(QByteArrayView value);
    // The domain of the first address ("" when there is none).
    Domain FirstDomain() const;
};

}
