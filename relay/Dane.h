#pragma once
// DANE for the mail we relay (RFC 7672): the TLSA records of an exchanger, found in a zone
// our resolver validated, say which certificate it must show.
#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <optional>

namespace Dane {

struct Record {
    int usage = 0, selector = 0, matching = 0;
    QByteArray data;
};

// A record as the resolver gives it ("3 1 1 <hex>"); none when it is not one we can use:
// usages 2 (DANE-TA) and 3 (DANE-EE), selectors 0 and 1, matching types 0, 1 and 2.
std::optional<Record> Usable(const QByteArray& text);

// Whether the chain the exchanger `host` showed (its own certificate first) matches one of
// the records: its own certificate a DANE-EE one, whatever its names and dates; or a chain,
// valid for `host`, from a certificate a DANE-TA record names.
bool Matches(const QList<Record>& records, const QList<QSslCertificate>& chain, const QByteArray& host);

}
