// nvsu-test-server: serves a folder over HTTPS on loopback, for the demo and
// the download benchmark. Not part of the bundle.
//
//   nvsu-test-server --root DIR --certificate PEM --key PEM
//
// The certificate file may hold the chain (server certificate first); the
// key is an EC key, as "nvsu-release keys" makes. Prints "https PORT" on
// standard output once listening on a free port, then serves until SIGINT
// or SIGTERM.
#include "support/TestHTTPSServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int fail(const QString &message)
{
    std::fprintf(stderr, "nvsu-test-server: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves a folder over HTTPS on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption root(QStringLiteral("root"), QStringLiteral("The folder to serve."), QStringLiteral("DIR"));
    const QCommandLineOption certificate(QStringLiteral("certificate"), QStringLiteral("Server certificate chain (PEM)."), QStringLiteral("PEM"));
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("The certificate's private key (PEM)."), QStringLiteral("PEM"));
    parser.addOptions({root, certificate, key});
    parser.process(application);

    if (!parser.isSet(root) || !parser.isSet(certificate) || !parser.isSet(key))
        return fail(QStringLiteral("--root, --certificate and --key are required"));
    TestHTTPSServer::Identity identity;
    identity.chain = QSslCertificate::fromData(readAll(parser.value(certificate)), QSsl::Pem);
    identity.key = QSslKey(readAll(parser.value(key)), QSsl::Ec, QSsl::Pem);
    if (identity.chain.isEmpty() || identity.key.isNull())
        return fail(QStringLiteral("cannot read the certificate \"%1\" or the key \"%2\"").arg(parser.value(certificate), parser.value(key)));

    TestHTTPSServer server(identity);
    if (server.port() == 0)
        return fail(QStringLiteral("cannot listen on 127.0.0.1"));
    server.setFolder(parser.value(root));

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &application, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::printf("https %u\n", unsigned(server.port()));
    std::fflush(stdout);
    return application.exec();
}
