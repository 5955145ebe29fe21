#include "core/TlsResume.h"

#include <QDateTime>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

namespace TlsResume {
namespace {

struct Key {
    unsigned char name[16];
    unsigned char aes[32];
    unsigned char hmac[32];
    qint64 since = 0;   // seconds since the epoch
};

struct Keys {
    std::mutex lock;   // OpenSSL may call from any thread; we have one, but keep it cheap and safe
    Key current, previous;
    bool havePrevious = false;
    bool on = false;
    int index = -1;
    qint64 offset = 0;   // AgeKeys
} keys;

qint64 Now() { return QDateTime::currentSecsSinceEpoch() + keys.offset; }

bool Draw(Key& k)
{
    k.since = Now();
    return RAND_bytes(k.name, sizeof k.name) == 1 && RAND_bytes(k.aes, sizeof k.aes) == 1
           && RAND_bytes(k.hmac, sizeof k.hmac) == 1;
}

// Under the lock: the current key replaced once it is old enough, the previous one forgotten after as long again.
void Rotate()
{
    const qint64 now = Now();
    if (now - keys.current.since < RotateSeconds)
        return;
    if (now - keys.current.since < 2 * RotateSeconds) {
        keys.previous = keys.current;
        keys.havePrevious = true;
    } else {
        keys.havePrevious = false;
    }
    if (!Draw(keys.current))
        keys.current.since = 0;   // no randomness: no tickets until it comes back
}

// Looked up once: the cipher of OpenSSL's tables would be looked up again for every ticket.
const EVP_CIPHER* TicketCipher()
{
    static EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    return cipher;
}

bool Use(const Key& k, const unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int enc)
{
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
                           OSSL_PARAM_construct_end()};
    return TicketCipher() && EVP_MAC_init(mac, k.hmac, sizeof k.hmac, params) == 1
           && EVP_CipherInit_ex(cipher, TicketCipher(), nullptr, k.aes, iv, enc) == 1;
}

// OpenSSL's ticket key callback: 1 done, 2 done and give a new ticket, 0 no such key (a full
// handshake), -1 failure.
int TicketKey(SSL*, unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int enc)
{
    const std::lock_guard guard(keys.lock);
    Rotate();
    if (enc) {
        if (keys.current.since == 0)
            return 0;
        const int ivLength = TicketCipher() ? EVP_CIPHER_get_iv_length(TicketCipher()) : 0;
        if (RAND_bytes(iv, ivLength) != 1)
            return -1;
        std::copy(std::begin(keys.current.name), std::end(keys.current.name), name);
        return Use(keys.current, iv, cipher, mac, 1) ? 1 : -1;
    }
    if (keys.current.since != 0 && std::equal(name, name + 16, keys.current.name))
        return Use(keys.current, iv, cipher, mac, 0) ? 1 : -1;
    if (keys.havePrevious && std::equal(name, name + 16, keys.previous.name))
        return Use(keys.previous, iv, cipher, mac, 0) ? 2 : -1;
    return 0;
}

// The TLS 1.2 session cache, for clients that resume by session ID rather than by ticket:
// the sessions in OpenSSL's DER form, the oldest dropped first beyond Most.
struct Cache {
    static constexpr size_t Most = 20000;
    struct Entry {
        std::string der;
        qint64 until;
    };
    std::unordered_map<std::string, Entry> sessions;
    std::deque<std::string> order;
} cache;

std::string IdOf(const unsigned char* id, unsigned length) { return std::string(reinterpret_cast<const char*>(id), length); }

int CacheNew(SSL* ssl, SSL_SESSION* session)
{
    if (SSL_version(ssl) >= TLS1_3_VERSION)
        return 0;   // TLS 1.3 resumes by ticket only
    unsigned length = 0;
    const unsigned char* id = SSL_SESSION_get_id(session, &length);
    const int size = i2d_SSL_SESSION(session, nullptr);
    if (!length || size <= 0)
        return 0;
    std::string der(size_t(size), '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_SSL_SESSION(session, &out) != size)
        return 0;
    const std::lock_guard guard(keys.lock);
    auto [it, added] = cache.sessions.insert_or_assign(IdOf(id, length),
                                                      Cache::Entry{std::move(der), SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session)});
    if (added)
        cache.order.push_back(it->first);
    while (cache.order.size() > Cache::Most) {
        cache.sessions.erase(cache.order.front());
        cache.order.pop_front();
    }
    return 0;   // we hold no reference to `session`
}

SSL_SESSION* CacheGet(SSL*, const unsigned char* id, int length, int* copy)
{
    *copy = 0;
    const std::lock_guard guard(keys.lock);
    const auto it = cache.sessions.find(IdOf(id, unsigned(length)));
    if (it == cache.sessions.end() || it->second.until < QDateTime::currentSecsSinceEpoch())
        return nullptr;   // a stale one leaves with the oldest
    const auto* in = reinterpret_cast<const unsigned char*>(it->second.der.data());
    return d2i_SSL_SESSION(nullptr, &in, long(it->second.der.size()));
}

void CacheRemove(SSL_CTX*, SSL_SESSION* session)
{
    unsigned length = 0;
    const unsigned char* id = SSL_SESSION_get_id(session, &length);
    const std::lock_guard guard(keys.lock);
    cache.sessions.erase(IdOf(id, length));   // its place in `order` goes when its turn comes
}

// Called by OpenSSL for every SSL_CTX made, Qt's included: ours is the only way in before
// Qt's socket takes the peer's hello.
void NewContext(void* parent, void*, CRYPTO_EX_DATA*, int, long, void*)
{
    auto* ctx = static_cast<SSL_CTX*>(parent);
    if (!ctx)
        return;
    if (!keys.on) {
        SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        return;
    }
    static const unsigned char context[] = "tandrivel";
    SSL_CTX_set_session_id_context(ctx, context, sizeof context - 1);
    SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, TicketKey);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_INTERNAL);
    SSL_CTX_sess_set_new_cb(ctx, CacheNew);
    SSL_CTX_sess_set_get_cb(ctx, CacheGet);
    SSL_CTX_sess_set_remove_cb(ctx, CacheRemove);
}

}

void Install(bool on)
{
    const std::lock_guard guard(keys.lock);
    if (keys.index >= 0)
        return;
    keys.on = on;
    if (on && !Draw(keys.current))
        keys.current.since = 0;
    keys.index = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_SSL_CTX, 0, nullptr, NewContext, nullptr, nullptr);
}

void AgeKeys(qint64 seconds)
{
    const std::lock_guard guard(keys.lock);
    keys.offset += seconds;
}

ClientTickets& Relay()
{
    static ClientTickets tickets;
    return tickets;
}

void ClientTickets::Keep(const QString& peer, const QByteArray& ticket)
{
    if (ticket.isEmpty())
        return;
    if (!tickets_.contains(peer)) {
        order_.append(peer);
        if (order_.size() > Most)
            tickets_.remove(order_.takeFirst());
    }
    tickets_.insert(peer, ticket);
}

}
