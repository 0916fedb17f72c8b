#include "model/NVSUUpdate.h"

#include "platform/NVBundle.h"
#include "foundation/NVValue.h"
#include "logging/NVLog.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <mutex>
#include <vector>

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

// The position of each key in the table below.
enum Slot : size_t {
    BundleVersionSlot,
    BundleShortVersionStringSlot,
    InstallationObjectSlot,
    InstallationMechanismSlot,
    DownloadURLSlot,
    DownloadPageURLSlot,
    ReleaseNotesURLSlot,
    ReleaseLifecycleSlot,
    MinimumSystemVersionSlot,
    MaximumSystemVersionSlot,
    MinimumBaseVersionSlot,
    SuppressAutoUpdateSlot,
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

// Localization names compare without regard to case or to "-" versus "_"
// (language tags are ASCII; anything else must match exactly).
char16_t foldedLanguageCharacter(char16_t c)
{
    if (c >= u'A' && c <= u'Z')
        return char16_t(c + (u'a' - u'A'));
    return c == u'_' ? u'-' : c;
}

bool isSameLanguageName(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (foldedLanguageCharacter(a[i].unicode()) != foldedLanguageCharacter(b[i].unicode()))
            return false;
    return true;
}

// "de" of "de-AT", "pt" of "pt_BR", "zh" of "zh-Hant-TW".
QStringView languageOnly(QStringView name)
{
    for (qsizetype i = 0; i < name.size(); ++i)
        if (name[i] == u'-' || name[i] == u'_')
            return name.first(i);
    return name;
}

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
    // The lengths differ for most pairs, so most comparisons end there; the
    // rest compare their characters directly.
    for (size_t i = 0; i < rules.size(); ++i) {
        const QString &known = rules[i].key;
        if (known.size() == key.size()
            && std::memcmp(known.constData(), key.constData(), size_t(key.size()) * sizeof(QChar)) == 0)
            return qsizetype(i);
    }
    return -1;
}

bool isHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

} // namespace

struct NVSUUpdate::Data {
    explicit Data(NVSUVersion updateVersion) : version(std::move(updateVersion)) {}

    NVSUVersion version;
    std::optional<NVSUVersion> minimumSystemVersion;
    std::optional<NVSUVersion> maximumSystemVersion;
    std::optional<NVSUVersion> minimumBaseVersion;
    NVSUInstallationMechanism installationMechanism = NVSUInstallationMechanismUnsupported;
    NVSUReleaseLifecycle releaseLifecycle = NVSUReleaseLifecycleRelease;
    bool suppressAutoUpdate = false;
    QString installationObject;
    QString downloadURL;
    QString downloadPageURL;
    QString releaseNotesURL; // null when absent

    // The kept dictionary is the given one when validation changed nothing.
    // Otherwise it is made from the given one and the changes when first
    // asked for: most candidates are rejected long before anybody does.
    QVariantMap source;
    bool sourceIsKept = false;
    std::vector<std::pair<size_t, QVariant>> replacements; // (table position, value)
    std::bitset<12> dropped;                              // empty localized dictionaries
    mutable std::once_flag keptBuilt;
    mutable QVariantMap kept;
};

namespace {

// The text of a kept value: null when the key is absent, never null when it
// is present (an empty text read from a feed may be a null QString, and a
// null version number would be a programming error).
const QString &stringIn(const QVariant *value)
{
    static const QString absent;
    static const QString empty = QStringLiteral("");
    if (!value || !NVValue::isString(*value))
        return absent;
    const QString &text = *static_cast<const QString *>(value->constData());
    return text.isNull() ? empty : text;
}

NVSUInstallationMechanism mechanismFromText(const QString &text)
{
    if (text == QLatin1String("Installer"))
        return NVSUInstallationMechanismInstaller;
    if (text == QLatin1String("ReplaceBundle"))
        return NVSUInstallationMechanismReplaceBundle;
    return NVSUInstallationMechanismUnsupported;
}

NVSUReleaseLifecycle lifecycleFromText(const QString &text)
{
    if (text == QLatin1String("beta"))
        return NVSUReleaseLifecycleBeta;
    if (text == QLatin1String("nightly"))
        return NVSUReleaseLifecycleNightly;
    if (text == QLatin1String("release candidate"))
        return NVSUReleaseLifecycleReleaseCandidate;
    return NVSUReleaseLifecycleRelease;
}

} // namespace

QString NVSUPreferredLocalization(const QStringList &keys, const QStringList &userLanguages)
{
    if (keys.isEmpty())
        return QString();
    const auto find = [&keys](auto &&matches) -> qsizetype {
        for (qsizetype i = 0; i < keys.size(); ++i)
            if (matches(QStringView(keys[i])))
                return i;
        return -1;
    };
    for (const QString &language : userLanguages) {
        if (language.isEmpty())
            continue;
        const QStringView base = languageOnly(language);
        qsizetype index = find([&](QStringView key) { return isSameLanguageName(key, language); });
        if (index < 0)
            index = find([&](QStringView key) { return isSameLanguageName(key, base); });
        if (index < 0)
            index = find([&](QStringView key) { return isSameLanguageName(languageOnly(key), base); });
        if (index >= 0)
            return keys[index];
    }
    const qsizetype english = find([](QStringView key) { return isSameLanguageName(key, u"en"); });
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
    std::bitset<12> dropped;
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
                dropped.set(index);
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

    // The kept values: the given ones, or what validation made of them.
    std::array<const QVariant *, 12> kept = found;
    for (size_t index = 0; index < rules.size(); ++index)
        if (isReplaced[index])
            kept[index] = &replaced[index];

    auto data = std::make_shared<Data>(
        NVSUVersion(stringIn(kept[BundleVersionSlot]), stringIn(kept[BundleShortVersionStringSlot])));
    data->minimumSystemVersion = NVSUVersion::versionWithVersionNumber(stringIn(kept[MinimumSystemVersionSlot]));
    data->maximumSystemVersion = NVSUVersion::versionWithVersionNumber(stringIn(kept[MaximumSystemVersionSlot]));
    data->minimumBaseVersion = NVSUVersion::versionWithVersionNumber(stringIn(kept[MinimumBaseVersionSlot]));
    data->installationMechanism = mechanismFromText(stringIn(kept[InstallationMechanismSlot]));
    data->releaseLifecycle = lifecycleFromText(stringIn(kept[ReleaseLifecycleSlot]));
    // Numbers count by their Boolean value; text was read above; absent is false.
    data->suppressAutoUpdate = kept[SuppressAutoUpdateSlot] && NVValue::boolValue(*kept[SuppressAutoUpdateSlot]);
    data->installationObject = stringIn(kept[InstallationObjectSlot]);
    data->downloadURL = stringIn(kept[DownloadURLSlot]);
    data->downloadPageURL = stringIn(kept[DownloadPageURLSlot]);
    data->releaseNotesURL = stringIn(kept[ReleaseNotesURLSlot]);

    data->source = properties;
    data->sourceIsKept = !changed;
    data->dropped = dropped;
    for (size_t index = 0; index < rules.size(); ++index)
        if (isReplaced[index])
            data->replacements.emplace_back(index, std::move(replaced[index]));
    return NVSUUpdate(std::move(data));
}

const QVariantMap &NVSUUpdate::baseProperties() const
{
    if (d->sourceIsKept)
        return d->source;
    std::call_once(d->keptBuilt, [this] {
        const std::array<KeyRule, 12> &rules = keyRules();
        QVariantMap kept;
        for (size_t index = 0; index < rules.size(); ++index) {
            if (d->dropped.test(index))
                continue;
            auto replacement = std::find_if(d->replacements.cbegin(), d->replacements.cend(),
                                            [index](const auto &r) { return r.first == index; });
            if (replacement != d->replacements.cend()) {
                kept.insert(rules[index].key, replacement->second);
                continue;
            }
            auto given = d->source.constFind(rules[index].key);
            if (given != d->source.constEnd())
                kept.insert(rules[index].key, given.value());
        }
        d->kept = std::move(kept);
    });
    return d->kept;
}

const NVSUVersion &NVSUUpdate::version() const { return d->version; }
const std::optional<NVSUVersion> &NVSUUpdate::minimumSystemVersion() const { return d->minimumSystemVersion; }
const std::optional<NVSUVersion> &NVSUUpdate::maximumSystemVersion() const { return d->maximumSystemVersion; }
const std::optional<NVSUVersion> &NVSUUpdate::minimumBaseVersion() const { return d->minimumBaseVersion; }
NVSUInstallationMechanism NVSUUpdate::installationMechanism() const { return d->installationMechanism; }
const QString &NVSUUpdate::installationObject() const { return d->installationObject; }
NVSUReleaseLifecycle NVSUUpdate::releaseLifecycle() const { return d->releaseLifecycle; }
bool NVSUUpdate::suppressAutoUpdate() const { return d->suppressAutoUpdate; }
std::optional<QUrl> NVSUUpdate::downloadURL() const { return NVSUURLFromFeedString(d->downloadURL); }
std::optional<QUrl> NVSUUpdate::downloadPageURL() const { return NVSUURLFromFeedString(d->downloadPageURL); }

std::optional<QUrl> NVSUUpdate::releaseNotesURL() const
{
    if (d->releaseNotesURL.isNull())
        return std::nullopt;
    // The page learns which version the user has, so it can show the notes
    // of every version in between.
    const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
    return NVSUURLFromFeedString(d->releaseNotesURL + QStringLiteral("?v=")
                                 + (installed ? installed->versionNumber() : QStringLiteral("(null)")));
}

bool NVSUUpdate::isCompatibleWithSystemVersion() const
{
    const NVSUVersion system = NVSUVersion::systemVersion();
    if (d->minimumSystemVersion && system.compareVersion(*d->minimumSystemVersion) == NVOrderedAscending) {
        NVSUDebugLog(QStringLiteral("Skipping update to %@ because it requires at least glibc %@"), d->version,
                     *d->minimumSystemVersion);
        return false;
    }
    if (!d->maximumSystemVersion)
        return true;
    if (system.compareVersion(*d->maximumSystemVersion) == NVOrderedDescending) {
        NVSUDebugLog(QStringLiteral("Skipping update to %@ because it runs only up to glibc %@"), d->version,
                     *d->maximumSystemVersion);
        return false;
    }
    return true;
}

bool NVSUUpdate::isAutoUpgradable() const
{
    if (!isCompatibleWithSystemVersion())
        return false;
    if (d->minimumBaseVersion) {
        // Without an installed version nothing proves the minimum is met; it
        // compares as 0.0.0.
        const std::optional<NVSUVersion> installed = NVSUVersion::installedVersion();
        const NVComparisonResult order = installed ? installed->compareVersion(*d->minimumBaseVersion)
                                                   : NVComparisonResult(-d->minimumBaseVersion->compareVersion(std::nullopt));
        if (order == NVOrderedAscending)
            return false;
    }
    if (d->suppressAutoUpdate)
        return false;
    return isFreeUpdate();
}

bool NVSUUpdate::isBetterThanUpdate(const NVSUUpdate *other) const
{
    if (!other)
        return true;
    // Compatibility comes first in isAutoUpgradable, which logs a failed
    // bound once; asking for compatibility separately would add nothing.
    const bool mine = isAutoUpgradable();
    const bool theirs = other->isAutoUpgradable();
    if (mine != theirs)
        return mine;
    return other->version().compareVersion(version()) == NVOrderedAscending;
}

QString NVSUUpdate::description() const { return NVValue::description(QVariant(baseProperties())) + u' '; }
