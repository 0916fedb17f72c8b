#include "network/NVHTTPURLResponse.h"

NVHTTPURLResponse::NVHTTPURLResponse(QUrl url, int statusCode, QList<HeaderField> headerFields)
    : m_url(std::move(url)), m_statusCode(statusCode), m_headerFields(std::move(headerFields))
{
}

NVHTTPURLResponse NVHTTPURLResponse::fromReply(const QNetworkReply &reply)
{
    return NVHTTPURLResponse(reply.url(), reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                             reply.rawHeaderPairs());
}

QByteArray NVHTTPURLResponse::valueForHTTPHeaderField(const QByteArray &field) const
{
    QByteArray value;
    for (const HeaderField &header : m_headerFields) {
        if (header.first.compare(field, Qt::CaseInsensitive) != 0)
            continue;
        if (!value.isEmpty())
            value += ", ";
        value += header.second;
    }
    return value;
}

qint64 NVHTTPURLResponse::expectedContentLength() const
{
    const QByteArray encoding = valueForHTTPHeaderField("Content-Encoding").trimmed().toLower();
    if (!encoding.isEmpty() && encoding != "identity")
        return -1;
    bool ok = false;
    const qint64 length = valueForHTTPHeaderField("Content-Length").trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

QString NVHTTPURLResponse::MIMEType() const
{
    QByteArray type = valueForHTTPHeaderField("Content-Type");
    const qsizetype parameters = type.indexOf(';');
    if (parameters >= 0)
        type.truncate(parameters);
    return QString::fromLatin1(type).trimmed().toLower();
}
