// A mail exchanger answering anything, from any point of the relay dialogue. Input: the
// starting Step (7..13), one byte of chunking, then the replies.
#include "FuzzSupport.h"
#include "relay/RelayClient.h"
#include "relay/RelaySession.h"

#include <QTemporaryFile>
#include <fcntl.h>

FUZZ_TARGET(relay)
{
    if (size < 2) return 0;
    FakeServer server;
    RelaySession& r = server.Open<RelaySession>(2, int(RelayStep::Connecting) + data[0] % 7);
    r.Sender = "sender@example.test";
    r.Recipients = {"someone@relay.test", "other@relay.test"};
    // The copy as the queue hands it over: an open file.
    static const QByteArray path = [] {
        QTemporaryFile f;
        f.setAutoRemove(false);
        f.open();
        f.write("Subject: relayed\r\n\r\nbody");
        return QFile::encodeName(f.fileName());
    }();
    r.Text.fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    r.Text.length = 24;
    Feed(server, 2, Bytes(data + 2, size - 2), data[1], RelayReply, [&] {
        const Connecter* c = server.Session(2);
        FUZZ_CHECK(!c || (c->Step() >= int(RelayStep::Connecting) && c->Step() <= int(RelayStep::Idle)), "relay left the relay steps");
    });
    FUZZ_CHECK(server.released.size() <= 1, "released %d times", int(server.released.size()));
    return 0;
}
