#pragma once
// DKIM key records (RFC 6376 3.6.1) read from DNS, and signatures checked with their keys.
#include <QByteArray>
#include <memory>
#include <openssl/evp.h>

namespace DkimVerify {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A key record of DNS (RFC 6376 3.6.1) for a signature of `algorithm` ("rsa-sha256" or
// "ed25519-sha256") whose i= is in `identityDomain` and d= is `domain` (both lower case).
// Null with `problem` set when it cannot be used.
Pkey ParseKey(const QByteArray& record, const QByteArray& algorithm, const QByteArray& identityDomain, const QByteArray& domain,
              QByteArray& problem);

// Whether `signature` signs `data` with `key`: RSA over its SHA-256 hash; Ed25519 over the
// SHA-256 hash itself (RFC 8463).
bool VerifyData(EVP_PKEY* key, bool ed25519, const QByteArray& data, const QByteArray& signature);

}
