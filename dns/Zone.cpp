#include "dns/Zone.h"

namespace Dns {
namespace {
constexpr qsizetype TxtString = 255;   // octets a character-string holds
}

QByteArray Quoted(const QByteArray& value)
{
    QByteArray strings;
    for (qsizetype i = 0; i == 0 || i < value.size(); i += TxtString) {
        QByteArray piece = value.mid(i, TxtString);
        piece.replace('\\', "\\\\").replace('"', "\\\"");
        strings += (i ? " \"" : "\"") + piece + '"';
    }
    return strings;
}

}
