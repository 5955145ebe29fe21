#include "acme/HttpResponder.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

namespace {
// Hands each connection over as it comes, as a socket that can take TLS.
class Listener : public QTcpServer {
public:
    std::function<void(qintptr)> incoming;

protected:
    void incomingConnection(qintptr descriptor) override { incoming(descriptor); }
};

QByteArray Reply(const QByteArray& status, const QByteArray& body, bool withBody)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\nConnection: close\r\n\r\n" + (withBody ? body : QByteArray());
}
}

HttpResponder::HttpResponder(Pages pages, std::function<std::optional<QSslConfiguration>()> tls, QObject* parent)
    : QObject(parent), pages_(std::move(pages)), tls_(std::move(tls))
{
}

HttpResponder::~HttpResponder() = default;

QByteArray HttpResponder::Answer(const QByteArray& request, const Pages& pages)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    if (end < 0)
        return request.size() > MaxRequest ? Reply("431 Request Header Fields Too Large", {}, false) : QByteArray();
    const QList<QByteArray> words = request.left(request.indexOf("\r\n")).split(' ');
    if (words.size() != 3 || !words[2].startsWith("HTTP/1.") || !words[1].startsWith('/'))
        return Reply("400 Bad Request", {}, false);
    if (words[0] != "GET" && words[0] != "HEAD")
        return Reply("405 Method Not Allowed", {}, false);
    if (const std::optional<QByteArray> page = pages(words[1]))
        return Reply("200 OK", *page, words[0] == "GET");
    return Reply("404 Not Found", {}, false);
}

QString HttpResponder::Listen(const QString& addresses, quint16 port)
{
    Close();
    QList<QHostAddress> at;
    for (QString entry : addresses.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        entry = entry.trimmed().remove(QLatin1Char('[')).remove(QLatin1Char(']'));
        if (QHostAddress a; a.setAddress(entry))
            at << a;
    }
    if (at.isEmpty())
        at << QHostAddress(QHostAddress::Any);
    for (const QHostAddress& a : at) {
        auto* server = new Listener;
        server->setParent(this);
        server->incoming = [this](qintptr descriptor) { Serve(descriptor); };
        servers_ << server;
        if (!server->listen(a, port)) {
            const QString why = QStringLiteral("cannot listen on %1 port %2: %3").arg(a.toString()).arg(port).arg(server->errorString());
            Close();
            return why;
        }
    }
    return {};
}

void HttpResponder::Serve(qintptr descriptor)
{
    auto* s = new QSslSocket(this);
    if (!s->setSocketDescriptor(descriptor))
        return s->deleteLater();
    const std::optional<QSslConfiguration> tls = tls_ ? tls_() : std::nullopt;
    if (open_ >= MaxConnections || (tls_ && !tls)) {
        s->abort();
        return s->deleteLater();
    }
    ++open_;
    s->setReadBufferSize(MaxRequest);
    connect(s, &QObject::destroyed, this, [this] { --open_; });
    connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
    connect(s, &QAbstractSocket::errorOccurred, s, &QObject::deleteLater);
    QTimer::singleShot(DeadlineMs, s, [s] {
        s->abort();
        s->deleteLater();
    });
    auto request = std::make_shared<QByteArray>();
    connect(s, &QIODevice::readyRead, s, [this, s, request] {
        request->append(s->readAll());
        const QByteArray reply = Answer(*request, pages_);
        if (reply.isEmpty())
            return;
        s->disconnect(s, &QIODevice::readyRead, nullptr, nullptr);
        s->write(reply);
        s->disconnectFromHost();
    });
    if (tls) {
        s->setSslConfiguration(*tls);
        s->startServerEncryption();
    }
}

void HttpResponder::Close()
{
    for (QTcpServer* s : std::as_const(servers_))
        s->close(), s->deleteLater();
    servers_.clear();
}
