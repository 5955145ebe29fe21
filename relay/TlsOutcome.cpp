#include "relay/TlsOutcome.h"

namespace {
TlsOutcomeSink& Sink()
{
    static TlsOutcomeSink sink;
    return sink;
}
}

void SetTlsOutcomeSink(TlsOutcomeSink sink) { Sink() = std::move(sink); }

void TellTlsOutcome(const TlsOutcome& outcome)
{
    if (Sink())
        Sink()(outcome);
}
