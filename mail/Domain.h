#pragma once
// Domains and addresses, read one way everywhere: a domain in lower case without its final
// dot, an address split at its last "@" outside quotes.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace Mail {

// A domain name as compared: lower case (ASCII), a final dot dropped ("example.test." names
// the same domain as "Example.Test"), Unicode labels as their "xn--" form.
class Domain {
public:
    Domain() = default;
    explicit Domain(QByteArrayView name);

    const QByteArray& Name() const { return name_; }
    bool IsEmpty() const { return name_.isEmpty(); }
    // Whether this is the served domain `served` (any letter case, with or without a final dot).
    bool IsServed(const QString& served) const;
    bool operator==(const Domain& other) const = default;

private:
    QByteArray name_;
};

// A name as written, its final dot dropped (log lines and replies keep the letter case).
QByteArray WithoutFinalDot(QByteArrayView name);

// An address: the local part as written (quotes kept) and the domain after the last "@"
// outside quotes. An address without "@" has a local part only.
struct Address {
    QByteArray local;
    QByteArray domainText;   // as written, "" when there is no "@"
    Domain domain;
    bool hasDomain = false;

    // Splits `text`; angle brackets around it and a source route ("<@a,@b:user@host>") go.
    static Address Parse(QByteArrayView text);
};

}
