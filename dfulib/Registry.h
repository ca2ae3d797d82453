#pragma once

// Handle registries shared by the library's calls. A handle is a number that is never
// reused, so a stale or forged handle finds nothing instead of someone else's object.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace dfu {

template <typename T>
class Registry
{
public:
    uint32_t add(std::shared_ptr<T> item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (next == 0)
            next = 1; // 0 is never a handle, even after four billion of them
        const uint32_t handle = next++;
        items.emplace(handle, std::move(item));
        return handle;
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

    template <typename F>
    void forEach(F f) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto &entry : items)
            f(entry.first, *entry.second);
    }

private:
    mutable std::mutex mutex;
    std::map<uint32_t, std::shared_ptr<T>> items;
    uint32_t next = 1;
};

} // namespace dfu
