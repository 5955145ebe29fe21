#pragma once
#include "core/FileStamp.h"
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
    // The settings' files, before the first session.
    void Use(const QString& certificate, const QString& key)
    {
        certificate_ = certificate;
        key_ = key;
    }

    // Told once per change when the files cannot be used.
    std::function<void(const QString&)> Warning;

private:
    QString certificate_, key_;
    QString paths_;                           // the files read last
    std::pair<FileStamp, FileStamp> stamp_;   // and how they were then
    qint64 checkedMs_ = -1;
    std::optional<QSslConfiguration> config_;
};
