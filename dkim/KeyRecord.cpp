#include "dkim/KeyRecord.h"
#include "dkim/Canonical.h"
#include "dkim/DkimVerify.h"
#include "dkim/Tags.h"

#include <openssl/x509.h>

namespace DkimVerify {
namespace {

// An Ed25519 public key has this many bytes.
constexpr qsizetype Ed25519Bytes = 32;

// What the tags of a key record say against its use for this signature; "" when nothing.
// `type` gets its key type.
QByteArray TagProblem(const Tags& tags, const QByteArray& algorithm, const QByteArray& identityDomain, const QByteArray& domain,
                      QByteArray& type)
{
    if (const QByteArray* v = Find(tags, "v"); v && (*v != "DKIM1" || tags.first().first != "v"))
        return *v != "DKIM1" ? "key record is not v=DKIM1" : "key record has v= after other tags";
    if (const QByteArray* h = Find(tags, "h"); h && !Colons(*h).contains("sha256"))
        return "key h= does not allow sha256";
    const QByteArray* k = Find(tags, "k");
    type = k ? *k : QByteArray("rsa");
    if (type != "rsa" && type != "ed25519")
        return "key k= is not a known key type";
    if (!algorithm.startsWith(type + '-'))
        return "key type " + type + " does not match a=" + algorithm;
    if (const QByteArray* s = Find(tags, "s"); s) {
        const QList<QByteArray> services = Colons(*s);
        if (!services.contains("*") && !services.contains("email"))
            return "key s= is not for email";
    }
    if (const QByteArray* t = Find(tags, "t"); t && Colons(*t).contains("s") && identityDomain != domain)
        return "key t=s does not allow i= in a subdomain";
    const QByteArray* p = Find(tags, "p");
    if (!p)
        return "key record has no p=";
    if (Solid(*p).isEmpty())
        return "key revoked";
    return {};
}

// The public key of p=, of `type`.
Pkey PublicKey(const QByteArray& der, const QByteArray& type, QByteArray& problem)
{
    const auto* data = reinterpret_cast<const unsigned char*>(der.constData());
    Pkey key;
    if (type == "ed25519") {
        if (der.size() == Ed25519Bytes)
            key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, data, size_t(der.size())));
        if (!key)
            problem = "key p= is not an Ed25519 key";
        return key;
    }
    const unsigned char* at = data;
    key.reset(d2i_PUBKEY(nullptr, &at, long(der.size())));   // SubjectPublicKeyInfo, as RFC 6376 says
    if (!key) {
        at = data;   // a bare RSAPublicKey, as some publish
        key.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &at, long(der.size())));
    }
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) {
        problem = "key p= is not an RSA key";
        return nullptr;
    }
    if (const int bits = EVP_PKEY_get_bits(key.get()); bits < MinRsaBits) {
        problem = "key too short: " + QByteArray::number(bits) + " bits";
        return nullptr;
    }
    return key;
}

}

Pkey ParseKey(const QByteArray& record, const QByteArray& algorithm, const QByteArray& identityDomain, const QByteArray& domain,
              QByteArray& problem)
{
    Tags tags;
    QByteArray error, type, der;
    if (!ParseTags(record, tags, error)) {
        problem = "key record does not parse: " + error;
        return nullptr;
    }
    problem = TagProblem(tags, algorithm, identityDomain, domain, type);
    if (!problem.isEmpty())
        return nullptr;
    if (!Base64(*Find(tags, "p"), der) || der.isEmpty()) {
        problem = "key p= is not base64";
        return nullptr;
    }
    return PublicKey(der, type, problem);
}

bool VerifyData(EVP_PKEY* key, bool ed25519, const QByteArray& data, const QByteArray& signature)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx)
        return false;
    const QByteArray input = ed25519 ? Dkim::Sha256(data) : data;
    if (ed25519 && input.isEmpty())
        return false;
    return EVP_DigestVerifyInit(ctx.get(), nullptr, ed25519 ? nullptr : EVP_sha256(), nullptr, key) == 1
           && EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.constData()), size_t(signature.size()),
                               reinterpret_cast<const unsigned char*>(input.constData()), size_t(input.size()))
                  == 1;
}

}
