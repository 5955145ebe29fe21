#pragma once
#include <QByteArray>

// Takes command arguments out of received protocol text.
namespace TextHelper {
// The characters after the first `opening` and before the first `closing` that
// follows it. Throws Failure when either delimiter is missing.
QByteArray TextBetween(const QByteArray& text, const QByteArray& opening, const QByteArray& closing);
}
