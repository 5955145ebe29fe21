#include "mail/AuthResults.h"
#include "mail/Domain.h"
#include "mail/Header.h"

namespace Mail {

const char* Name(AuthResult r)
{
    switch (r) {
    case AuthResult::None: return "none";
    case AuthResult::Pass: return "pass";
    case AuthResult::Fail: return "fail";
    case AuthResult::SoftFail: return "softfail";
    case AuthResult::Neutral: return "neutral";
    case AuthResult::Policy: return "policy";
    case AuthResult::TempError: return "temperror";
    case AuthResult::PermError: return "permerror";
    }
    return "none";
}

QByteArray AuthResultsField(const QByteArray& authservId, const QList<QByteArray>& results)
{
    return "Authentication-Results: " + authservId + ";\r\n\t" + results.join(";\r\n\t") + "\r\n";
}

namespace {

// The authserv-id: the first word of a value, a quoted string or not (RFC 8601 allows both),
// comments, folding and quoted pairs read as a mail reader reads them.
QByteArray AuthservId(QByteArrayView value)
{
    int depth = 0;
    bool quoted = false, escaped = false;
    QByteArray word;
    for (const char ch : value) {
        const bool blank = ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
        if (escaped || (quoted && ch != '"' && ch != '\\')) {
            escaped = false;
            if (quoted && ch != '\r' && ch != '\n')
                word += ch;
        } else if (ch == '\\' && (quoted || depth > 0)) {
            escaped = true;
        } else if (quoted) {
            break;   // the closing quote
        } else if (ch == '(') {
            ++depth;
        } else if (ch == ')' && depth > 0) {
            --depth;
        } else if (depth == 0 && ch == '"' && word.isEmpty()) {
            quoted = true;
        } else if (depth == 0 && (ch == ';' || (blank && !word.isEmpty()))) {
            break;
        } else if (depth == 0 && !blank) {
            word += ch;
        }
    }
    return word.trimmed();
}

// Whether one field (as the message has it, folded or not) is an Authentication-Results that
// names `authservId` (any letter case, a final dot aside).
bool NamesUs(QByteArrayView field, const QByteArray& authservId)
{
    const qsizetype colon = field.indexOf(':');
    if (colon < 0 || field.first(colon).trimmed().compare("Authentication-Results", Qt::CaseInsensitive) != 0)
        return false;
    const QByteArray word = AuthservId(field.sliced(colon + 1));
    return !word.isEmpty() && Domain(word) == Domain(authservId);
}

}

QByteArray WithoutOurResults(const QByteArray& stored, const QByteArray& authservId, int* removed)
{
    const Header header(stored);
    int count = 0;
    QByteArray out;
    for (size_t i = 0; i < header.Leading(); ++i) {
        const Field& f = header.Fields()[i];
        if (NamesUs(f.raw, authservId))
            ++count;
        else
            out += QByteArrayView(stored).sliced(f.at, f.size);
    }
    if (removed)
        *removed = count;
    return count ? out + stored.mid(header.FieldsEnd()) : stored;
}

}
