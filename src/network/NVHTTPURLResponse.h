#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QString>
#include <QUrl>

// The head of an HTTP response as the session's delegate sees it: the URL it
// answers, the status and the header fields. A value; any thread.
class NVHTTPURLResponse {
public:
    using HeaderField = QNetworkReply::RawHeaderPair;

    NVHTTPURLResponse() = default;
    NVHTTPURLResponse(QUrl url, int statusCode, QList<HeaderField> headerFields);
    // The response a reply has received so far. Main thread (the reply's).
    static NVHTTPURLResponse fromReply(const QNetworkReply &reply);

    const QUrl &URL() const { return m_url; }
    int statusCode() const { return m_statusCode; }
    const QList<HeaderField> &allHeaderFields() const { return m_headerFields; }

    // The value of a header field, matched without regard to case; several
    // fields of one name are joined with ", ". Empty when absent.
    QByteArray valueForHTTPHeaderField(const QByteArray &field) const;

    // Content-Length, or -1 when the server gave none or the body is sent
    // encoded (its decoded length is then unknown).
    qint64 expectedContentLength() const;
    // The media type of Content-Type without parameters, lower case.
    QString MIMEType() const;

private:
    QUrl m_url;
    int m_statusCode = 0;
    QList<HeaderField> m_headerFields;
};
