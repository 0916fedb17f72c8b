// Checks a signed 1 GiB file and compares with sha256sum over the same file in
// the same run: throughput, the ratio of the two times, and the peak memory of
// the check for a 64 MiB and a 1 GiB file (it must not grow with the file).
//
//   bench_signature_verify [--size-mib N] [--tool PATH]

#include "BenchReport.h"
#include "platform/NVCertificateMaker.h"
#include "platform/NVCodeSigning.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

struct Measure {
    double seconds = 0;
    long maxRSSKiB = 0;
    int exitCode = -1;
};

// Runs a command to the end under GNU time, which forks from its own small
// process, so the peak RSS is the command's (a child spawned from this
// process would report this process's RSS as its floor). Wall time is
// measured here, from spawn to exit.
Measure runCommand(const QStringList &command, const QString &reportPath)
{
    const QStringList timed = QStringList{QStringLiteral("/usr/bin/time"), QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), reportPath} + command;
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    for (const QString &argument : timed)
        storage.push_back(argument.toLocal8Bit());
    for (QByteArray &argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    Measure measure;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        measure.seconds = timer.nsecsElapsed() / 1e9;
        measure.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        QFile report(reportPath);
        if (report.open(QIODevice::ReadOnly))
            measure.maxRSSKiB = report.readAll().trimmed().split('\n').last().toLong();
    }
    posix_spawn_file_actions_destroy(&actions);
    return measure;
}

Measure best(const QStringList &command, const QString &reportPath, int runs)
{
    Measure result;
    for (int i = 0; i < runs; ++i) {
        const Measure m = runCommand(command, reportPath);
        if (i == 0 || m.seconds < result.seconds)
            result = m;
        result.maxRSSKiB = std::max(result.maxRSSKiB, m.maxRSSKiB);
    }
    return result;
}

bool writeData(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    std::vector<quint64> block((1 << 20) / sizeof(quint64));
    quint64 state = 0x9E3779B97F4A7C15ULL;
    for (qint64 written = 0; written < bytes; written += qint64(block.size() * sizeof(quint64))) {
        for (quint64 &word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        if (file.write(reinterpret_cast<const char *>(block.data()), qint64(block.size() * sizeof(quint64))) < 0)
            return false;
    }
    return true;
}

bool writePEM(const QString &path, const QByteArray &pem)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(pem) == pem.size();
}

double mib(qint64 bytes) { return bytes / double(1 << 20); }

} // namespace

int main(int argc, char **argv)
{
    qint64 sizeMiB = 1024;
    QString tool = QStringLiteral(NV_BENCH_BUNDLE_DIR "/Contents/MacOS/nvsu-release");
    for (int i = 1; i + 1 < argc; i += 2) {
        if (qstrcmp(argv[i], "--size-mib") == 0)
            sizeMiB = QByteArray(argv[i + 1]).toLongLong();
        else if (qstrcmp(argv[i], "--tool") == 0)
            tool = QString::fromLocal8Bit(argv[i + 1]);
    }

    QTemporaryDir work;
    NVCertificateRequest rootRequest;
    rootRequest.role = NVCertificateRequest::Role::Authority;
    rootRequest.commonName = QStringLiteral("Benchmark Root");
    auto root = NVCertificateMaker::make(rootRequest);
    NVCertificateRequest leafRequest;
    leafRequest.commonName = QStringLiteral("Benchmark Signer");
    leafRequest.organizationalUnit = QStringLiteral("Q4XW8N2JTD");
    leafRequest.distributionExtension = true;
    auto leaf = root ? NVCertificateMaker::make(leafRequest, &root.value()) : NVResult<NVIdentity>(root.error());
    if (!leaf) {
        std::fprintf(stderr, "cannot make certificates\n");
        return 1;
    }
    const QString anchors = work.filePath(QStringLiteral("anchors.pem"));
    const QString certificate = work.filePath(QStringLiteral("certificate.pem"));
    const QString key = work.filePath(QStringLiteral("key.pem"));
    writePEM(anchors, root->certificatePEM());
    writePEM(certificate, leaf->certificatePEM());
    writePEM(key, leaf->privateKeyPEM());
    auto identity = NVCodeSigning::loadIdentity(certificate, key);
    const auto requirement = NVCodeRequirement::create(QStringLiteral(
        "anchor apple generic and certificate leaf[subject.OU] = \"Q4XW8N2JTD\" and "
        "certificate leaf[field.1.2.840.113635.100.6.1.13] exists"));
    if (!identity || !requirement) {
        std::fprintf(stderr, "cannot load the signing identity\n");
        return 1;
    }

    std::printf("signature check vs sha256sum (best of 3, files in the page cache)\n");
    long rssSmall = 0;
    for (const qint64 size : {qint64(64), sizeMiB}) {
        const qint64 bytes = size << 20;
        const QString file = work.filePath(QStringLiteral("update-%1.dmg").arg(size));
        if (!writeData(file, bytes) || !NVCodeSigning::signFile(file, identity.value())) {
            std::fprintf(stderr, "cannot write or sign %s\n", qPrintable(file));
            return 1;
        }
        const QString report = work.filePath(QStringLiteral("time-report"));
        runCommand({QStringLiteral("/usr/bin/cat"), file}, report); // into the page cache

        const Measure verify = best({tool, QStringLiteral("verify"), file, QStringLiteral("--anchors"), anchors}, report, 3);
        const Measure sha = best({QStringLiteral("/usr/bin/sha256sum"), file}, report, 3);
        if (verify.exitCode != 0 || sha.exitCode != 0) {
            std::fprintf(stderr, "verify exit %d, sha256sum exit %d\n", verify.exitCode, sha.exitCode);
            return 1;
        }
        double inProcess = 0;
        for (int run = 0; run < 3; ++run) {
            auto code = NVStaticCode::create(file);
            QElapsedTimer timer;
            timer.start();
            const NVCodeSigningResult result = code.value()->checkValidity(requirement.value(), NVCodeSigningAnchors::fromFile(anchors));
            const double seconds = timer.nsecsElapsed() / 1e9;
            if (result.status != errSecSuccess) {
                std::fprintf(stderr, "check failed: %s\n", qPrintable(result.reason));
                return 1;
            }
            inProcess = run == 0 ? seconds : std::min(inProcess, seconds);
        }

        std::printf("\n%lld MiB file\n", static_cast<long long>(size));
        std::printf("  nvsu-release verify  %7.3f s  %8.0f MiB/s  max RSS %6.1f MiB\n", verify.seconds, mib(bytes) / verify.seconds,
                    verify.maxRSSKiB / 1024.0);
        std::printf("  sha256sum            %7.3f s  %8.0f MiB/s  max RSS %6.1f MiB\n", sha.seconds, mib(bytes) / sha.seconds, sha.maxRSSKiB / 1024.0);
        std::printf("  in-process check     %7.3f s  %8.0f MiB/s\n", inProcess, mib(bytes) / inProcess);
        std::printf("  ratio (verify throughput / sha256sum throughput): %.2fx\n", sha.seconds / verify.seconds);
        BenchReport::row("signature check, " + std::to_string(size) + " MiB (throughput)",
                         BenchReport::figure(mib(bytes) / verify.seconds, "MiB/s") + ", " + BenchReport::figure(verify.maxRSSKiB / 1024.0, "MiB"),
                         BenchReport::figure(mib(bytes) / sha.seconds, "MiB/s") + " sha256sum", sha.seconds / verify.seconds,
                         BenchReport::atLeast(0.9), sha.seconds / verify.seconds >= 0.9);
        if (size == 64)
            rssSmall = verify.maxRSSKiB;
        else
            std::printf("\nmax RSS of verify, 64 MiB -> %lld MiB: %.1f -> %.1f MiB\n", static_cast<long long>(size), rssSmall / 1024.0,
                        verify.maxRSSKiB / 1024.0);
        QFile::remove(file);
    }
    return 0;
}
