// The replies of the small HTTP server that answers the ACME challenge and serves the MTA-STS
// policy, for whole requests, parts of one and ones it must refuse. Certificates obtained,
// renewed and the policy fetched over TLS are tests/e2e/test_acme.py's.
#include "acme/HttpResponder.h"

#include <QtTest>

class TestAcme : public QObject {
    Q_OBJECT
private slots:
    void answer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");
        const QByteArray page = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\nConnection: close\r\n\r\n";
        const QByteArray empty = "\r\nContent-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        QTest::newRow("page") << QByteArray("GET /page HTTP/1.1\r\nHost: x\r\n\r\n") << page + "text";
        QTest::newRow("head: no body") << QByteArray("HEAD /page HTTP/1.0\r\n\r\n") << page;
        QTest::newRow("other path") << QByteArray("GET /page2 HTTP/1.1\r\n\r\n") << "HTTP/1.1 404 Not Found" + empty;
        QTest::newRow("other method") << QByteArray("POST /page HTTP/1.1\r\n\r\n") << "HTTP/1.1 405 Method Not Allowed" + empty;
        QTest::newRow("not a request line") << QByteArray("GET /page\r\n\r\n") << "HTTP/1.1 400 Bad Request" + empty;
        QTest::newRow("absolute form") << QByteArray("GET http://x/page HTTP/1.1\r\n\r\n") << "HTTP/1.1 400 Bad Request" + empty;
        QTest::newRow("head not ended yet") << QByteArray("GET /page HTTP/1.1\r\nHost: x\r\n") << QByteArray();
        QTest::newRow("head too long") << "GET /page HTTP/1.1\r\nX: " + QByteArray(HttpResponder::MaxRequest, 'a')
                                       << "HTTP/1.1 431 Request Header Fields Too Large" + empty;
    }
    void answer()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        const auto pages = [](const QByteArray& path) { return path == "/page" ? std::optional<QByteArray>("text") : std::nullopt; };
        QCOMPARE(HttpResponder::Answer(request, pages), reply);
    }
};

QTEST_GUILESS_MAIN(TestAcme)
#include "test_acme.moc"
