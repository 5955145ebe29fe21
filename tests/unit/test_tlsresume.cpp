// Session resumption by the process's ticket keys and session cache, on SSL_CTXs made after
// TlsResume::Install as Qt's are: each handshake gets contexts of its own, so only what is
// shared across the process can resume, and keys older than two rotations open nothing.
// Resuming at once (tickets and session IDs) is tests/e2e/test_tlsresume.py's; here also a client
// that uses each TLS 1.3 ticket once, which Python's does not.
#include "core/TlsContext.h"
#include "core/TlsResume.h"
#include "core/TlsSession.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace {

// The client's newest session, as clients keep it that use a TLS 1.3 ticket once only
// (OpenSSL's client cache, as curl uses it).
SSL_SESSION* newest = nullptr;
int KeepNewest(SSL*, SSL_SESSION* session)
{
    SSL_SESSION_free(std::exchange(newest, session));
    return 1;   // the reference is ours
}

struct Pair {
    SSL_CTX* serverCtx;
    SSL* server;
    SSL* client;
    ~Pair()
    {
        SSL_shutdown(client);   // else OpenSSL takes the session for a broken one
        SSL_shutdown(server);
        SSL_free(server);
        SSL_free(client);
        SSL_CTX_free(serverCtx);
    }
};

}

class TestTlsResume : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    SSL_CTX* clientCtx_ = nullptr;

    // A handshake between contexts made for it, as Qt makes them; whether the server resumed,
    // and the session the client holds after it (nullptr when the handshake failed).
    std::pair<bool, SSL_SESSION*> Handshake(int version, SSL_SESSION* session)
    {
        Pair p{SSL_CTX_new(TLS_server_method()), nullptr, nullptr};
        SSL_CTX_use_certificate_chain_file(p.serverCtx, qPrintable(dir_.filePath("cert.pem")));
        SSL_CTX_use_PrivateKey_file(p.serverCtx, qPrintable(dir_.filePath("key.pem")), SSL_FILETYPE_PEM);
        p.server = SSL_new(p.serverCtx);
        p.client = SSL_new(clientCtx_);
        SSL_set_min_proto_version(p.client, version);
        SSL_set_max_proto_version(p.client, version);
        if (session)
            SSL_set_session(p.client, session);
        BIO *toServer = nullptr, *toClient = nullptr;
        BIO_new_bio_pair(&toServer, 0, &toClient, 0);
        SSL_set_bio(p.server, toServer, toServer);
        SSL_set_bio(p.client, toClient, toClient);
        SSL_set_accept_state(p.server);
        SSL_set_connect_state(p.client);
        bool done = false;
        for (int turn = 0; turn < 20 && !done; ++turn) {
            const int c = SSL_do_handshake(p.client), s = SSL_do_handshake(p.server);
            done = c == 1 && s == 1;
        }
        // TLS 1.3 tickets follow the handshake: a byte each way brings them in.
        char byte = 'x';
        SSL_write(p.server, &byte, 1);
        SSL_read(p.client, &byte, 1);
        ERR_clear_error();
        return {SSL_session_reused(p.server) == 1, done ? SSL_get1_session(p.client) : nullptr};
    }

    // A client over TLS 1.3 against our server session, through to the first reply; whether it resumed.
    bool Served(const std::shared_ptr<SSL_CTX>& server, SSL_CTX* clientCtx, SSL_SESSION* session)
    {
        TlsSession tls(server);
        SSL* client = SSL_new(clientCtx);
        if (session)
            SSL_set_session(client, session);
        BIO *ours = nullptr, *net = nullptr;
        BIO_new_bio_pair(&ours, 0, &net, 0);
        SSL_set_bio(client, ours, ours);
        SSL_set_connect_state(client);
        QByteArray text;
        char buffer[16384];
        for (int turn = 0; turn < 10 && !tls.Done(); ++turn) {
            SSL_do_handshake(client);
            QByteArray sent;
            for (int n; (n = BIO_read(net, buffer, sizeof buffer)) > 0;)
                sent.append(buffer, n);
            tls.Take(sent, text);
            const QByteArray back = tls.Output();
            BIO_write(net, back.constData(), int(back.size()));
        }
        SSL_do_handshake(client);
        tls.Write("250 ok\r\n");   // the ticket goes with it
        const QByteArray reply = tls.Output();
        BIO_write(net, reply.constData(), int(reply.size()));
        const int n = SSL_read(client, buffer, sizeof buffer);
        const bool resumed = SSL_session_reused(client) == 1 && QByteArray(buffer, std::max(n, 0)) == "250 ok\r\n";
        SSL_shutdown(client);
        SSL_free(client);
        BIO_free(net);
        ERR_clear_error();
        return resumed;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                                  "-days", "2", "-subj", "/CN=resume.test", "-keyout", dir_.filePath("key.pem"), "-out",
                                  dir_.filePath("cert.pem")});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            QSKIP("needs the openssl command (package openssl) to make a certificate");
        TlsResume::Install(true);
        clientCtx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_session_cache_mode(clientCtx_, SSL_SESS_CACHE_CLIENT);
    }
    void cleanupTestCase() { SSL_CTX_free(clientCtx_); }

    void resumes_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<qint64>("aged");   // seconds between the two handshakes, on the keys' clock
        QTest::addColumn<bool>("resumed");
        const qint64 hour = 3600;
        for (const auto& [name, version] : {std::pair{"TLS 1.3", TLS1_3_VERSION}, std::pair{"TLS 1.2", TLS1_2_VERSION}}) {
            QTest::addRow("%s, key rotated once", name) << version << 13 * hour << true;
            QTest::addRow("%s, key rotated twice", name) << version << 25 * hour << false;
        }
    }
    void resumes()
    {
        QFETCH(int, version);
        QFETCH(qint64, aged);
        QFETCH(bool, resumed);
        auto [first, session] = Handshake(version, nullptr);
        QVERIFY(session);
        QVERIFY(!first);
        TlsResume::AgeKeys(aged);
        auto [second, renewed] = Handshake(version, session);
        SSL_SESSION_free(session);
        QVERIFY(renewed);
        QCOMPARE(second, resumed);
        if (resumed) {   // a ticket of the key before comes back renewed under the current one
            TlsResume::AgeKeys(13 * 3600);   // the key that sealed the first ticket is gone now
            auto [third, last] = Handshake(version, renewed);
            SSL_SESSION_free(last);
            QVERIFY(third);
        }
        SSL_SESSION_free(renewed);
    }

    // Such a client has no ticket left after resuming unless the server gives it a new one
    // each time: without, every other connection would be a full handshake.
    void singleUseTicketsResumeEveryTime()
    {
        TlsContext context;
        context.Use(dir_.filePath("cert.pem"), dir_.filePath("key.pem"));
        const std::shared_ptr<SSL_CTX> server = context.Current();
        QVERIFY(server);
        SSL_CTX* clientCtx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(clientCtx, TLS1_3_VERSION);
        SSL_CTX_set_session_cache_mode(clientCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(clientCtx, KeepNewest);
        QList<bool> resumed;
        for (int i = 0; i < 4; ++i)
            resumed << Served(server, clientCtx, newest && SSL_SESSION_is_resumable(newest) ? newest : nullptr);
        QCOMPARE(resumed, QList<bool>({false, true, true, true}));
        SSL_SESSION_free(std::exchange(newest, nullptr));
        SSL_CTX_free(clientCtx);
    }
};

QTEST_GUILESS_MAIN(TestTlsResume)
#include "test_tlsresume.moc"
