#pragma once
// Keys made with OpenSSL for the DKIM tests: the private half as PEM, the record that
// publishes the public half, a signature over given data, and our signer holding them.
#include "dkim/Dkim.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

struct Key {
    QByteArray pem;      // private, PEM
    QByteArray record;   // the TXT record that publishes the public half
    QByteArray der;      // the public half as SubjectPublicKeyInfo (RSA) or raw (Ed25519)
};

using Pkey = std::shared_ptr<EVP_PKEY>;
inline Pkey Private(const QByteArray& pem)
{
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    return Pkey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
}

// `type` is "RSA" (of `bits`), "EC" (P-256, published as if it were RSA) or "ED25519".
inline Key MakeKey(const char* type, int bits = 0)
{
    const Pkey key(qstrcmp(type, "RSA") == 0  ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(bits))
                   : qstrcmp(type, "EC") == 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                                              : EVP_PKEY_Q_keygen(nullptr, nullptr, type),
                   EVP_PKEY_free);
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    Key k{QByteArray(data, qsizetype(n)), {}, {}};
    if (qstrcmp(type, "ED25519") == 0) {
        size_t length = 32;
        k.der.resize(qsizetype(length));
        EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(k.der.data()), &length);
        k.record = "v=DKIM1; k=ed25519; p=" + k.der.toBase64();
    } else {
        unsigned char* der = nullptr;
        k.der = QByteArray(reinterpret_cast<const char*>(der), i2d_PUBKEY(key.get(), &der));
        OPENSSL_free(der);
        k.record = "v=DKIM1; k=rsa; p=" + k.der.toBase64();
    }
    return k;
}

// One key of each kind for the whole run: making them takes a while.
inline const Key& Rsa() { static const Key k = MakeKey("RSA", 2048); return k; }
inline const Key& Rsa1024() { static const Key k = MakeKey("RSA", 1024); return k; }
inline const Key& Rsa512() { static const Key k = MakeKey("RSA", 512); return k; }
inline const Key& Ed() { static const Key k = MakeKey("ED25519"); return k; }
inline const Key& Ec() { static const Key k = MakeKey("EC"); return k; }

// A DKIM signature of `data` (rsa-sha256, or ed25519-sha256 over its SHA-256).
inline QByteArray SignData(const QByteArray& pem, bool ed25519, const QByteArray& data)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const QByteArray input = ed25519 ? QCryptographicHash::hash(data, QCryptographicHash::Sha256) : data;
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    size_t length = 0;
    const Pkey key = Private(pem);
    EVP_DigestSignInit(ctx.get(), nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(ctx.get(), nullptr, &length, in, size_t(input.size()));
    QByteArray signature(qsizetype(length), '\0');
    EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, in, size_t(input.size()));
    signature.truncate(qsizetype(length));
    return signature;
}

// Our signer for example.test: Rsa() under `selector`, Ed() under "ed" beside it when asked.
inline Dkim::Signer Signing(const QByteArray& selector = "sel", bool ed25519 = false)
{
    std::vector<Dkim::Key> keys{{Private(Rsa().pem), selector, false}};
    if (ed25519)
        keys.push_back({Private(Ed().pem), "ed", true});
    return Dkim::Signer(std::move(keys), QStringLiteral("Example.Test."));
}
