#include "core/Connecter.h"

void Connecter::SetStep(int NewStep)
{
    if (NewStep == 2) {
        Message.clear();
        MessageScanned = 0;
        Oversized = false;
    }
    if (NewStep == 6 && step_ == 5)
        Purge();
    step_ = NewStep;
}
