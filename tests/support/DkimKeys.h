#pragma once
// Keys made with OpenSSL for the DKIM tests: the private half as PEM, the record that
// publishes the public half, and a signature over given data.
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

inline EVP_PKEY* Private(const QByteArray& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    return key;
}

// `type` is "RSA" (of `bits`), "EC" (P-256, published as if it were RSA) or "ED25519".
inline Key MakeKey(const char* type, int bits = 0)
{
    EVP_PKEY* key = qstrcmp(type, "RSA") == 0   ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(bits))
                    : qstrcmp(type, "EC") == 0 ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                                               : EVP_PKEY_Q_keygen(nullptr, nullptr, type);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    Key k;
    k.pem = QByteArray(data, qsizetype(n));
    BIO_free(bio);
    if (qstrcmp(type, "ED25519") == 0) {
        unsigned char raw[32];
        size_t length = sizeof raw;
        EVP_PKEY_get_raw_public_key(key, raw, &length);
        k.der = QByteArray(reinterpret_cast<const char*>(raw), qsizetype(length));
        k.record = "v=DKIM1; k=ed25519; p=" + k.der.toBase64();
    } else {
        unsigned char* der = nullptr;
        const int length = i2d_PUBKEY(key, &der);
        k.der = QByteArray(reinterpret_cast<const char*>(der), length);
        OPENSSL_free(der);
        k.record = "v=DKIM1; k=rsa; p=" + k.der.toBase64();
    }
    EVP_PKEY_free(key);
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
    EVP_PKEY* key = Private(pem);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const QByteArray input = ed25519 ? QCryptographicHash::hash(data, QCryptographicHash::Sha256) : data;
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    size_t length = 0;
    EVP_DigestSignInit(ctx, nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, key);
    EVP_DigestSign(ctx, nullptr, &length, in, size_t(input.size()));
    QByteArray signature(qsizetype(length), '\0');
    EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(signature.data()), &length, in, size_t(input.size()));
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    signature.truncate(qsizetype(length));
    return signature;
}
