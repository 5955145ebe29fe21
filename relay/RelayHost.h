#pragma once
// The relay host (smarthost) of the settings RelayHost, RelayHostUser, RelayHostPasswordFile,
// RelayHostTls and RelayHostCaFile, read once at start-up.
#include "relay/RelaySession.h"

#include <QByteArray>
#include <QList>
#include <memory>

struct Settings;

namespace RelayHost {

struct Loaded {
    std::shared_ptr<const RelayHostPolicy> policy;   // nullptr: no relay host, mail goes to each MX
    QByteArray problem;       // why the relay host cannot be used; its mail waits in the queue
    QList<QByteArray> lines;  // for the log; never the password
};

// Reads the settings and the password file: its first line, and only when nobody but its
// owner may read it.
Loaded Load(const Settings& settings);

}
