#include "logging/NVLogCategory.h"

namespace NVConfiguration::Logging {

std::optional<Category> categoryFromRawValue(quint8 rawValue)
{
    if (rawValue >= CategoryCount)
        return std::nullopt;
    return static_cast<Category>(rawValue);
}

std::array<Category, CategoryCount> allCategories()
{
    std::array<Category, CategoryCount> all{};
    for (int i = 0; i < CategoryCount; ++i)
        all[i] = static_cast<Category>(i);
    return all;
}

QString categoryName(Category category)
{
    static const char *const names[CategoryCount] = {
        "general", "application", "documents", "editor", "rendering", "networking",
        "sync", "licensing", "installer", "updates", "settings", "plugins",
        "accounts", "storage", "printing", "accessibility", "diagnostics",
    };
    return QString::fromLatin1(names[static_cast<quint8>(category)]);
}

} // namespace NVConfiguration::Logging

using NVConfiguration::Logging::Category;

quint8 NVLogObjC::general() { return quint8(Category::general); }
quint8 NVLogObjC::application() { return quint8(Category::application); }
quint8 NVLogObjC::documents() { return quint8(Category::documents); }
quint8 NVLogObjC::networking() { return quint8(Category::networking); }
quint8 NVLogObjC::sync() { return quint8(Category::sync); }
quint8 NVLogObjC::licensing() { return quint8(Category::licensing); }
quint8 NVLogObjC::installer() { return quint8(Category::installer); }
quint8 NVLogObjC::updates() { return quint8(Category::updates); }
quint8 NVLogObjC::diagnostics() { return quint8(Category::diagnostics); }

const NVUnifiedLogger &NVLogging::LazyLogger::get()
{
    if (!logger)
        logger.emplace(NVUnifiedLogSubsystem(), NVConfiguration::Logging::categoryName(category));
    return *logger;
}
