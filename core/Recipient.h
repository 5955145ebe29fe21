#pragma once
#include <QByteArray>
#include <QString>

// Where a recipient's mail goes: its domain part, whether that is the served domain (letter
// case and a final dot do not count), and then its mailbox folder ("" when it has none).
struct Recipient {
    QByteArray domain;
    bool local = false;
    QString folder;
};
Recipient Classify(const QByteArray& address);
