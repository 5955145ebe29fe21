#include "relay/Dane.h"

#include <QCryptographicHash>
#include <memory>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace Dane {

namespace {

enum Usage { DaneTa = 2, DaneEe = 3 };
enum Selector { FullCertificate = 0, PublicKey = 1 };
enum Matching { Exact = 0, Sha256 = 1, Sha512 = 2 };
constexpr int Fields = 4;

template <typename T>
using Owned = std::unique_ptr<T, void (*)(T*)>;
using Cert = Owned<X509>;

Cert Read(const QSslCertificate& c)
{
    const QByteArray der = c.toDer();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    return Cert(d2i_X509(nullptr, &p, long(der.size())), X509_free);
}

void FreeAll(STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); }

// What a record's selector picks of the certificate, as DER.
QByteArray Selected(const QSslCertificate& c, int selector)
{
    if (selector == FullCertificate)
        return c.toDer();
    const Cert x = Read(c);
    unsigned char* der = nullptr;
    const int n = x ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x.get()), &der) : -1;
    if (n <= 0)
        return {};
    QByteArray key(reinterpret_cast<const char*>(der), n);
    OPENSSL_free(der);
    return key;
}

bool Names(const Record& r, const QSslCertificate& c)
{
    const QByteArray data = Selected(c, r.selector);
    if (data.isEmpty())
        return false;
    switch (r.matching) {
    case Sha256: return QCryptographicHash::hash(data, QCryptographicHash::Sha256) == r.data;
    case Sha512: return QCryptographicHash::hash(data, QCryptographicHash::Sha512) == r.data;
    default: return data == r.data;
    }
}

// The chain, the peer's certificate first, leads to `anchor` and is valid for `host`.
bool Chains(const QList<QSslCertificate>& chain, const QSslCertificate& anchor, const QByteArray& host)
{
    const Owned<X509_STORE> store(X509_STORE_new(), X509_STORE_free);
    const Owned<STACK_OF(X509)> others(sk_X509_new_null(), FreeAll);
    const Owned<X509_STORE_CTX> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    const Cert leaf = Read(chain.front()), trusted = Read(anchor);
    if (!store || !others || !ctx || !leaf || !trusted || X509_STORE_add_cert(store.get(), trusted.get()) != 1)
        return false;
    for (qsizetype i = 1; i < chain.size(); ++i)
        if (Cert c = Read(chain[i]); c && sk_X509_push(others.get(), c.get()) > 0)
            (void)c.release();   // the stack owns it now
    if (X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), others.get()) != 1)
        return false;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);   // the anchor need not be a root
    X509_VERIFY_PARAM_set1_host(param, host.constData(), size_t(host.size()));
    return X509_verify_cert(ctx.get()) == 1;
}

}

std::optional<Record> Usable(const QByteArray& text)
{
    const QList<QByteArray> parts = text.simplified().split(' ');
    if (parts.size() != Fields)
        return std::nullopt;
    Record r{parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), QByteArray::fromHex(parts[3])};
    const bool usable = (r.usage == DaneTa || r.usage == DaneEe) && (r.selector == FullCertificate || r.selector == PublicKey)
                        && r.matching >= Exact && r.matching <= Sha512 && !r.data.isEmpty();
    return usable ? std::optional(r) : std::nullopt;
}

bool Matches(const QList<Record>& records, const QList<QSslCertificate>& chain, const QByteArray& host)
{
    if (chain.isEmpty())
        return false;
    for (const Record& r : records) {
        if (r.usage == DaneEe && Names(r, chain.front()))
            return true;
        for (qsizetype i = 0; r.usage == DaneTa && i < chain.size(); ++i)
            if (Names(r, chain[i]) && Chains(chain, chain[i], host))
                return true;
    }
    return false;
}

}
