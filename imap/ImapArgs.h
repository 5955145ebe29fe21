#pragma once
// A command line as the IMAP parser hands it over: tag, name and arguments, literals already
// read; and the sequence sets the arguments hold.
#include <QByteArray>
#include <QByteArrayView>
#include <optional>
#include <utility>
#include <vector>

namespace Imap {

struct Arg {
    enum Kind { Atom, String, List, Nil } kind = Atom;   // String: quoted or literal
    QByteArray text;                                      // Atom and String
    std::vector<Arg> items;                               // List
    bool IsAtom(QByteArrayView word) const;               // an Atom of that text, any letter case
};

struct Command {
    QByteArray tag;
    QByteArray name;         // upper case; "UID FETCH" and the like joined with one blank
    std::vector<Arg> args;
};

// "1:4,7,10:*" over message numbers or UIDs; "*" stands for the largest there is, "$" for the
// messages the last SEARCH saved, given as `saved` (low to high; none: "$" is no set).
class SequenceSet {
public:
    static std::optional<SequenceSet> Parse(QByteArrayView text, const std::vector<quint32>* saved = nullptr);
    bool Contains(quint32 n, quint32 largest) const;
    // The ranges with "*" resolved to `largest`, low to high, merged, each low <= high.
    std::vector<std::pair<quint32, quint32>> Ranges(quint32 largest) const;

private:
    std::vector<std::pair<quint32, quint32>> ranges_;   // 0 stands for "*"
    bool sorted_ = false;                                 // ranges_ low to high, apart, no "*"
};

// The messages a SEARCH saved, as "$" names them in a command by number and in one by UID.
struct SavedSets {
    std::vector<quint32> seqs, uids;
};

}
