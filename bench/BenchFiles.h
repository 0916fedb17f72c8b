#pragma once

#include "platform/NVCertificateMaker.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

// Files the benchmarks set up before they measure: plain files, incompressible
// payloads, and the loopback server's certificates.
namespace BenchFiles {

// Writes bytes to path, creating its folder.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Writes mebibytes of xorshift output, which no compressor shrinks, so that
// an archive of it is as large as a real application's.
inline bool writeRandomFile(const QString &path, qint64 mebibytes)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ULL;
    for (qint64 i = 0; i < mebibytes; ++i) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (qsizetype w = 0; w < block.size() / 8; ++w) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[w] = state;
        }
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

// An authority and a server certificate for 127.0.0.1, written as
// authority.pem, server.pem (the chain) and server-key.pem.
inline bool makeCertificates(const QDir &directory)
{
    NVCertificateRequest authorityRequest;
    authorityRequest.role = NVCertificateRequest::Role::Authority;
    authorityRequest.commonName = QStringLiteral("Benchmark Authority");
    NVResult<NVIdentity> authority = NVCertificateMaker::make(authorityRequest);
    if (!authority)
        return false;
    NVCertificateRequest serverRequest;
    serverRequest.role = NVCertificateRequest::Role::TLSServer;
    serverRequest.commonName = QStringLiteral("127.0.0.1");
    serverRequest.ipAddresses = {QStringLiteral("127.0.0.1")};
    NVResult<NVIdentity> server = NVCertificateMaker::make(serverRequest, &authority.value());
    return server && writeFile(directory.filePath("authority.pem"), authority->certificatePEM())
        && writeFile(directory.filePath("server.pem"), server->certificatePEM() + authority->certificatePEM())
        && writeFile(directory.filePath("server-key.pem"), server->privateKeyPEM());
}

} // namespace BenchFiles
