#include "network/NVSURequest.h"

#include "platform/NVBundle.h"

#include <QFile>
#include <QtGlobal>

#include <sys/utsname.h>

namespace NVSUExtensions {

namespace {

// The model files hold a short name; anything longer than the 255 bytes a
// system control would give is cut there.
constexpr qint64 kModelReadLimit = 255;

QString readModelFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.read(kModelReadLimit);
    // The device tree ends its strings with NUL; DMI files with a line feed.
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromUtf8(bytes).trimmed();
}

QString machineModel()
{
    const QString dmi = readModelFile(QStringLiteral("/sys/devices/virtual/dmi/id/product_name"));
    return dmi.isEmpty() ? readModelFile(QStringLiteral("/sys/firmware/devicetree/base/model")) : dmi;
}

bool keptUnencoded(char32_t character)
{
    return QChar::isLetterOrNumber(character) || QChar::isMark(character) || character == U'.' || character == U'_';
}

QString percentEncoded(const QString &value)
{
    QString encoded;
    encoded.reserve(value.size());
    for (const char32_t character : value.toUcs4()) {
        const QString text = QString::fromUcs4(&character, 1);
        if (keptUnencoded(character)) {
            encoded += text;
            continue;
        }
        for (const char byte : text.toUtf8())
            encoded += QStringLiteral("%%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0')).toUpper();
    }
    return encoded;
}

QString field(const QString &value, const char *fallback)
{
    return percentEncoded(value.isEmpty() ? QString::fromLatin1(fallback) : value);
}

} // namespace

QString userAgentString(const NVUserAgentValues &values)
{
    return QStringLiteral("%1/%2 %3/%4 %5/%6 (%7) (%8)")
        .arg(field(values.appName, "UnknownApp"), field(values.appVersion, "UnknownAppVersion"),
             field(values.frameworkName, "UnknownFramework"), field(values.frameworkVersion, "UnknownFrameworkVersion"),
             field(values.system, "UnknownSystem"), field(values.systemVersion, "UnknownSystemVersion"),
             field(values.architecture, "UnknownArchitecture"), field(values.model, "UnknownModel"));
}

NVUserAgentValues currentUserAgentValues()
{
    NVUserAgentValues values;
    const NVBundle *bundle = NVBundle::mainBundle();
    values.appName = bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString();
    values.appVersion = bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString();
    values.frameworkName = QStringLiteral("QtNetwork");
    values.frameworkVersion = QString::fromLatin1(qVersion());
    struct utsname names {};
    if (::uname(&names) == 0) {
        values.system = QString::fromUtf8(names.sysname);
        values.systemVersion = QString::fromUtf8(names.release);
        values.architecture = QString::fromUtf8(names.machine);
    }
    values.model = machineModel();
    return values;
}

const QString &defaultUserAgentStringIncludingModelIdentifier()
{
    // A function-local static is initialised exactly once, and callers on
    // other threads wait until it is.
    static const QString userAgent = userAgentString(currentUserAgentValues());
    return userAgent;
}

QNetworkRequest nvsuRequestWithURL(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // No overall time-out: zero turns Qt's transfer timer off.
    request.setTransferTimeout(0);
    NVExtensions::setDefaultUserAgentStringIncludingModelIdentifier(request);
    return request;
}

} // namespace NVSUExtensions

namespace NVExtensions {

void setDefaultUserAgentStringIncludingModelIdentifier(QNetworkRequest &request)
{
    request.setRawHeader("User-Agent", NVSUExtensions::defaultUserAgentStringIncludingModelIdentifier().toUtf8());
}

} // namespace NVExtensions
