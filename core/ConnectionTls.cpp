// The connection manager's TLS: the server's certificate on the ports that offer it, and
// TLS started on a connection, as the server or, on a connection of our own, as the client.
#include "core/ConnectionManager.h"
#include "core/Connecter.h"
#include "core/Failure.h"
#include "core/LogList.h"
#include "core/TlsResume.h"

#include <QDateTime>
#include <QSslConfiguration>
#include <QSslSocket>

namespace {
QByteArray N(qint64 n) { return QByteArray::number(n); }
}

bool ConnectionManager::TlsAvailable() { return tls_.Current() != nullptr; }

bool ConnectionManager::IsEncrypted(qint16 index)
{
    const QSslSocket* s = Element(index);
    return s && (s->mode() != QSslSocket::UnencryptedMode || served_.count(index));
}

// The socket of a connection about to start TLS, with what the peer sent behind its last
// line in clear dropped (never read as if encrypted); nullptr when the connection is gone.
QSslSocket* ConnectionManager::BeforeHandshake(qint16 index, std::function<void()> encrypted)
{
    QSslSocket* s = Element(index);
    if (!s)
        return nullptr;
    s->readAll();
    if (Connecter* c = Session(index))
        c->Command.clear();
    if (encrypted)
        onEncrypted_[index] = std::move(encrypted);
    SlotOf(index).handshakeSince = QDateTime::currentMSecsSinceEpoch();
    return s;
}

void ConnectionManager::StartTls(qint16 index, std::function<void()> encrypted)
{
    if (const Connecter* c = Session(index); c && c->Part() && c->Part()->IsClient())
        return StartClientTls(index, ClientTls{}, std::move(encrypted));
    QSslSocket* s = BeforeHandshake(index, std::move(encrypted));
    if (!s)
        return;
    auto context = tls_.Current();
    if (!context)
        return Release(index);
    ServeTls(index, std::move(context));
}

void ConnectionManager::ServeTls(qint16 index, std::shared_ptr<SSL_CTX> context)
{
    served_[index] = std::make_unique<TlsSession>(std::move(context));
    SlotOf(index).handshakeSince = QDateTime::currentMSecsSinceEpoch();
}

void ConnectionManager::Encrypted(qint16 index, const QByteArray& protocol, const QByteArray& cipher)
{
    SlotOf(index).handshakeSince = 0;
    log_.Add(N(index) + "-TLS " + protocol + ' ' + cipher);
    if (auto then = std::move(onEncrypted_[index]); then)
        then();
    onEncrypted_.erase(index);
}

void ConnectionManager::Put(qint16 index, QSslSocket* s, const QByteArray& text)
{
    const auto it = served_.find(index);
    if (it == served_.end()) {
        SendHeld(index, s);   // what waits for the end of the turn goes first
        s->write(text);
        return;
    }
    it->second->Write(text);
    // The last reply takes the closing alert along: one write, not two a turn apart.
    if (const Connecter* c = Session(index); c && c->Step() == Closing)
        it->second->Close();
    PutRecords(index, s, it->second->Output());
}

void ConnectionManager::PutRecords(qint16 index, QSslSocket* s, const QByteArray& records)
{
    // Held for the end of the turn as plain replies are: sent by the system call, not
    // through the socket's buffer (a copy, a flush, its signals, and 32 KiB kept for good).
    if (records.isEmpty() || Hold(index, s, records))
        return;
    SendHeld(index, s);
    s->write(records);
}

bool ConnectionManager::Received(qint16 index, QSslSocket* s, QByteArray& bytes)
{
    const auto it = served_.find(index);
    if (it == served_.end())
        return true;
    TlsSession& tls = *it->second;
    const bool before = tls.Done();
    QByteArray text;
    const bool fine = tls.Take(bytes, text);
    bytes = std::move(text);
    const QByteArray out = tls.Output();
    PutRecords(index, s, out);   // the handshake's next flight, an alert
    if (fine && !out.isEmpty())
        Wrote(index, s);   // out when this event is over, not a turn of the event loop later
    if (!fine) {
        const auto error = before ? QAbstractSocket::SslInternalError : QAbstractSocket::SslHandshakeFailedError;
        WS_Error(index, Err::Socket + int(error), tls.Error());
        Release(index);   // that connection only
        return false;
    }
    if (!before && tls.Done())
        Encrypted(index, tls.Protocol(), tls.Cipher());
    return Element(index) == s;
}

void ConnectionManager::StartClientTls(qint16 index, const ClientTls& policy, std::function<void()> encrypted)
{
    auto errors = std::make_shared<QList<QSslError>>();
    if (policy.judge)
        encrypted = [this, index, errors, judge = policy.judge, then = std::move(encrypted)] {
            QSslSocket* s = Element(index);
            const QByteArray why = s ? judge(s->peerCertificateChain(), *errors) : QByteArray("connection gone");
            if (why.isEmpty()) {
                if (then)
                    then();
                return;
            }
            if (Connecter* c = Session(index); c && c->Part())
                c->Part()->Lost(why);
            Release(index);
        };
    QSslSocket* s = BeforeHandshake(index, std::move(encrypted));
    if (!s)
        return;
    if (policy.judge)
        connect(s, &QSslSocket::sslErrors, s, [s, errors](const QList<QSslError>& found) {
            *errors = found;
            s->ignoreSslErrors();
        });
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(policy.verifyPeer ? QSslSocket::VerifyPeer : QSslSocket::VerifyNone);
    if (!policy.ca.isEmpty())
        config.addCaCertificates(policy.ca);
    if (settings_.TlsResumption && policy.resume) {
        // The ticket of the last connection to this exchanger (checked under the same name),
        // and the new one kept once it comes.
        const QString peer = policy.peerName + QLatin1Char('@') + s->peerAddress().toString() + QLatin1Char(':')
                             + QString::number(s->peerPort());
        config.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
        config.setSessionTicket(TlsResume::Relay().Find(peer));
        const auto keep = [s, peer] { TlsResume::Relay().Keep(peer, s->sslConfiguration().sessionTicket()); };
        connect(s, &QSslSocket::encrypted, s, keep);   // TLS 1.2: the ticket came with the handshake
        connect(s, &QSslSocket::newSessionTicketReceived, s, keep);
    }
    s->setSslConfiguration(config);
    if (!policy.peerName.isEmpty())
        s->setPeerVerifyName(policy.peerName);
    s->startClientEncryption();
}
