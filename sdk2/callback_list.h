// The generic listener list behind every registry of vorlan_sdk2 and the
// parser chain: (callback, user_data) pairs called in order.
//
// Registration and removal take only the list mutex, so a callback may add
// or remove entries of the list that is calling it. One invocation pass runs
// at a time (the invoke mutex), so the callbacks of one list never run
// concurrently; the list mutex is never held while a callback runs.
//
// A pass does not take the list mutex for every entry it reads: it keeps a
// copy of the active entries, valid while the list's generation (bumped
// under the list mutex by every change) is the one it copied at. Before each
// entry it compares the generation and copies again when it moved, so it
// sees what a locked read would: entries removed skipped, entries appended
// reached, in the same pass. A pass over an unchanged list takes only the
// invoke mutex.
#ifndef VORLAN_SDK2_CALLBACK_LIST_H
#define VORLAN_SDK2_CALLBACK_LIST_H

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "pass_lock.h"

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
        changed();
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
        changed();
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
                changed();
                return true;
            }
        }
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->callback == callback && it->user_data == user_data) {
                m_pending.erase(it);
                changed();
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
        changed();
    }

    // True when the pair is registered, active or pending.
    bool Contains(Callback callback, void* user_data) const {
        std::lock_guard<std::mutex> lock(m_list_mutex);
        return callback != nullptr && contains(callback, user_data);
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
    // Entries appended during the pass are reached in the same pass, but no
    // pair is called twice in one pass (one removed and added back during
    // the pass, after it was called, waits for the next).
    void Invoke(Args... args) {
        std::lock_guard<PassLock> pass(m_invoke_mutex);
        start_pass();
        const size_t before_pass = m_copy_size;
        m_called.clear();
        for (size_t i = 0;; ++i) {
            Entry entry;
            if (!entry_at(i, entry)) {
                break;
            }
            if (callable(entry, i, before_pass)) {
                entry.callback(args..., entry.user_data);
            }
        }
    }

    // As Invoke, for callbacks returning int: the pass stops right after the
    // first callback that returns 0. True when one did.
    bool InvokeWithTermination(Args... args) {
        std::lock_guard<PassLock> pass(m_invoke_mutex);
        start_pass();
        const size_t before_pass = m_copy_size;
        m_called.clear();
        for (size_t i = 0;; ++i) {
            Entry entry;
            if (!entry_at(i, entry)) {
                return false;
            }
            if (callable(entry, i, before_pass) && entry.callback(args..., entry.user_data) == 0) {
                return true;
            }
        }
    }

    // Holds off invocation passes while the caller owns the lock, for state
    // that the callbacks use and another thread must reset.
    std::unique_lock<PassLock> LockInvocations() { return std::unique_lock<PassLock>(m_invoke_mutex); }

private:
    // With the invoke mutex held: whether entry `index` of the pass is to be
    // called, noting it as called. Only entries appended during the pass
    // (at `before_pass` or later) can repeat a pair already called.
    bool callable(const Entry& entry, size_t index, size_t before_pass) {
        if (entry.callback == nullptr) {
            return false;
        }
        if (index >= before_pass) {
            for (const Entry& called : m_called) {
                if (called.callback == entry.callback && called.user_data == entry.user_data) {
                    return false;
                }
            }
        }
        try {
            m_called.push_back(entry);  // allocates only while the list grows
        } catch (...) {
            // Out of memory: this call cannot be remembered, and at worst the
            // pair is called again if it is added back during this pass.
        }
        return true;
    }

    // Guarded by m_list_mutex.
    bool contains(Callback callback, void* user_data) const {
        auto same = [&](const Entry& entry) { return entry.callback == callback && entry.user_data == user_data; };
        return std::any_of(m_active.begin(), m_active.end(), same) ||
               std::any_of(m_pending.begin(), m_pending.end(), same);
    }

    // Guarded by m_list_mutex: every change makes passes copy the entries anew.
    void changed() { m_generation.fetch_add(1, std::memory_order_release); }

    // With the invoke mutex held: merges the pending entries when anything
    // changed since the last pass.
    void start_pass() {
        // A copy made during the last pass may be current while entries
        // still wait to be merged: the update flag tells.
        if (m_generation.load(std::memory_order_acquire) != m_copy_generation ||
            m_updated.load(std::memory_order_acquire)) {
            std::lock_guard<std::mutex> lock(m_list_mutex);
            checkAndUpdateList();
            copy_entries();
        }
    }

    // With the invoke mutex and the list mutex held.
    void copy_entries() {
        m_copy_size = m_active.size();
        std::copy_n(m_active.begin(), std::min(m_copy_size, kCopied), m_copy.begin());
        m_copy_generation = m_generation.load(std::memory_order_relaxed);
    }

    // With the invoke mutex held: entry `index` as the list holds it now;
    // false past the end. The length is checked anew every time, so a pass
    // sees entries added behind it.
    bool entry_at(size_t index, Entry& entry) {
        if (m_generation.load(std::memory_order_acquire) != m_copy_generation || m_copy_size > kCopied) {
            std::lock_guard<std::mutex> lock(m_list_mutex);
            copy_entries();
            if (index >= m_active.size()) {
                return false;
            }
            entry = m_active[index];  // a long list is read here, past the copy
            return true;
        }
        if (index >= m_copy_size) {
            return false;
        }
        entry = m_copy[index];
        return true;
    }

    // Drops removed entries and puts the pending ones, in their order, in
    // front of the active ones. Called with the invoke mutex held, so no pass
    // is indexing the active entries meanwhile, and with the list mutex held.
    void checkAndUpdateList() {
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
        changed();
    }

    std::vector<Entry> m_active;   // guarded by m_list_mutex; null callback = removed
    std::vector<Entry> m_pending;  // guarded by m_list_mutex; added at the front, not yet merged
    mutable std::mutex m_list_mutex;
    PassLock m_invoke_mutex;       // held for a whole pass
    std::atomic<bool> m_updated{false};  // written under m_list_mutex, read by passes
    uint64_t m_count = 0;          // guarded by m_list_mutex; live active entries
    std::atomic<uint64_t> m_generation{0};  // changed under m_list_mutex, read by passes

    // The pairs called in the pass under way; guarded by m_invoke_mutex.
    std::vector<Entry> m_called;

    // The passes' copy of the active entries; guarded by m_invoke_mutex.
    static constexpr size_t kCopied = 16;
    std::array<Entry, kCopied> m_copy{};
    size_t m_copy_size = 0;
    uint64_t m_copy_generation = ~uint64_t{0};  // no copy yet
};

}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_CALLBACK_LIST_H
