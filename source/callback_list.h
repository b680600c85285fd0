// A list of listeners for one kind of event. Classes that produce events
// derive from it, so their listeners are registered on them directly.
#ifndef VORLAN_SOURCE_CALLBACK_LIST_H
#define VORLAN_SOURCE_CALLBACK_LIST_H

#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "vorlan_sdk_impl/vorlan_sdk_util.hpp"

namespace vorlan_sdk {
namespace util {

template <class... Args>
class Callback {
public:
    using Function = std::function<void(Args...)>;

    Callback() = default;
    Callback(const Callback&) = delete;
    Callback& operator=(const Callback&) = delete;
    virtual ~Callback() = default;

    // Stores `function` under the next id and writes that id through `id`
    // when it is not null. Listeners are called in the order they were added.
    void listen(Function function, uint64_t* id = nullptr) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;  // asked from inside an emission on this thread
        }
        const uint64_t new_id = m_next_id++;
        m_functions.emplace(new_id, std::move(function));
        if (id != nullptr) {
            *id = new_id;
        }
    }

    // Removes the listener stored under `id`; unknown ids are ignored.
    void unlisten(uint64_t id) {
        LockGuard lock(m_mutex);
        if (lock.is_locked()) {
            m_functions.erase(id);
        }
    }

    // Calls every listener with `args` under the list's lock, so a listener
    // must not add or remove listeners of the same list.
    void emit(Args... args) {
        LockGuard lock(m_mutex);
        if (!lock.is_locked()) {
            return;
        }
        for (auto& entry : m_functions) {
            entry.second(args...);
        }
    }

private:
    TimedMutex m_mutex;  // guards m_next_id and m_functions
    uint64_t m_next_id = 0;
    std::map<uint64_t, Function> m_functions;
};

}  // namespace util
}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_CALLBACK_LIST_H
