#pragma once

#include <QMetaObject>
#include <QObject>

#include <memory>
#include <type_traits>
#include <typeindex>
#include <typeinfo>

// Values attached to an object under a static key, without the object's class
// knowing about them (the interface-file loader attaches the file's name and
// bundle to the objects it creates).
//
// A key is the address of a static variable of the caller; two keys are equal
// only when they are the same address:
//
//     static const char nibNameKey = 0;
//     NVAssociatedObjects::setAssociatedCopyOfObject(widget, name, &nibNameKey);
//     auto name = NVAssociatedObjects::associatedObjectForStaticKey<QString>(widget, &nibNameKey);
//
// Every operation exists for an object (a QObject; its values are released
// when it is destroyed) and for a class (its QMetaObject; the values live as
// long as the process unless removed). Setting replaces any earlier value under
// the key and releases it; setting a null value removes the entry.
//
// Policies:
// - setAssociatedObject: the entry shares ownership of the value (retained).
// - setAssociatedCopyOfObject: the entry owns a copy made at the time of the call.
// - setAssociatedObjectUnsafeUnretained: the entry only points at the value; it
//   neither owns it nor notices its destruction, so the caller must remove the
//   entry before the value goes away.
// The table is guarded by one mutex, so every operation is atomic; the
// "NonAtomically" variants exist for callers that state they do not need it
// and behave the same.
//
// A value is read back as the type it was stored with; asking for another
// type answers nullptr. Released values are destroyed outside the table's lock,
// so a value's destructor may itself use associated values.
//
// All functions: any thread.
namespace NVAssociatedObjects {

using StaticKey = const void *;

// The owner of a set of associated values: an object or a class.
class Owner {
public:
    Owner(const QObject *object) : m_address(object), m_object(object) {}
    Owner(const QMetaObject *metaObject) : m_address(metaObject), m_object(nullptr) {}
    const void *address() const { return m_address; }
    const QObject *object() const { return m_object; }

private:
    const void *m_address;
    const QObject *m_object; // null for a class, whose values are never cleared by destruction
};

namespace detail {
void set(Owner owner, StaticKey key, std::shared_ptr<void> value, std::type_index type);
std::shared_ptr<void> get(Owner owner, StaticKey key, std::type_index type);
} // namespace detail

template <typename T>
void setAssociatedObject(Owner owner, std::shared_ptr<T> value, StaticKey key)
{
    detail::set(owner, key, std::move(value), typeid(T));
}

template <typename T>
void setAssociatedObjectNonAtomically(Owner owner, std::shared_ptr<T> value, StaticKey key)
{
    setAssociatedObject(owner, std::move(value), key);
}

template <typename T>
void setAssociatedCopyOfObject(Owner owner, const T &value, StaticKey key)
{
    detail::set(owner, key, std::make_shared<T>(value), typeid(T));
}

template <typename T>
void setAssociatedCopyOfObjectNonAtomically(Owner owner, const T &value, StaticKey key)
{
    setAssociatedCopyOfObject(owner, value, key);
}

template <typename T>
void setAssociatedObjectUnsafeUnretained(Owner owner, T *value, StaticKey key)
{
    // An aliasing pointer with no owner: it points at the value and keeps
    // nothing alive.
    void *address = const_cast<std::remove_const_t<T> *>(value);
    detail::set(owner, key, value ? std::shared_ptr<void>(std::shared_ptr<void>(), address) : nullptr, typeid(T));
}

// The value under the key, nullptr when there is none or it was stored as
// another type. For a retained or copied value the result shares ownership.
template <typename T>
std::shared_ptr<T> associatedObjectForStaticKey(Owner owner, StaticKey key)
{
    return std::static_pointer_cast<T>(detail::get(owner, key, typeid(T)));
}

void removeAssociatedObjectForStaticKey(Owner owner, StaticKey key);
void removeAllAssociatedObjects(Owner owner);

} // namespace NVAssociatedObjects
