#pragma once
#include "core/FileStamp.h"
#include <QString>
#include <functional>
#include <memory>

typedef struct ssl_ctx_st SSL_CTX;

// The server's certificate and key, from the settings TlsCertificate and TlsKey. Read again
// when either file changes on disk, so a renewed certificate is used without a restart. One
// OpenSSL context serves every connection until then.
class TlsContext {
public:
    // The context for a new TLS session, or nullptr when no usable certificate is set.
    std::shared_ptr<SSL_CTX> Current();
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
    std::shared_ptr<SSL_CTX> context_;
};
