#include "core/TlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {
// What OpenSSL's error queue says, as Qt words it, and the queue emptied.
QString Errors()
{
    QString text;
    char line[256] = {};
    while (const unsigned long e = ERR_get_error()) {
        if (!text.isEmpty())
            text += QLatin1String(", ");
        ERR_error_string_n(e, line, sizeof line);
        text += QLatin1String(line);
    }
    return text;
}

constexpr int ReadChunk = 16 << 10;   // one TLS record's text at most
}

TlsSession::TlsSession(std::shared_ptr<SSL_CTX> context) : context_(std::move(context))
{
    ssl_ = SSL_new(context_.get());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (!ssl_ || !in_ || !out_) {
        BIO_free(in_);
        BIO_free(out_);
        in_ = out_ = nullptr;
        Fail(QStringLiteral("Error creating SSL session, %1").arg(Errors()));
        return;
    }
    BIO_set_mem_eof_return(in_, -1);   // no more bytes yet, not the end
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession()
{
    SSL_free(ssl_);   // and its BIOs
}

bool TlsSession::Fail(const QString& what)
{
    error_ = what;
    ERR_clear_error();
    return false;
}

bool TlsSession::Take(const QByteArray& received, QByteArray& text)
{
    if (!error_.isEmpty())
        return false;
    if (!received.isEmpty() && BIO_write(in_, received.constData(), int(received.size())) != int(received.size()))
        return Fail(QStringLiteral("Unable to decrypt data: %1").arg(Errors()));
    if (!done_) {
        const int r = SSL_do_handshake(ssl_);
        if (r != 1) {
            const int e = SSL_get_error(ssl_, r);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
                return true;
            return Fail(QStringLiteral("Error during SSL handshake: %1").arg(Errors()));
        }
        done_ = true;
        // A TLS 1.3 ticket goes out with our next reply, not on its own right after the
        // handshake: a client that reads in one thread while it writes its first command in
        // another (offlineimap, once TLS has begun) can lose that command to a lone ticket.
        ticketDue_ = SSL_version(ssl_) >= TLS1_3_VERSION && !(SSL_get_options(ssl_) & SSL_OP_NO_TICKET);
        Write(std::exchange(held_, {}));
    }
    // Read through a buffer of ours: text given room for a whole record would carry that
    // room into the log, which keeps what was received.
    char chunk[ReadChunk];
    for (;;) {
        const int r = SSL_read(ssl_, chunk, ReadChunk);
        if (r > 0) {
            text.append(chunk, r);
            continue;
        }
        switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
        case SSL_ERROR_ZERO_RETURN:   // the peer's closing alert: the connection's end follows
            return true;
        default:
            return Fail(QStringLiteral("Error while reading: %1").arg(Errors()));
        }
    }
}

void TlsSession::Write(const QByteArray& text)
{
    if (!done_) {
        held_ += text;
        return;
    }
    if (text.isEmpty() || !error_.isEmpty() || Closed())
        return;   // nothing goes out behind our closing alert
    if (std::exchange(ticketDue_, false))
        SSL_new_session_ticket(ssl_);   // written by the SSL_write below, ahead of the text
    // Memory BIOs take all of it: OpenSSL writes it whole, record by record.
    if (SSL_write(ssl_, text.constData(), int(text.size())) <= 0)
        Fail(QStringLiteral("Unable to write data: %1").arg(Errors()));
}

void TlsSession::Close()
{
    if (done_ && error_.isEmpty() && !Closed() && SSL_shutdown(ssl_) < 0)
        ERR_clear_error();
}

QByteArray TlsSession::Output()
{
    QByteArray out;
    if (!out_)
        return out;
    if (const int pending = int(BIO_pending(out_)); pending > 0) {
        out.resize(pending);
        out.resize(std::max(BIO_read(out_, out.data(), pending), 0));
    }
    return out;
}

bool TlsSession::Closed() const { return ssl_ && (SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN); }

QByteArray TlsSession::Protocol() const { return ssl_ ? QByteArray(SSL_get_version(ssl_)) : QByteArray(); }

QByteArray TlsSession::Cipher() const
{
    const SSL_CIPHER* c = ssl_ ? SSL_get_current_cipher(ssl_) : nullptr;
    return c ? QByteArray(SSL_CIPHER_get_name(c)) : QByteArray();
}
