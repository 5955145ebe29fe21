#pragma once
#include <QSslConfiguration>
#include <QString>
#include <functional>
#include <optional>

// The server's certificate and key, from the settings TlsCertificate and TlsKey. Read again
// when either file changes on disk, so a renewed certificate is used without a restart.
class TlsContext {
public:
    // The configuration for a new TLS session, or none when no usable certificate is set.
    std::optional<QSslConfiguration> Current();

    // Told once per change when the files cannot be used.
    std::function<void(const QString&)> Warning;

private:
    QString stamp_;   // paths, sizes and times of what was read last
    qint64 checkedMs_ = -1;
    std::optional<QSslConfiguration> config_;
};
