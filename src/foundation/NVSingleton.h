#pragma once

#include "foundation/NVPrecondition.h"

#include <QString>

#include <atomic>
#include <cxxabi.h>
#include <cstdlib>
#include <map>
#include <mutex>
#include <typeindex>
#include <type_traits>
#include <typeinfo>

// A base class for objects of which a process has exactly one per class:
//
//     class NVSettingsTerminology : public NVSingleton {
//     protected:
//         void initSharedInstance() override { ... }
//     };
//     NVSettingsTerminology &terminology = NVSingleton::sharedInstance<NVSettingsTerminology>();
//
// The instance is created on first request, under one process-wide lock, so
// concurrent first requests create a single instance; it is never destroyed.
// A class derived from a singleton class gets an instance of its own.
//
// Constructing a singleton class in any other way (on the stack, with new, as
// a member) is a programming error, and so is destroying the shared instance:
// both end the process. A class must not request its own instance while it is
// being created. A class may keep its constructor private and befriend
// NVSingleton.
class NVSingleton {
public:
    // Any thread; blocks only while another thread creates an instance.
    template <typename T>
    static T &sharedInstance();

    NVSingleton(const NVSingleton &) = delete;
    NVSingleton &operator=(const NVSingleton &) = delete;

protected:
    NVSingleton()
    {
        NV_PRECONDITION(constructionPermit(),
                        QStringLiteral("NVSingleton: a second instance of a singleton class was constructed; use NVSingleton::sharedInstance()"));
        constructionPermit() = false;
    }

    virtual ~NVSingleton()
    {
        NV_PRECONDITION(false, QStringLiteral("-[%1 dealloc] called").arg(m_className));
    }

    // Runs once on the new instance, after construction and before anyone
    // else can see it; the place for set-up that calls virtual functions.
    virtual void initSharedInstance() {}

private:
    struct Registry {
        std::recursive_mutex mutex;
        std::map<std::type_index, NVSingleton *> instances;
        std::map<std::type_index, bool> underConstruction;
    };

    static Registry &registry()
    {
        // Never destroyed, like the instances it holds.
        static Registry *const instance = new Registry;
        return *instance;
    }

    // Set by sharedInstance() for exactly one construction on this thread.
    static bool &constructionPermit()
    {
        static thread_local bool permit = false;
        return permit;
    }

    static QString demangled(const std::type_info &type)
    {
        int status = 0;
        char *name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
        const QString result = QString::fromUtf8(status == 0 && name ? name : type.name());
        std::free(name);
        return result;
    }

    QString m_className;
};

template <typename T>
T &NVSingleton::sharedInstance()
{
    static_assert(std::is_base_of_v<NVSingleton, T>, "sharedInstance() serves classes derived from NVSingleton");
    // After the first request the instance is read without taking the lock.
    static std::atomic<T *> cached{nullptr};
    if (T *instance = cached.load(std::memory_order_acquire))
        return *instance;

    Registry &r = registry();
    // Recursive, so that a singleton may use other singletons while it is
    // being created.
    std::lock_guard lock(r.mutex);
    const std::type_index type(typeid(T));
    auto it = r.instances.find(type);
    if (it == r.instances.end()) {
        NV_PRECONDITION(!r.underConstruction[type],
                        QStringLiteral("-[%1 sharedInstance]: requested while it is being created").arg(demangled(typeid(T))));
        r.underConstruction[type] = true;
        constructionPermit() = true;
        T *instance = new T;
        static_cast<NVSingleton *>(instance)->m_className = demangled(typeid(T));
        static_cast<NVSingleton *>(instance)->initSharedInstance();
        r.underConstruction[type] = false;
        it = r.instances.emplace(type, instance).first;
    }
    T *instance = static_cast<T *>(it->second);
    cached.store(instance, std::memory_order_release);
    return *instance;
}
