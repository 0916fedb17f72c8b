#include "foundation/NVAssociatedObjects.h"

#include <mutex>
#include <unordered_map>
#include <vector>

namespace NVAssociatedObjects {

namespace {

struct Entry {
    std::shared_ptr<void> value;
    std::type_index type;
};

struct OwnerEntries {
    std::unordered_map<StaticKey, Entry> entries;
    // An object's entries are cleared by its destroyed() signal; the
    // connection is made once and stays until the object is gone.
    bool watchingDestruction = false;
};

std::mutex tableMutex;

std::unordered_map<const void *, OwnerEntries> &table()
{
    // Never destroyed: objects that outlive main() may still be cleared.
    static auto *owners = new std::unordered_map<const void *, OwnerEntries>;
    return *owners;
}

// Removes every entry of an owner and hands the values to the caller, who
// releases them after unlocking.
std::vector<std::shared_ptr<void>> takeAll(const void *address, bool forget)
{
    std::vector<std::shared_ptr<void>> released;
    auto &owners = table();
    const auto it = owners.find(address);
    if (it == owners.end())
        return released;
    for (auto &[key, entry] : it->second.entries)
        released.push_back(std::move(entry.value));
    it->second.entries.clear();
    if (forget)
        owners.erase(it);
    return released;
}

void ownerDestroyed(const void *address)
{
    std::vector<std::shared_ptr<void>> released;
    {
        std::lock_guard lock(tableMutex);
        released = takeAll(address, true);
    }
    // The values' destructors run here, outside the lock.
}

} // namespace

namespace detail {

void set(Owner owner, StaticKey key, std::shared_ptr<void> value, std::type_index type)
{
    if (!owner.address())
        return;
    std::shared_ptr<void> released;
    bool connect = false;
    {
        std::lock_guard lock(tableMutex);
        auto &owners = table();
        if (!value) {
            const auto it = owners.find(owner.address());
            if (it != owners.end()) {
                const auto entry = it->second.entries.find(key);
                if (entry != it->second.entries.end()) {
                    released = std::move(entry->second.value);
                    it->second.entries.erase(entry);
                }
            }
        } else {
            OwnerEntries &entries = owners[owner.address()];
            auto [it, inserted] = entries.entries.try_emplace(key, Entry{value, type});
            if (!inserted) {
                released = std::move(it->second.value);
                it->second = Entry{std::move(value), type};
            }
            if (owner.object() && !entries.watchingDestruction) {
                entries.watchingDestruction = true;
                connect = true;
            }
        }
    }
    if (connect) {
        // A direct connection without a context object: the slot runs in the
        // thread that destroys the object, while its address still belongs to it.
        const void *address = owner.address();
        QObject::connect(owner.object(), &QObject::destroyed, [address] { ownerDestroyed(address); });
    }
}

std::shared_ptr<void> get(Owner owner, StaticKey key, std::type_index type)
{
    std::lock_guard lock(tableMutex);
    auto &owners = table();
    const auto it = owners.find(owner.address());
    if (it == owners.end())
        return nullptr;
    const auto entry = it->second.entries.find(key);
    if (entry == it->second.entries.end() || entry->second.type != type)
        return nullptr;
    return entry->second.value;
}

} // namespace detail

void removeAssociatedObjectForStaticKey(Owner owner, StaticKey key)
{
    detail::set(owner, key, nullptr, typeid(void));
}

void removeAllAssociatedObjects(Owner owner)
{
    std::vector<std::shared_ptr<void>> released;
    {
        std::lock_guard lock(tableMutex);
        // The owner stays known so that its destruction is not watched twice.
        released = takeAll(owner.address(), false);
    }
}

} // namespace NVAssociatedObjects
