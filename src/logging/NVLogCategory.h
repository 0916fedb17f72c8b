#pragma once

#include "logging/NVUnifiedLog.h"

#include <QString>

#include <array>
#include <optional>

namespace NVConfiguration::Logging {

// The areas of the product application that write to the system log. The
// raw values are stable: other processes and stored settings refer to them.
enum class Category : quint8 {
    general = 0,
    application = 1,
    documents = 2,
    editor = 3,
    rendering = 4,
    networking = 5,
    sync = 6,
    licensing = 7,
    installer = 8,
    updates = 9,
    settings = 10,
    plugins = 11,
    accounts = 12,
    storage = 13,
    printing = 14,
    accessibility = 15,
    diagnostics = 16,
};

inline constexpr int CategoryCount = 17;

// The category of a raw value; none for 17 and above.
std::optional<Category> categoryFromRawValue(quint8 rawValue);
// Every category in raw-value order.
std::array<Category, CategoryCount> allCategories();
// The category's name, used as the system log's category.
QString categoryName(Category category);

} // namespace NVConfiguration::Logging

// Raw values of the categories for callers that cannot use the enumeration
// (scripts and plain-integer interfaces).
class NVLogObjC {
public:
    static quint8 general();
    static quint8 application();
    static quint8 documents();
    static quint8 networking();
    static quint8 sync();
    static quint8 licensing();
    static quint8 installer();
    static quint8 updates();
    static quint8 diagnostics();
};

namespace NVLogging {

// A category and its system logger, made the first time it is asked for and
// kept. Not thread-safe by itself: each owner keeps its own.
struct LazyLogger {
    NVConfiguration::Logging::Category category;
    std::optional<NVUnifiedLogger> logger;

    explicit LazyLogger(NVConfiguration::Logging::Category c) : category(c) {}
    const NVUnifiedLogger &get();
};

} // namespace NVLogging
