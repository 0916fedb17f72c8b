#pragma once

#include "platform/NVCodeSigning.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A private test PKI in a temporary folder, made with the same code as
// "nvsu-release keys": a root (the anchors) with an intermediate, and signing
// certificates good and bad in every way the checks care about. Private keys
// live only in the temporary folder.
class SigningFixture {
public:
    enum class Signer {
        Team,                      // the maker's team, distribution extension (critical)
        TeamNonCriticalMarker,     // the same with the extension not marked critical
        OtherTeam,                 // another organisational unit
        NoDistributionExtension,   // the team, without the extension
        UnknownCriticalExtension,  // the team, plus a critical extension nobody knows
        Expired,                   // the team, validity over
        OtherRoot,                 // the team, but issued under another root
        SelfSigned,                // the team's fields on a self-signed certificate
    };

    SigningFixture();

    QString path(const QString &name) const { return m_directory.filePath(name); }
    QString anchorsPath() const { return path("CodeSigningAnchors.pem"); }
    NVCodeSigningAnchors anchors() const { return NVCodeSigningAnchors::fromFile(anchorsPath()); }

    QString certificatePath(Signer signer) const;
    QString keyPath(Signer signer) const;
    QString chainPath(Signer signer) const; // empty for a self-signed signer
    NVCodeSigning::SigningIdentity identity(Signer signer) const;

    // Writes `contents` to a file in the fixture's folder and returns its path.
    QString writeFile(const QString &name, const QByteArray &contents) const;
    // Writes and signs a file; fails the test when signing fails.
    QString signedFile(const QString &name, const QByteArray &contents, Signer signer = Signer::Team) const;

    static QString signerName(Signer signer);

private:
    QTemporaryDir m_directory;
};

// `content` with the given signature in the slot its format takes, as
// signing would leave it.
QByteArray withSignature(const QByteArray &content, const QByteArray &cms);
// A copy of `bytes` with the lowest bit of one byte changed.
QByteArray flipped(QByteArray bytes, qint64 at);

// A small but real archive of each kind, made with the system's tools.
QByteArray makeGzip(const QByteArray &contents);
QByteArray makeZip(const QByteArray &contents);
QByteArray makeBzip2(const QByteArray &contents);
