#pragma once
// The mailbox store as a delivery's target: each copy a file in its mailbox folder.
#include "deliver/Target.h"

class Mailboxes : public Target {
public:
    Written Write(const QByteArray& sender, const std::vector<Copy>& copies, const QByteArray& text, size_t& failed) override;
    void Commit(Written&) override {}   // a stored copy is in its mailbox already
    void Abort(Written& written) override;
};
