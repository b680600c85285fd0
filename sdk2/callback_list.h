// The generic listener list behind every registry of vorlan_sdk2 and the
// parser chain: (callback, user_data) pairs called in order.
//
// Registration and removal take only the list mutex, so a callback may add
// or remove entries of the list that is calling it. One invocation pass runs
// at a time (the invoke mutex), so the callbacks of one list never run
// concurrently; the list mutex is never held while a callback runs.
#ifndef VORLAN_SDK2_CALLBACK_LIST_H
#define VORLAN_SDK2_CALLBACK_LIST_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vorlan_sdk2 {

// Result: what a callback returns (void, or int for a chain that stops at the
// first callback returning 0). Args: the arguments before the user pointer.
template <class Result, class... Args>
class CallbackList {
public:
    using Callback = Result (*)(Args..., void*);

    struct Entry {
        Callback callback;
        void* user_data;
    };

    CallbackList() = default;
    CallbackList(const CallbackList&) = delete;
    CallbackList& operator=(const CallbackList&) = delete;

    // Queues the pair to run before every active entry from the start of the
    // next pass. False for a null callback or a pair already present.
    // May throw std::bad_alloc.
    bool AddFront(Callback callback, void* user_data) {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        if (callback == nullptr || contains(callback, user_data)) {
            return false;
        }
        m_pending.insert(m_pending.begin(), Entry{callback, user_data});
        m_updated = true;
        return true;
    }

    // Appends the pair to the active entries at once: a pass under way
    // reaches it. False for a null callback or a pair already present.
    // May throw std::bad_alloc.
    bool AddBack(Callback callback, void* user_data) {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        if (callback == nullptr || contains(callback, user_data)) {
            return false;
        }
        m_active.push_back(Entry{callback, user_data});
        ++m_count;
        return true;
    }

    // Removes the pair; true when it was present. An active entry is only
    // nulled (a pass under way skips it from now on) and dropped at the start
    // of the next pass.
    bool Remove(Callback callback, void* user_data) {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        for (Entry& entry : m_active) {
            if (entry.callback == callback && entry.user_data == user_data && callback != nullptr) {
                entry.callback = nullptr;
                --m_count;
                m_updated = true;
                return true;
            }
        }
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->callback == callback && it->user_data == user_data) {
                m_pending.erase(it);
                return true;
            }
        }
        return false;
    }

    // Forgets every entry, active and pending.
    void Clear() {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        m_active.clear();
        m_pending.clear();
        m_count = 0;
        m_updated = false;
    }

    // True when no live entry is active or pending.
    bool Empty() const {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        return m_count == 0 && m_pending.empty();
    }

    // Live active entries plus pending ones.
    uint64_t Size() const {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        return m_count + m_pending.size();
    }

    // Calls every live entry in order with `args` and its user pointer.
    // Entries appended during the pass are reached in the same pass.
    void Invoke(Args... args) {
        std::lock_guard<std::mutex> pass(m_invoke_mutex);
        checkAndUpdateList();
        for (size_t i = 0;; ++i) {
            Entry entry;
            if (!entry_at(i, entry)) {
                break;
            }
            if (entry.callback != nullptr) {
                entry.callback(args..., entry.user_data);
            }
        }
    }

    // As Invoke, for callbacks returning int: the pass stops right after the
    // first callback that returns 0. True when one did.
    bool InvokeWithTermination(Args... args) {
        std::lock_guard<std::mutex> pass(m_invoke_mutex);
        checkAndUpdateList();
        for (size_t i = 0;; ++i) {
            Entry entry;
            if (!entry_at(i, entry)) {
                return false;
            }
            if (entry.callback != nullptr && entry.callback(args..., entry.user_data) == 0) {
                return true;
            }
        }
    }

    // Holds off invocation passes while the caller owns the lock, for state
    // that the callbacks use and another thread must reset.
    std::unique_lock<std::mutex> LockInvocations() { return std::unique_lock<std::mutex>(m_invoke_mutex); }

private:
    // Guarded by m_list_mutex.
    bool contains(Callback callback, void* user_data) const {
        auto same = [&](const Entry& entry) { return entry.callback == callback && entry.user_data == user_data; };
        return std::any_of(m_active.begin(), m_active.end(), same) ||
               std::any_of(m_pending.begin(), m_pending.end(), same);
    }

    // Reads entry `index` under the list mutex; false past the end. The
    // length is read anew every time, so a pass sees entries added behind it.
    bool entry_at(size_t index, Entry& entry) const {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        if (index >= m_active.size()) {
            return false;
        }
        entry = m_active[index];
        return true;
    }

    // Drops removed entries and puts the pending ones, in their order, in
    // front of the active ones. Called with the invoke mutex held, so no pass
    // is indexing the active entries meanwhile.
    void checkAndUpdateList() {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        if (!m_updated) {
            return;
        }
        m_active.erase(std::remove_if(m_active.begin(), m_active.end(),
                                      [](const Entry& entry) { return entry.callback == nullptr; }),
                       m_active.end());
        // Insertion can only fail for want of memory; the pending entries then
        // stay pending and are merged by a later pass.
        try {
            m_active.insert(m_active.begin(), m_pending.begin(), m_pending.end());
        } catch (...) {
            return;
        }
        m_count += m_pending.size();
        m_pending.clear();
        m_updated = false;
    }

    std::vector<Entry> m_active;   // guarded by m_list_mutex; null callback = removed
    std::vector<Entry> m_pending;  // guarded by m_list_mutex; added at the front, not yet merged
    mutable std::mutex m_list_mutex;
    std::mutex m_invoke_mutex;     // held for a whole pass
    bool m_updated = false;        // guarded by m_list_mutex
    uint64_t m_count = 0;          // guarded by m_list_mutex; live active entries
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_CALLBACK_LIST_H
