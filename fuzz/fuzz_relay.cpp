// A mail exchanger answering anything, from any point of the relay dialogue. Input: the
// starting Step (7..13), one byte of chunking, then the replies.
#include "FuzzSupport.h"
#include "relay/RelayReply.h"

FUZZ_TARGET(relay)
{
    if (size < 2) return 0;
    FakeServer server;
    Connecter& c = server.Open(2, RelayConnecting + data[0] % 7);
    c.From = "sender@example.test";
    c.Address << "someone@relay.test";
    c.Message = "Subject: relayed\r\n\r\nbody";
    Feed(server, 2, Bytes(data + 2, size - 2), data[1], RelayReply, [&] {
        FUZZ_CHECK(!server.Session(2) || IsRelayStep(server.Session(2)->Step()), "relay left the relay Steps");
    });
    FUZZ_CHECK(server.released.size() <= 1, "released %d times", int(server.released.size()));
    return 0;
}
