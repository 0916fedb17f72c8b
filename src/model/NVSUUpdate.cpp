#include "model/NVSUUpdate.h"

#include "foundation/NVBundle.h"
#include "foundation/NVValue.h"
#include "logging/NVLog.h"

#include <array>

namespace {

enum class Requirement { Mandatory, Optional };
enum class Localizable { No, Yes };
enum class ValueClass { String, Number };

struct KeyRule {
    const QString &key;
    Requirement requirement;
    Localizable localizable;
    ValueClass valueClass = ValueClass::String;
};

// Validation walks the keys in this order and reports only the first
// offending one, so the order is part of what a feed author sees.
const std::array<KeyRule, 12> &keyRules()
{
    static const std::array<KeyRule, 12> rules{{
        {NVSUUpdateKey::BundleVersion, Requirement::Mandatory, Localizable::No},
        {NVSUUpdateKey::BundleShortVersionString, Requirement::Mandatory, Localizable::No},
        {NVSUUpdateKey::InstallationObject, Requirement::Mandatory, Localizable::No},
        {NVSUUpdateKey::InstallationMechanism, Requirement::Mandatory, Localizable::No},
        {NVSUUpdateKey::DownloadURL, Requirement::Mandatory, Localizable::No},
        {NVSUUpdateKey::DownloadPageURL, Requirement::Mandatory, Localizable::Yes},
        {NVSUUpdateKey::ReleaseNotesURL, Requirement::Optional, Localizable::Yes},
        {NVSUUpdateKey::ReleaseLifecycle, Requirement::Optional, Localizable::No},
        {NVSUUpdateKey::MinimumSystemVersion, Requirement::Optional, Localizable::No},
        {NVSUUpdateKey::MaximumSystemVersion, Requirement::Optional, Localizable::No},
        {NVSUUpdateKey::MinimumBaseVersion, Requirement::Optional, Localizable::No},
        {NVSUUpdateKey::SuppressAutoUpdate, Requirement::Optional, Localizable::No, ValueClass::Number},
    }};
    return rules;
}

// Localization names compare without regard to case or to "-" versus "_".
QString normalizedLanguage(const QString &name) { return name.toLower().replace(u'_', u'-'); }

QString languageOnly(const QString &normalized) { return normalized.section(u'-', 0, 0); }

bool isURLCharacter(char16_t c)
{
    // Unreserved, reserved and the percent sign: the characters a URL may
    // hold literally. Anything else (blanks, quotes, non-ASCII letters) means
    // the text is not a URL.
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'))
        return true;
    switch (c) {
    case u'-': case u'.': case u'_': case u'~':
    case u':': case u'/': case u'?': case u'#': case u'[': case u']': case u'@':
    case u'!': case u'$': case u'&': case u'\'': case u'(': case u')':
    case u'*': case u'+': case u',': case u';': case u'=': case u'%':
        return true;
    default:
        return false;
    }
}

qsizetype ruleIndex(const std::array<KeyRule, 12> &rules, const QString &key)
{
    // The lengths differ for most pairs, so most comparisons end there.
    for (size_t i = 0; i < rules.size(); ++i)
        if (rules[i].key.size() == key.size() && rules[i].key == key)
            return qsizetype(i);
    return -1;
}

bool isHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

} // namespace

QString NVSUPreferredLocalization(const QStringList &keys, const QStringList &userLanguages)
{
    if (keys.isEmpty())
        return QString();
    QStringList normalizedKeys;
    normalizedKeys.reserve(keys.size());
    for (const QString &key : keys)
        normalizedKeys << normalizedLanguage(key);

    for (const QString &language : userLanguages) {
        const QString wanted = normalizedLanguage(language);
        if (wanted.isEmpty())
            continue;
        const qsizetype exact = normalizedKeys.indexOf(wanted);
        if (exact >= 0)
            return keys[exact];
        const QString base = languageOnly(wanted);
        const qsizetype general = normalizedKeys.indexOf(base);
        if (general >= 0)
            return keys[general];
        for (qsizetype i = 0; i < normalizedKeys.size(); ++i)
            if (languageOnly(normalizedKeys[i]) == base)
                return keys[i];
    }
    const qsizetype english = normalizedKeys.indexOf(QStringLiteral("en"));
    if (english >= 0)
        return keys[english];
    // QVariantMap keys come sorted, so this is the smallest one: the same
    // answer whatever order the feed wrote them in.
    QString smallest = keys.first();
    for (const QString &key : keys)
        if (key < smallest)
            smallest = key;
    return smallest;
}

std::optional<QUrl> NVSUURLFromFeedString(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!isURLCharacter(c))
            return std::nullopt;
        if (c == u'%' && !(i + 2 < text.size() && isHexDigit(text[i + 1].unicode()) && isHexDigit(text[i + 2].unicode())))
            return std::nullopt;
    }
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

std::optional<NVSUUpdate> NVSUUpdate::initWithUpdateProperties(const QVariantMap &properties, const QStringList *userLanguages)
{
    const std::array<KeyRule, 12> &rules = keyRules();

    // One pass over the dictionary finds the value of every known key; a feed
    // holds thousands of entries, and twelve lookups each would dominate.
    std::array<const QVariant *, 12> found{};
    qsizetype unknownKeys = 0;
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        const qsizetype index = ruleIndex(rules, it.key());
        if (index >= 0)
            found[index] = &it.value();
        else
            ++unknownKeys;
    }

    QStringList languages;
    bool languagesRead = false;
    // Values that differ from the dictionary's own: a localized string taken
    // out of its dictionary, a flag read from text.
    std::array<QVariant, 12> replaced;
    std::array<bool, 12> isReplaced{};
    bool changed = unknownKeys > 0;

    for (size_t index = 0; index < rules.size(); ++index) {
        const KeyRule &rule = rules[index];
        const QVariant *value = found[index];

        if (value && rule.localizable == Localizable::Yes && NVValue::isDictionary(*value)) {
            const QVariantMap &localized = *static_cast<const QVariantMap *>(value->constData());
            if (!userLanguages && !languagesRead) {
                languages = NVBundle::userLanguages();
                languagesRead = true;
            }
            const QString chosen = NVSUPreferredLocalization(localized.keys(), userLanguages ? *userLanguages : languages);
            if (chosen.isNull()) {
                found[index] = nullptr; // an empty dictionary counts as absent
                value = nullptr;
            } else {
                replaced[index] = localized.value(chosen);
                isReplaced[index] = true;
                value = &replaced[index];
            }
            changed = true;
        }

        if (!value) {
            if (rule.requirement == Requirement::Mandatory) {
                NVSULog(QStringLiteral("Mandatory property %@ not found in update description"), rule.key);
                return std::nullopt;
            }
            continue;
        }

        if (rule.valueClass == ValueClass::Number) {
            // A feed may write the flag as text; only "YES" in any case is true.
            if (NVValue::isString(*value)) {
                replaced[index] = QVariant(value->toString().compare(QLatin1String("YES"), Qt::CaseInsensitive) == 0);
                isReplaced[index] = true;
                changed = true;
            } else if (!NVValue::isNumber(*value)) {
                NVSULog(QStringLiteral("Class of property %@ is %@, not NSNumber"), rule.key, NVValue::className(*value));
                return std::nullopt;
            }
        } else if (!NVValue::isString(*value)) {
            NVSULog(QStringLiteral("Class of property %@ is %@, not NSString"), rule.key, NVValue::className(*value));
            return std::nullopt;
        }
    }

    // Most entries hold exactly the known keys as they are: then the kept
    // dictionary is the given one, shared rather than copied.
    if (!changed)
        return NVSUUpdate(properties);
    QVariantMap kept;
    for (size_t index = 0; index < rules.size(); ++index) {
        if (isReplaced[index])
            kept.insert(rules[index].key, replaced[index]);
        else if (found[index])
            kept.insert(rules[index].key, *found[index]);
    }
    return NVSUUpdate(std::move(kept));
}

QString NVSUUpdate::stringValue(const QString &key) const
{
    // Validation let only strings through under these keys.
    auto found = m_properties.constFind(key);
    if (found == m_properties.constEnd() || !NVValue::isString(found.value()))
        return QString();
    return *static_cast<const QString *>(found.value().constData());
}

std::optional<NVSUVersion> NVSUUpdate::optionalVersion(const QString &key) const
{
    return NVSUVersion::versionWithVersionNumber(stringValue(key));
}

NVSUVersion NVSUUpdate::version() const
{
    return NVSUVersion(stringValue(NVSUUpdateKey::BundleVersion), stringValue(NVSUUpdateKey::BundleShortVersionString));
}

std::optional<NVSUVersion> NVSUUpdate::minimumSystemVersion() const { return optionalVersion(NVSUUpdateKey::MinimumSystemVersion); }
std::optional<NVSUVersion> NVSUUpdate::maximumSystemVersion() const { return optionalVersion(NVSUUpdateKey::MaximumSystemVersion); }
std::optional<NVSUVersion> NVSUUpdate::minimumBaseVersion() const { return optionalVersion(NVSUUpdateKey::MinimumBaseVersion); }

NVSUInstallationMechanism NVSUUpdate::installationMechanism() const
{
    const QString text = stringValue(NVSUUpdateKey::InstallationMechanism);
    if (text == QLatin1String("Installer"))
        return NVSUInstallationMechanismInstaller;
    if (text == QLatin1String("ReplaceBundle"))
        return NVSUInstallationMechanismReplaceBundle;
    return NVSUInstallationMechanismUnsupported;
}

QString NVSUUpdate::installationObject() const { return stringValue(NVSUUpdateKey::InstallationObject); }

NVSUReleaseLifecycle NVSUUpdate::releaseLifecycle() const
{
    const QString text = stringValue(NVSUUpdateKey::ReleaseLifecycle);
    if (text == QLatin1String("beta"))
        return NVSUReleaseLifecycleBeta;
    if (text == QLatin1String("nightly"))
        return NVSUReleaseLifecycleNightly;
    if (text == QLatin1String("release candidate"))
        return NVSUReleaseLifecycleReleaseCandidate;
    return NVSUReleaseLifecycleRelease;
}

bool NVSUUpdate::suppressAutoUpdate() const
{
    // A string was turned into a Boolean by validation; a number is read by
    // its Boolean value. Absent reads as false.
    return NVValue::boolValue(m_properties.value(NVSUUpdateKey::SuppressAutoUpdate));
}

std::optional<QUrl> NVSUUpdate::downloadURL() const { return NVSUURLFromFeedString(stringValue(NVSUUpdateKey::DownloadURL)); }

std::optional<QUrl> NVSUUpdate::downloadPageURL() const
{
    return NVSUURLFromFeedString(stringValue(NVSUUpdateKey::DownloadPageURL));
}

std::optional<QUrl> NVSUUpdate::releaseNotesURL() const
{
    if (!m_properties.contains(NVSUUpdateKey::ReleaseNotesURL))
        return std::nullopt;
    // The page learns which version the user has, so it can show the notes
    // of every version in between.
    const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
    const QString text = stringValue(NVSUUpdateKey::ReleaseNotesURL) + QStringLiteral("?v=")
        + (installed ? installed->versionNumber() : QStringLiteral("(null)"));
    return NVSUURLFromFeedString(text);
}

bool NVSUUpdate::isCompatibleWithSystemVersion() const
{
    const NVSUVersion system = NVSUVersion::systemVersion();
    const std::optional<NVSUVersion> minimum = minimumSystemVersion();
    if (minimum && system.compareVersion(*minimum) == NVOrderedAscending) {
        NVSUDebugLog(QStringLiteral("Skipping update to %@ because it requires at least glibc %@"), version(), *minimum);
        return false;
    }
    const std::optional<NVSUVersion> maximum = maximumSystemVersion();
    if (!maximum)
        return true;
    if (system.compareVersion(*maximum) == NVOrderedDescending) {
        NVSUDebugLog(QStringLiteral("Skipping update to %@ because it runs only up to glibc %@"), version(), *maximum);
        return false;
    }
    return true;
}

bool NVSUUpdate::isAutoUpgradable() const
{
    if (!isCompatibleWithSystemVersion())
        return false;
    if (const std::optional<NVSUVersion> base = minimumBaseVersion()) {
        // Without an installed version nothing proves the minimum is met; it
        // compares as 0.0.0.
        const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
        const NVComparisonResult order = installed ? installed->compareVersion(*base)
                                                   : NVSUVersion::compareComponents({}, NVSUVersion::parseVersionNumber(base->versionNumber()));
        if (order == NVOrderedAscending)
            return false;
    }
    if (suppressAutoUpdate())
        return false;
    return isFreeUpdate();
}

bool NVSUUpdate::isCompatibleAndAutoUpgradable() const
{
    // isAutoUpgradable asks for compatibility first and logs the failed bound
    // once; asking compatibility separately before it would add nothing.
    return isAutoUpgradable();
}

bool NVSUUpdate::isBetterThanUpdate(const NVSUUpdate *other) const
{
    if (!other)
        return true;
    const bool mine = isCompatibleAndAutoUpgradable();
    const bool theirs = other->isCompatibleAndAutoUpgradable();
    if (mine != theirs)
        return mine;
    return other->version().compareVersion(version()) == NVOrderedAscending;
}

QString NVSUUpdate::description() const { return NVValue::description(QVariant(m_properties)) + u' '; }
