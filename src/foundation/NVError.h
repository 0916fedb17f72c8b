#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <optional>
#include <utility>
#include <variant>

// Error domains and user-info keys keep the platform's names: they appear in
// log lines and the product application matches on them.
inline const QString NSCocoaErrorDomain = QStringLiteral("NSCocoaErrorDomain");
inline const QString NSURLErrorDomain = QStringLiteral("NSURLErrorDomain");
inline const QString NSPOSIXErrorDomain = QStringLiteral("NSPOSIXErrorDomain");

inline const QString NSLocalizedDescriptionKey = QStringLiteral("NSLocalizedDescription");
inline const QString NSLocalizedRecoverySuggestionErrorKey = QStringLiteral("NSLocalizedRecoverySuggestion");
inline const QString NSLocalizedRecoveryOptionsErrorKey = QStringLiteral("NSLocalizedRecoveryOptions");
inline const QString NSUnderlyingErrorKey = QStringLiteral("NSUnderlyingError");
inline const QString NSErrorFailingURLKey = QStringLiteral("NSErrorFailingURLKey");
inline const QString NSErrorFailingURLStringKey = QStringLiteral("NSErrorFailingURLStringKey");
inline const QString NSURLErrorFailingURLPeerTrustErrorKey = QStringLiteral("NSURLErrorFailingURLPeerTrustErrorKey");
inline const QString NSFilePathErrorKey = QStringLiteral("NSFilePath");

// A failure as a value: domain, integer code and a user-info dictionary.
// Copyable and cheap; it crosses module boundaries in place of exceptions.
// Thread-safe as a value (no shared mutable state).
class NVError {
public:
    NVError() = default;
    NVError(QString domain, qint64 code, QVariantMap userInfo = {});

    // A POSIX-domain error whose description is strerror(code).
    static NVError posix(int code, QVariantMap userInfo = {});
    // An error whose only user info is its localized description.
    static NVError withDescription(QString domain, qint64 code, const QString &description);

    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    const QVariantMap &userInfo() const { return m_userInfo; }

    // The user-facing text: the description key, else strerror for POSIX
    // errors, else a generic sentence naming domain and code.
    QString localizedDescription() const;
    QString localizedRecoverySuggestion() const;
    QStringList localizedRecoveryOptions() const;
    std::optional<NVError> underlyingError() const;
    QUrl failingURL() const;

    // "Error Domain=D Code=C \"description\" UserInfo={...}" as the log lines print it.
    QString description() const;

    bool operator==(const NVError &other) const;

private:
    QString m_domain;
    qint64 m_code = 0;
    QVariantMap m_userInfo;
};

Q_DECLARE_METATYPE(NVError)

// The result of an operation that either yields a value or fails with an
// error. Callers must look at it: the type is [[nodiscard]].
template <typename T>
class [[nodiscard]] NVResult {
public:
    NVResult(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    NVResult(NVError error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T &value() const & { return std::get<0>(m_state); }
    T &value() & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const T *operator->() const { return &std::get<0>(m_state); }
    const T &operator*() const & { return std::get<0>(m_state); }

    const NVError &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, NVError> m_state;
};

// For operations that yield nothing but may fail: success is a
// default-constructed result, failure carries the error. It reads the same
// way as every other result (true on success), so callers never have to
// remember which way round a check goes.
template <>
class [[nodiscard]] NVResult<void> {
public:
    NVResult() = default;
    NVResult(NVError error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }

    // Like NVResult<T>::error(), asking a success for its error throws
    // (std::bad_optional_access) rather than reading nothing.
    const NVError &error() const { return m_error.value(); }

private:
    std::optional<NVError> m_error;
};

// Early returns for the common "stop at the first failure" shape. NV_TRY
// evaluates a result and returns its error from the enclosing function when
// it failed; NV_TRY_ASSIGN also binds the value of a successful one:
//
//     NV_TRY(makeFolder(path));
//     NV_TRY_ASSIGN(const QByteArray bytes, readFile(path));
#define NV_TRY(expression)                                                                        \
    do {                                                                                          \
        auto nvTryResult = (expression);                                                          \
        if (!nvTryResult.ok())                                                                    \
            return nvTryResult.error();                                                           \
    } while (false)

#define NV_TRY_CONCAT_INNER(a, b) a##b
#define NV_TRY_CONCAT(a, b) NV_TRY_CONCAT_INNER(a, b)
#define NV_TRY_ASSIGN(declaration, expression)                                                    \
    auto NV_TRY_CONCAT(nvTryResult, __LINE__) = (expression);                                     \
    if (!NV_TRY_CONCAT(nvTryResult, __LINE__).ok())                                               \
        return NV_TRY_CONCAT(nvTryResult, __LINE__).error();                                      \
    declaration = std::move(NV_TRY_CONCAT(nvTryResult, __LINE__)).value()
