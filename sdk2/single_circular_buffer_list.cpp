#include "single_circular_buffer_list.h"

#include <chrono>
#include <cstddef>
#include <new>
#include <utility>

namespace vorlan_sdk2 {

SingleCircularBufferList::~SingleCircularBufferList() {
    stop();
}

SingleCircularBufferList::Setup SingleCircularBufferList::reset(std::uint32_t capacity, std::uint64_t slot_size) {
    std::shared_ptr<std::uint8_t[]> storage;
    Setup result = Setup::kReady;
    if (capacity != 0) {
        if (slot_size == 0 || slot_size > kMaxStorageBytes / capacity) {
            result = Setup::kTooLarge;
        } else {
            std::uint8_t* bytes = new (std::nothrow) std::uint8_t[capacity * slot_size];
            if (bytes == nullptr) {
                result = Setup::kOutOfMemory;
            } else {
                try {
                    storage.reset(bytes);
                } catch (const std::bad_alloc&) {  // the control block; reset() has freed `bytes`
                    result = Setup::kOutOfMemory;
                }
            }
        }
    }
    if (result != Setup::kReady) {
        disable();
        return result;
    }
    std::shared_ptr<std::uint8_t[]> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_storage);
        m_storage = std::move(storage);
        m_capacity = capacity;
        m_slot_size = capacity != 0 ? slot_size : 0;
        m_read = m_write = 0;
        m_full = false;
        m_stopped = false;
        m_reader_active = m_writer_active = false;
        ++m_generation;
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
    return Setup::kReady;  // `old` is freed here, outside the mutex
}

void SingleCircularBufferList::disable() {
    std::shared_ptr<std::uint8_t[]> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_storage);
        m_capacity = 0;
        m_slot_size = 0;
        m_read = m_write = 0;
        m_full = false;
        m_reader_active = m_writer_active = false;
        ++m_generation;
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
}

void SingleCircularBufferList::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_not_empty.notify_all();
    m_not_full.notify_all();
    m_checkout.notify_all();
}

SingleCircularBufferList::Checkout SingleCircularBufferList::checkout_for_write(Slot& slot) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_capacity == 0 || m_stopped || m_writer_active) {
        return Checkout::kRefused;
    }
    const std::uint64_t generation = m_generation;
    m_not_full.wait(lock, [&] { return !m_full || m_stopped || m_generation != generation; });
    if (m_stopped || m_generation != generation) {
        return Checkout::kRefused;
    }
    m_writer_active = true;
    slot.data = slot_at(m_write);
    slot.generation = generation;
    slot.keep = m_storage;
    return Checkout::kTaken;
}

bool SingleCircularBufferList::commit_write(const Slot& slot) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot.generation != m_generation || !m_writer_active) {
            return false;
        }
        m_writer_active = false;
        if (m_stopped) {
            m_checkout.notify_all();
            return false;
        }
        m_write = next(m_write);
        m_full = m_write == m_read;
    }
    m_not_empty.notify_all();
    m_checkout.notify_all();
    return true;
}

void SingleCircularBufferList::abandon_write(const Slot& slot) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot.generation != m_generation) {
            return;
        }
        m_writer_active = false;
    }
    m_checkout.notify_all();
}

SingleCircularBufferList::Checkout SingleCircularBufferList::checkout_for_read(Slot& slot, std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_capacity == 0 || m_stopped || m_reader_active) {
        return Checkout::kRefused;
    }
    const std::uint64_t generation = m_generation;
    const auto ready = [&] { return m_full || m_read != m_write || m_stopped || m_generation != generation; };
    if (timeout_ms == 0) {
        m_not_empty.wait(lock, ready);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        if (!m_not_empty.wait_until(lock, deadline, ready)) {
            return Checkout::kTimedOut;
        }
    }
    if (m_stopped || m_generation != generation) {
        return Checkout::kRefused;
    }
    m_reader_active = true;
    slot.data = slot_at(m_read);
    slot.generation = generation;
    slot.keep = m_storage;
    return Checkout::kTaken;
}

bool SingleCircularBufferList::release_read() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_reader_active) {
            return false;
        }
        m_read = next(m_read);
        m_full = false;
        m_reader_active = false;
    }
    m_not_full.notify_all();
    m_checkout.notify_all();
    return true;
}

bool SingleCircularBufferList::put_back() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_reader_active) {
            return false;
        }
        m_reader_active = false;
    }
    m_checkout.notify_all();
    return true;
}

void SingleCircularBufferList::discard_all() {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_checkout.wait(lock, [&] { return !m_reader_active && !m_writer_active; });
        m_read = m_write = 0;
        m_full = false;
    }
    m_not_full.notify_all();
}

bool SingleCircularBufferList::empty() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_read == m_write && !m_full;
}

bool SingleCircularBufferList::full() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_full;
}

std::uint32_t SingleCircularBufferList::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_full) {
        return m_capacity;
    }
    return m_write >= m_read ? m_write - m_read : m_capacity - m_read + m_write;
}

std::uint32_t SingleCircularBufferList::capacity() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity;
}

std::uint64_t SingleCircularBufferList::slot_size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slot_size;
}

}  // namespace vorlan_sdk2
