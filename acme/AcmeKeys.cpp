#include "acme/AcmeKeys.h"
#include "core/DurableFile.h"
#include "core/Failure.h"

#include <QFile>
#include <QJsonDocument>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {
constexpr int CoordinateBytes = 32;   // P-256

Failure Fault(const char* what)
{
    char reason[256] = "";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    ERR_clear_error();
    return Failure(Err::InvalidArgument, QStringLiteral("ACME key: %1: %2").arg(QLatin1String(what), QLatin1String(reason)));
}

template <auto Free> struct Freer {
    template <class T> void operator()(T* p) const { Free(p); }
};
template <class T, auto Free> using Owned = std::unique_ptr<T, Freer<Free>>;
using Bio = Owned<BIO, BIO_free_all>;
using Bignum = Owned<BIGNUM, BN_free>;

void FreeExtensions(STACK_OF(X509_EXTENSION) * s) { sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free); }

// A bignum as the fixed-size big-endian number JWK and JWS write.
QByteArray Fixed(const BIGNUM* n)
{
    QByteArray out(CoordinateBytes, '\0');
    BN_bn2binpad(n, reinterpret_cast<unsigned char*>(out.data()), CoordinateBytes);
    return out;
}

QByteArray Coordinate(EVP_PKEY* key, const char* name)
{
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &raw))
        throw Fault("no public point");
    const Bignum n(raw);
    return Base64Url(Fixed(n.get()));
}
}

QByteArray Base64Url(const QByteArray& data) { return data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals); }

AcmeKey AcmeKey::Make()
{
    AcmeKey k;
    k.key_.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!k.key_)
        throw Fault("cannot make a key");
    return k;
}

AcmeKey AcmeKey::LoadOrMake(const QString& path)
{
    QFile file(path);
    if (!file.exists()) {
        AcmeKey k = Make();
        DurableFile::Replace(path, k.Pem(), true, true);
        return k;
    }
    if (!file.open(QIODevice::ReadOnly))
        throw Failure(Err::PermissionDenied, QStringLiteral("ACME key: cannot read %1: %2").arg(path, file.errorString()));
    const QByteArray pem = file.readAll();
    const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    AcmeKey k;
    k.key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!k.key_ || !EVP_PKEY_is_a(k.key_.get(), "EC"))
        throw Fault("not a P-256 key in PEM");
    return k;
}

QByteArray AcmeKey::Pem() const
{
    const Bio bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr))
        throw Fault("cannot write the key");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, size);
}

QJsonObject AcmeKey::Jwk() const
{
    return {{QStringLiteral("crv"), QStringLiteral("P-256")},
            {QStringLiteral("kty"), QStringLiteral("EC")},
            {QStringLiteral("x"), QString::fromLatin1(Coordinate(key_.get(), OSSL_PKEY_PARAM_EC_PUB_X))},
            {QStringLiteral("y"), QString::fromLatin1(Coordinate(key_.get(), OSSL_PKEY_PARAM_EC_PUB_Y))}};
}

QByteArray AcmeKey::Thumbprint() const
{
    // The members in lexical order without spaces, as QJsonDocument writes an object compactly.
    const QByteArray canonical = QJsonDocument(Jwk()).toJson(QJsonDocument::Compact);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(canonical.constData(), size_t(canonical.size()), digest, &size, EVP_sha256(), nullptr))
        throw Fault("cannot hash the key");
    return Base64Url(QByteArray(reinterpret_cast<const char*>(digest), int(size)));
}

QByteArray AcmeKey::Sign(QJsonObject header, const QByteArray& payload) const
{
    header.insert(QStringLiteral("alg"), QStringLiteral("ES256"));
    const QByteArray protectedPart = Base64Url(QJsonDocument(header).toJson(QJsonDocument::Compact));
    const QByteArray payloadPart = Base64Url(payload);
    const QByteArray input = protectedPart + '.' + payloadPart;
    const Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx(EVP_MD_CTX_new());
    size_t size = 0;
    if (!ctx || !EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get())
        || !EVP_DigestSign(ctx.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(input.constData()), size_t(input.size())))
        throw Fault("cannot sign");
    QByteArray der(qsizetype(size), '\0');
    if (!EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &size, reinterpret_cast<const unsigned char*>(input.constData()),
                        size_t(input.size())))
        throw Fault("cannot sign");
    // JWS wants r and s side by side, not OpenSSL's DER sequence.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    const Owned<ECDSA_SIG, ECDSA_SIG_free> sig(d2i_ECDSA_SIG(nullptr, &p, long(size)));
    if (!sig)
        throw Fault("cannot read the signature");
    const QByteArray raw = Fixed(ECDSA_SIG_get0_r(sig.get())) + Fixed(ECDSA_SIG_get0_s(sig.get()));
    const QJsonObject jws{{QStringLiteral("protected"), QString::fromLatin1(protectedPart)},
                          {QStringLiteral("payload"), QString::fromLatin1(payloadPart)},
                          {QStringLiteral("signature"), QString::fromLatin1(Base64Url(raw))}};
    return QJsonDocument(jws).toJson(QJsonDocument::Compact);
}

QByteArray AcmeKey::Request(const QStringList& names) const
{
    const Owned<X509_REQ, X509_REQ_free> req(X509_REQ_new());
    QByteArray alt;
    for (const QString& name : names)
        alt += (alt.isEmpty() ? "DNS:" : ",DNS:") + name.toUtf8();
    const QByteArray first = names.value(0).toUtf8();
    X509_NAME* subject = req ? X509_REQ_get_subject_name(req.get()) : nullptr;
    if (!subject || !X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(first.constData()), -1, -1, 0)
        || !X509_REQ_set_pubkey(req.get(), key_.get()))
        throw Fault("cannot make the certificate request");
    const Owned<STACK_OF(X509_EXTENSION), FreeExtensions> extensions(sk_X509_EXTENSION_new_null());
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, alt.constData());
    if (!extensions || !san || !sk_X509_EXTENSION_push(extensions.get(), san) || !X509_REQ_add_extensions(req.get(), extensions.get())
        || !X509_REQ_sign(req.get(), key_.get(), EVP_sha256()))
        throw Fault("cannot make the certificate request");
    unsigned char* der = nullptr;
    const int size = i2d_X509_REQ(req.get(), &der);
    if (size <= 0)
        throw Fault("cannot write the certificate request");
    const QByteArray out(reinterpret_cast<const char*>(der), size);
    OPENSSL_free(der);
    return out;
}
