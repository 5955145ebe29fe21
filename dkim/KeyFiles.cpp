// The signing keys: read from the files the settings name, and made anew for an administrator.
#include "dkim/Dkim.h"
#include "dkim/KeyFiles.h"
#include "core/DurableFile.h"
#include "core/Failure.h"
#include "core/Settings.h"
#include "core/mdlCommon.h"
#include "dns/Zone.h"
#include "mail/Domain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cctype>
#include <cerrno>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Dkim {
namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// An RSA key made for an administrator has this many bits.
constexpr size_t NewRsaBits = 2048;
// A DNS label holds at most this many characters; a selector of more than MaxLabels is no use.
constexpr qsizetype MaxLabel = 63, MaxLabels = 4;
// Receivers ignore RSA keys shorter than this.
constexpr int MinRsaBits = 1024;

// A key file of the settings: its owner's alone, and of the kind asked for. Returns null with
// `problem` set otherwise.
Pkey ReadKey(const QString& setting, bool ed25519, QByteArray& problem)
{
    const QString path = QDir(mdlCommon::ProgramFolder()).absoluteFilePath(setting);
    const QByteArray shown = QFile::encodeName(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = "cannot read key file " + shown + ": " + file.errorString().toUtf8();
        return nullptr;
    }
    struct stat st {};
    if (::fstat(file.handle(), &st) != 0 || (st.st_mode & 077)) {
        problem = "key file " + shown + " may be read by others (mode 0" + QByteArray::number(st.st_mode & 0777, 8)
                  + "); it is not used until only its owner may (chmod 600)";
        return nullptr;
    }
    const QByteArray pem = file.readAll();
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    // No passphrase: a protected key must not make the server ask on its terminal.
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    if (!key) {
        problem = "cannot read key file " + shown + ": " + OpenSslError();
        return nullptr;
    }
    if (ed25519 && !EVP_PKEY_is_a(key.get(), "ED25519"))
        problem = "key file " + shown + " holds no Ed25519 key";
    else if (!ed25519 && !EVP_PKEY_is_a(key.get(), "RSA"))
        problem = "key file " + shown + " holds no RSA key";
    else if (!ed25519 && EVP_PKEY_get_bits(key.get()) < MinRsaBits)
        problem = "the RSA key in " + shown + " has " + QByteArray::number(EVP_PKEY_get_bits(key.get())) + " bits; at least 1024 are needed";
    return problem.isEmpty() ? std::move(key) : nullptr;
}

}

Signer::Signer(std::vector<Key> keys, const QString& domain)
    : keys_(std::move(keys)), domain_(Mail::Domain(QByteArrayView(domain.toUtf8())).Name())
{
}

QByteArray OpenSslError()
{
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (!e)
        return "unknown error";
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

bool ValidSelector(const QByteArray& selector)
{
    if (selector.isEmpty() || selector.size() > MaxLabel * MaxLabels)
        return false;
    for (const QByteArray& label : selector.split('.')) {
        if (label.isEmpty() || label.size() > MaxLabel || label.startsWith('-') || label.endsWith('-'))
            return false;
        for (const char c : label)
            if (!std::isalnum(uchar(c)) && c != '-')
                return false;
    }
    return true;
}

QList<QByteArray> Signer::Load(const Settings& settings)
{
    *this = Signer({}, settings.ServerDomain);
    const QString rsaFile = settings.DkimKey.trimmed(), edFile = settings.DkimEd25519Key.trimmed();
    if (rsaFile.isEmpty()) {
        if (!edFile.isEmpty())
            return {"DKIM: DkimEd25519Key is used only beside DkimKey; mail goes out unsigned"};
        return {};
    }
    const QByteArray selector = settings.DkimSelector.trimmed().toUtf8();
    const QByteArray edSelector = settings.DkimEd25519Selector.trimmed().toUtf8();
    for (const QByteArray& s : {selector, edSelector})
        if (!ValidSelector(s))
            return {"DKIM: \"" + s + "\" is not a selector (DNS labels of letters, digits and hyphens); mail goes out unsigned"};
    QList<QByteArray> lines;
    QByteArray problem;
    Pkey rsa = ReadKey(rsaFile, false, problem);
    if (!rsa)
        return {"DKIM: " + problem + "; mail goes out unsigned"};
    const int bits = EVP_PKEY_get_bits(rsa.get());
    keys_.push_back({std::shared_ptr<EVP_PKEY>(rsa.release(), EVP_PKEY_free), selector, false});
    QByteArray signing = "DKIM: signing mail of " + domain_ + " with " + selector + "._domainkey (rsa-sha256, " + QByteArray::number(bits) + " bits)";
    if (!edFile.isEmpty()) {
        problem.clear();
        if (Pkey ed = ReadKey(edFile, true, problem)) {
            keys_.push_back({std::shared_ptr<EVP_PKEY>(ed.release(), EVP_PKEY_free), edSelector, true});
            signing += " and " + edSelector + "._domainkey (ed25519-sha256)";
        } else {
            lines << "DKIM: " + problem + "; signing with rsa-sha256 only";
        }
    }
    return lines << signing;
}

QByteArray MakeKey(const QString& folder, const QByteArray& selector, const QByteArray& domain)
{
    if (!ValidSelector(selector))
        throw Failure(Err::InvalidArgument, QStringLiteral("\"%1\" is not a selector (DNS labels of letters, digits and hyphens)").arg(QString::fromUtf8(selector)));
    const QString target = QDir(folder).filePath(QString::fromUtf8(selector) + QStringLiteral(".private"));
    const auto exists = [&target] { return Failure(Err::FileExists, target + QStringLiteral(" exists already; it is not replaced")); };
    if (QFileInfo::exists(target))
        throw exists();
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", NewRsaBits));
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!key || !bio || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        throw Failure(Err::DeviceIO, QStringLiteral("cannot make an RSA key: ") + QString::fromUtf8(OpenSslError()));
    char* pem = nullptr;
    const long pemLength = BIO_get_mem_data(bio.get(), &pem);
    const QByteArray temporary = DurableFile::WriteTemporary(folder, {QByteArrayView(pem, qsizetype(pemLength))});
    const int err = DurableFile::LinkNew(temporary, QFile::encodeName(target));
    ::unlink(temporary.constData());
    if (err == EEXIST)
        throw exists();
    if (err)
        throw FailureFromErrno(err, target);
    DurableFile::FlushFolder(folder);
    return selector + "._domainkey." + domain + " IN TXT " + Dns::Quoted(PublicRecord({std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free), selector, false}));
}

QByteArray PublicRecord(const Key& key)
{
    if (key.ed25519) {
        // RFC 8463: the bare 32 bytes of the public key, not a SubjectPublicKeyInfo.
        unsigned char raw[32];
        size_t length = sizeof raw;
        if (EVP_PKEY_get_raw_public_key(key.pkey.get(), raw, &length) != 1)
            return {};
        return "v=DKIM1; k=ed25519; p=" + QByteArray(reinterpret_cast<const char*>(raw), qsizetype(length)).toBase64();
    }
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key.pkey.get(), &der);
    if (length <= 0)
        return {};
    const QByteArray value = "v=DKIM1; k=rsa; p=" + QByteArray(reinterpret_cast<const char*>(der), length).toBase64();
    OPENSSL_free(der);
    return value;
}

}
