#pragma once

#include "foundation/NVError.h"

class QWebEngineLoadingInfo;

// Failed loads of the browser engine as the errors the rest of the updater
// knows: "NSURLErrorDomain" with the transport's codes and descriptions, so
// that the release notes fail with the same words as the feed.
namespace NVWebEngineError {

// The error for a failed load (the engine's network error code chooses the
// row; one the table lacks keeps the engine's text). Any thread.
NVError errorForFailedLoad(const QWebEngineLoadingInfo &info);

} // namespace NVWebEngineError
