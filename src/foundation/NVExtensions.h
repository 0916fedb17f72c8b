#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <limits>
#include <optional>

#include <sys/types.h>

// A range of positions in a sequence, as the platform's searches report it.
struct NVRange {
    qint64 location = 0;
    qint64 length = 0;

    // "{location, length}", the platform's textual form. Any thread.
    QString description() const;
    bool operator==(const NVRange &) const = default;
};

// The location of a range that was not found.
inline constexpr qint64 NVNotFound = std::numeric_limits<qint64>::max();

// Small helpers that extend platform types: searching data, finding processes,
// making URLs from what people type.
namespace NVExtensions {

// Finds the first occurrence of `dataToFind` inside `range` of `data`,
// searching forwards. Answers the occurrence's range counted from the start
// of `data`, or {NVNotFound, 0}.
//
// An empty `dataToFind` is never found, whatever the range. Otherwise the
// range must lie inside the data (its location below the data's length, its
// end at or before it): any other range, including every range on empty data,
// is a programming error that ends the process with
// "-[NSData rangeOfData:options:range:]: search range {L, N} outside receiver's range of bytes {0, SIZE}".
//
// Any thread.
NVRange rangeOfData(const QByteArray &data, const QByteArray &dataToFind, NVRange range);

// The ids of running processes whose executable is `path`, in the order in
// which the system lists them (/proc), at most `maximumCount` of them. The
// path is compared byte for byte with what the kernel reports for each
// process, which is the executable's canonical absolute path. Processes whose
// executable cannot be read (other users' processes without the rights to
// inspect them) are skipped.
//
// Any thread; reads /proc, so it takes time proportional to the number of
// processes.
QList<pid_t> pidsOfProcessesWithExecutablePath(const QString &path, qsizetype maximumCount);

// Whether url and other name the same resource: equal in every component
// but the fragment. An empty other is never equal. Any thread.
bool isEqualIgnoringFragmentToURL(const QUrl &url, const QUrl &other);

// A URL from a string in which some characters may be percent-encoded and
// others not: every escape is decoded, then everything outside the
// characters a query may hold is encoded again, so a string partly encoded,
// fully encoded or not at all gives the same URL. Only the last "#" (or the
// last "%23") separates a fragment; earlier ones stay encoded. Nothing for an
// empty string, an invalid escape, escapes that are not UTF-8, or a result
// that is not a valid URL. Any thread.
std::optional<QUrl> URLFromPartiallyEncodedURLString(const QString &string);

// A URL from what a person typed: blanks around it are dropped; without a
// colon it gets schemePrefix, or "mailto:" when it looks like a mail address
// (two non-empty parts around one "@"), or else "http://"; "file:///~"
// starts at the home folder. Then as URLFromPartiallyEncodedURLString. A
// colon anywhere (a host with a port) counts as a scheme. Any thread.
std::optional<QUrl> URLFromLazyURLString(const QString &string, const QString &schemePrefix = QString());

} // namespace NVExtensions
