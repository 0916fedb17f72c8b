#include "webview/NVWebEngineError.h"

#include "network/NVURLError.h"

#include <QWebEngineLoadingInfo>

namespace NVWebEngineError {

namespace {

// The engine's network error codes (Chromium's list, which the engine passes
// on unchanged) and the URL error each one is.
struct Row {
    int engineCode;
    qint64 code;
};

const Row kRows[] = {
    {-3, NSURLErrorCancelled},                          // aborted
    {-7, NSURLErrorTimedOut},                           // timed out
    {-118, NSURLErrorTimedOut},                         // connection timed out
    {-21, NSURLErrorNetworkConnectionLost},             // network changed
    {-100, NSURLErrorNetworkConnectionLost},            // connection closed
    {-101, NSURLErrorNetworkConnectionLost},            // connection reset
    {-103, NSURLErrorNetworkConnectionLost},            // connection aborted
    {-102, NSURLErrorCannotConnectToHost},              // connection refused
    {-104, NSURLErrorCannotConnectToHost},              // connection failed
    {-109, NSURLErrorCannotConnectToHost},              // address unreachable
    {-111, NSURLErrorCannotConnectToHost},              // proxy tunnel failed
    {-105, NSURLErrorCannotFindHost},                   // name not resolved
    {-137, NSURLErrorCannotFindHost},                   // name resolution failed
    {-106, NSURLErrorNotConnectedToInternet},           // internet disconnected
    {-107, NSURLErrorSecureConnectionFailed},           // TLS protocol error
    {-113, NSURLErrorSecureConnectionFailed},           // no common TLS version or cipher
    {-218, NSURLErrorSecureConnectionFailed},           // obsolete TLS version
    {-110, NSURLErrorClientCertificateRequired},        // client certificate needed
    {-117, NSURLErrorClientCertificateRejected},        // bad client certificate
    {-200, NSURLErrorServerCertificateUntrusted},       // another host's certificate
    {-201, NSURLErrorServerCertificateHasBadDate},      // expired or not yet valid
    {-202, NSURLErrorServerCertificateHasUnknownRoot},  // unknown authority
    {-300, NSURLErrorUnsupportedURL},                   // invalid URL
    {-301, NSURLErrorUnsupportedURL},                   // disallowed scheme
    {-302, NSURLErrorUnsupportedURL},                   // unknown scheme
    {-312, NSURLErrorUnsupportedURL},                   // unsafe port
    {-310, NSURLErrorHTTPTooManyRedirects},             // too many redirects
    {-320, NSURLErrorBadServerResponse},                // invalid response
    {-324, NSURLErrorBadServerResponse},                // empty response
};

// Every other certificate error (revoked, weak, pinned key missing...)
// says that the server cannot be trusted.
constexpr int FirstCertificateError = -299;
constexpr int LastCertificateError = -200;
constexpr int PinnedKeyMissing = -150;

qint64 codeForEngineCode(int engineCode)
{
    for (const Row &row : kRows) {
        if (row.engineCode == engineCode)
            return row.code;
    }
    if ((engineCode >= FirstCertificateError && engineCode <= LastCertificateError) || engineCode == PinnedKeyMissing)
        return NSURLErrorServerCertificateUntrusted;
    return NSURLErrorUnknown;
}

} // namespace

NVError errorForFailedLoad(const QWebEngineLoadingInfo &info)
{
    return NVURLError::errorWithCode(codeForEngineCode(info.errorCode()), info.url(), {}, std::nullopt, info.errorString());
}

} // namespace NVWebEngineError
