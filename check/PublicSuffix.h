#pragma once
// The public suffix list (https://publicsuffix.org/list/) and the organisational domain it
// gives a name (RFC 7489 3.2). Debian's package publicsuffix ships the list.
#include <QByteArray>
#include <QSet>
#include <QString>

namespace PublicSuffix {

inline const char* const DebianPath = "/usr/share/publicsuffix/public_suffix_list.dat";

class List {
public:
    // No rules: every name's suffix is its last label (the list's implicit rule "*").
    List() = default;
    // The rules of a list's text: one a line, "//" comments, "*." wildcards, "!" exceptions;
    // rules in Unicode are kept as A-labels too.
    static List FromText(const QByteArray& text);
    // The list in a file; no rules when it cannot be read.
    static List FromFile(const QString& path);
    bool Empty() const { return rules_.isEmpty() && wildcards_.isEmpty() && exceptions_.isEmpty(); }

    // The public suffix of a domain (lower case, without a final dot): the longest rule that
    // matches, an exception rule before all (less its first label), "*" when none does.
    QByteArray Suffix(const QByteArray& domain) const;
    // The suffix and one label more; the domain itself when it is a public suffix. Without
    // rules, the last two labels.
    QByteArray OrganizationalDomain(const QByteArray& domain) const;

private:
    QSet<QByteArray> rules_;        // "co.uk"
    QSet<QByteArray> wildcards_;    // "*.ck" kept as "ck"
    QSet<QByteArray> exceptions_;   // "!www.ck" kept as "www.ck"
};

// Debian's list, read at the first call (thread-safe); no rules when the file is missing.
const List& Debian();

// Lower case, no final dot, A-labels for a name in UTF-8.
QByteArray Normalized(const QByteArray& domain);

}
