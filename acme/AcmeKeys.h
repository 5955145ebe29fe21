#pragma once
// The keys of certificates from an ACME server: the account's key, which signs every request
// (JWS, ES256), and the certificate's key, kept across renewals, whose request (CSR) names what
// it covers.
// All of it OpenSSL's; P-256 keys throughout.
#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <openssl/types.h>

class AcmeKey {
public:
    // The key in the PEM file `path`, made and written there (owner only) when the file is
    // missing. Throws Failure.
    static AcmeKey LoadOrMake(const QString& path);
    // A new key, not yet on disk.
    static AcmeKey Make();

    // The public half as a JSON Web Key (RFC 7517), and its thumbprint (RFC 7638), base64url.
    QJsonObject Jwk() const;
    QByteArray Thumbprint() const;
    // A flattened JWS of `payload` (empty: a POST-as-GET) with the protected header `header`,
    // to which alg is added. Throws Failure.
    QByteArray Sign(QJsonObject header, const QByteArray& payload) const;
    // A certificate request for `names`, DER. Throws Failure.
    QByteArray Request(const QStringList& names) const;
    QByteArray Pem() const;

private:
    std::shared_ptr<EVP_PKEY> key_;
};

// Base64url without padding, as every ACME field is encoded.
QByteArray Base64Url(const QByteArray& data);
