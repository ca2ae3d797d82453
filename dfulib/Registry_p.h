#pragma once

// Handle registries shared by the library's calls. A handle is a number that is never
// reused, so a stale or forged handle finds nothing instead of someone else's object.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace dfulib {

template <typename T>
class Registry
{
public:
    // The next free handle. After four billion handles the numbers wrap: 0 is skipped, and
    // so is every handle still held, so an old handle never comes to mean a new object
    // while it is in use. 0 when every number is held.
    uint32_t add(std::shared_ptr<T> item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (uint64_t tried = 0; tried <= UINT32_MAX; ++tried) {
            const uint32_t handle = next++;
            if (handle != 0 && items.emplace(handle, item).second)
                return handle;
        }
        return 0;
    }

    std::shared_ptr<T> get(uint32_t handle) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = items.find(handle);
        return it == items.end() ? nullptr : it->second;
    }

    std::shared_ptr<T> take(uint32_t handle)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = items.find(handle);
        if (it == items.end())
            return nullptr;
        std::shared_ptr<T> item = std::move(it->second);
        items.erase(it);
        return item;
    }

    // Runs `f` on the item under the registry's lock; false if there is no such handle.
    template <typename F>
    bool with(uint32_t handle, F f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = items.find(handle);
        if (it == items.end())
            return false;
        f(*it->second);
        return true;
    }

    size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }

    template <typename F>
    void forEach(F f) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &entry : items)
            f(entry.first, *entry.second);
    }

protected:
    mutable std::mutex mutex;
    std::map<uint32_t, std::shared_ptr<T>> items;
    uint32_t next = 1; // guarded by mutex
};

} // namespace dfulib
