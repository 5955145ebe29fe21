// Session resumption by the process's ticket keys and session cache, on SSL_CTXs made after
// TlsResume::Install as Qt's are: each handshake gets contexts of its own, so only what is
// shared across the process can resume, and keys older than two rotations open nothing.
// Resuming at once (tickets and session IDs) is tests/e2e/test_tlsresume.py's.
#include "core/TlsResume.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

namespace {

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
};

QTEST_GUILESS_MAIN(TestTlsResume)
#include "test_tlsresume.moc"
