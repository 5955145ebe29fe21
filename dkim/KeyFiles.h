#pragma once
// The signing keys the settings name, as the signer uses them.
#include <QByteArray>
#include <memory>
#include <openssl/evp.h>

namespace Dkim {

struct Key {
    std::shared_ptr<EVP_PKEY> pkey;
    QByteArray selector;
    bool ed25519 = false;
    QByteArray Algorithm() const { return ed25519 ? "ed25519-sha256" : "rsa-sha256"; }
};

// What OpenSSL said last, for a log line.
QByteArray OpenSslError();

}
