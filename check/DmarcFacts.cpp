#include "check/DmarcFacts.h"

namespace {
DmarcSink& Sink()
{
    static DmarcSink sink;
    return sink;
}
}

void SetDmarcSink(DmarcSink sink) { Sink() = std::move(sink); }

void TellDmarc(const DmarcFacts& facts)
{
    if (Sink())
        Sink()(facts);
}
