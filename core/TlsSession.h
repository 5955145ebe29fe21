#pragma once
#include <QByteArray>
#include <QString>
#include <algorithm>
#include <memory>
#include <utility>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

// TLS as the server over a connection whose bytes the connection manager carries itself:
// what the peer sent goes in (Take), what is to go to the peer comes out (Output). Every
// session of a certificate shares its one SSL_CTX (see TlsContext): a connection costs no
// context, key check or ticket set-up of its own, and a resumed handshake only its own work.
class TlsSession {
public:
    explicit TlsSession(std::shared_ptr<SSL_CTX> context);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Bytes from the peer; the text they decrypt to is added to `text`. False once the
    // session has failed (Error says why).
    bool Take(const QByteArray& received, QByteArray& text);
    // Text for the peer: sent once the handshake is done.
    void Write(const QByteArray& text);
    // Our closing alert, once.
    void Close();
    // What is to be sent to the peer now.
    QByteArray Output();

    bool Done() const { return done_; }
    QByteArray Protocol() const;   // "TLSv1.3"
    QByteArray Cipher() const;     // "TLS_AES_256_GCM_SHA384"
    const QString& Error() const { return error_; }

private:
    bool Fail(const QString& what);
    bool Closed() const;
    std::shared_ptr<SSL_CTX> context_;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;    // the peer's bytes, for OpenSSL to read; owned by ssl_
    BIO* out_ = nullptr;   // what OpenSSL wrote for the peer; owned by ssl_
    bool done_ = false;
    bool ticketDue_ = false;   // a TLS 1.3 ticket to send with the next text
    QByteArray held_;      // text given before the handshake was done
    QString error_;
};
