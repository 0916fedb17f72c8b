#include "foundation/NVError.h"

#include "foundation/NVValue.h"

#include <cstring>

NVError::NVError(QString domain, qint64 code, QVariantMap userInfo)
    : m_domain(std::move(domain)), m_code(code), m_userInfo(std::move(userInfo))
{
}

NVError NVError::posix(int code, QVariantMap userInfo)
{
    return NVError(NSPOSIXErrorDomain, code, std::move(userInfo));
}

NVError NVError::withDescription(QString domain, qint64 code, const QString &description)
{
    return NVError(std::move(domain), code, {{NSLocalizedDescriptionKey, description}});
}

QString NVError::localizedDescription() const
{
    const QVariant described = m_userInfo.value(NSLocalizedDescriptionKey);
    if (described.typeId() == QMetaType::QString)
        return described.toString();
    if (m_domain == NSPOSIXErrorDomain && m_code > 0 && m_code < 4096)
        return QString::fromLocal8Bit(std::strerror(static_cast<int>(m_code)));
    return QStringLiteral("The operation couldn’t be completed. (%1 error %2.)").arg(m_domain).arg(m_code);
}

QString NVError::localizedRecoverySuggestion() const
{
    return m_userInfo.value(NSLocalizedRecoverySuggestionErrorKey).toString();
}

QStringList NVError::localizedRecoveryOptions() const
{
    return m_userInfo.value(NSLocalizedRecoveryOptionsErrorKey).toStringList();
}

std::optional<NVError> NVError::underlyingError() const
{
    const QVariant underlying = m_userInfo.value(NSUnderlyingErrorKey);
    if (underlying.canConvert<NVError>() && underlying.metaType() == QMetaType::fromType<NVError>())
        return underlying.value<NVError>();
    return std::nullopt;
}

QUrl NVError::failingURL() const
{
    const QVariant url = m_userInfo.value(NSErrorFailingURLKey);
    if (url.metaType() == QMetaType::fromType<QUrl>())
        return url.toUrl();
    return QUrl(url.toString());
}

QString NVError::description() const
{
    QString text = QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(m_domain).arg(m_code).arg(localizedDescription());
    if (!m_userInfo.isEmpty())
        text += QStringLiteral(" UserInfo=") + NVValue::description(QVariant(m_userInfo));
    return text;
}

bool NVError::operator==(const NVError &other) const
{
    return m_domain == other.m_domain && m_code == other.m_code && m_userInfo == other.m_userInfo;
}
