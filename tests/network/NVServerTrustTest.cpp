#include "network/NVServerTrust.h"

#include "network/NVURLError.h"
#include "support/TestHTTPSServer.h"

#include <gtest/gtest.h>

namespace {

// The check that clients with a certificate store of their own (the
// release-notes view) ask about the chains they refuse.
TEST(NVServerTrust, AChainIsTrustedOnlyWhenItLeadsToAnAuthorityIsValidNowAndNamesTheHost)
{
    const TestTLS &tls = TestTLS::shared();
    const QList<QSslCertificate> withTestAuthority = QSslCertificate::fromData(tls.authorityPEM, QSsl::Pem);
    const struct {
        const char *name;
        const TestHTTPSServer::Identity &identity;
        const char *host;
        QList<QSslCertificate> anchors;
        const char *reason;   // empty: trusted
    } cases[] = {
        {"by name", tls.server, "updates.velkin.test", withTestAuthority, ""},
        {"the system store alone", tls.server, "updates.velkin.test", {},
         "self-signed certificate in certificate chain"},
        {"another host's", tls.otherHost, "updates.velkin.test", withTestAuthority, "hostname mismatch"},
        {"another address", tls.server, "127.0.0.2", withTestAuthority, "IP address mismatch"},
        {"expired", tls.expired, "updates.velkin.test", withTestAuthority, "certificate has expired"},
        {"no chain", TestHTTPSServer::Identity{}, "updates.velkin.test", withTestAuthority, "no certificate"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const NVResult<void> trusted = NVServerTrust::evaluateServerChain(c.identity.chain, c.host, c.anchors);
        if (!*c.reason) {
            EXPECT_TRUE(trusted) << trusted.error().localizedDescription().toStdString();
            continue;
        }
        ASSERT_FALSE(trusted);
        EXPECT_EQ(trusted.error().code(), NSURLErrorServerCertificateUntrusted);
        EXPECT_TRUE(trusted.error().localizedDescription().contains(c.reason)) << trusted.error().localizedDescription().toStdString();
    }
}

} // namespace
