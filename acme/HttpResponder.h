#pragma once
// A small HTTP server for the few pages we publish: the HTTP-01 challenge's answer and the
// MTA-STS policy. One GET per connection; few connections, small requests, a deadline.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <functional>
#include <optional>

class QTcpServer;

class HttpResponder : public QObject {
    Q_OBJECT
public:
    // A page's text for a path, or none (404).
    using Pages = std::function<std::optional<QByteArray>(const QByteArray& path)>;
    // With `tls`, connections are HTTPS with the configuration it gives (none: turned away).
    explicit HttpResponder(Pages pages, std::function<std::optional<QSslConfiguration>()> tls = {}, QObject* parent = nullptr);
    ~HttpResponder() override;

    // Listens on `port` at the addresses of the setting Listen (none: every address). Returns
    // "" or why it cannot.
    QString Listen(const QString& addresses, quint16 port);
    void Close();
    bool Listening() const { return !servers_.isEmpty(); }

    // The whole reply to a request's head (through its blank line), or "" while more must come.
    static QByteArray Answer(const QByteArray& request, const Pages& pages);

    static constexpr int MaxConnections = 16;
    static constexpr qsizetype MaxRequest = 8192;
    static constexpr int DeadlineMs = 10000;

private:
    void Serve(qintptr descriptor);

    Pages pages_;
    std::function<std::optional<QSslConfiguration>()> tls_;
    QList<QTcpServer*> servers_;
    int open_ = 0;
};
