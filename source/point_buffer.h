// A growable array of plain point records for the frames. Unlike a vector it
// can hand out room past its end that a caller fills in place and takes in
// afterwards, so a packet's points are written once, where they are
// published from, instead of being made elsewhere and copied in.
#ifndef VORLAN_SOURCE_POINT_BUFFER_H
#define VORLAN_SOURCE_POINT_BUFFER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "vorlan_sdk.h"

namespace vorlan_sdk {

template <class T>
class PointBuffer {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_default_constructible<T>::value,
                  "records are moved as bytes and left unwritten until filled");

public:
    PointBuffer() = default;
    PointBuffer(const PointBuffer&) = delete;
    PointBuffer& operator=(const PointBuffer&) = delete;

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::size_t max_size() const { return static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T); }
    T* data() { return m_data.get(); }
    const T* data() const { return m_data.get(); }
    T& operator[](std::size_t i) { return m_data[i]; }
    const T& front() const { return m_data[0]; }

    // Keeps the memory for the next records.
    void clear() { m_size = 0; }
    // Empties the buffer and gives its memory back.
    void release() {
        m_data.reset();
        m_size = 0;
        m_capacity = 0;
    }

    // Makes room for `n` records past the end and returns where they go; the
    // records stay outside the buffer until grow() takes them in. Growth
    // moves the records held (and forgets room handed out before). Throws
    // std::bad_alloc when memory runs out or no buffer could be that large;
    // the buffer is then unchanged.
    T* reserve_tail(std::size_t n) {
        if (n > max_size() - m_size) {
            throw std::bad_alloc();
        }
        const std::size_t needed = m_size + n;
        if (needed > m_capacity) {
            const std::size_t doubled = m_capacity <= max_size() / 2 ? 2 * m_capacity : max_size();
            const std::size_t capacity = std::max(needed, doubled);
            std::unique_ptr<T[]> grown(new T[capacity]);
            if (m_size != 0) {
                std::memcpy(grown.get(), m_data.get(), m_size * sizeof(T));
            }
            m_data = std::move(grown);
            m_capacity = capacity;
        }
        return m_data.get() + m_size;
    }
    // Room past the end that no growth is needed for.
    std::size_t spare() const { return m_capacity - m_size; }

    // Takes in `n` records written at the end; n <= spare().
    void grow(std::size_t n) { m_size += n; }

    // Appends a copy of `n` records; throws like reserve_tail().
    void append(const T* records, std::size_t n) {
        if (n == 0) {
            return;
        }
        std::memcpy(reserve_tail(n), records, n * sizeof(T));
        m_size += n;
    }

    // Removes the first `n` records (all when n >= size()).
    void erase_front(std::size_t n) {
        if (n >= m_size) {
            m_size = 0;
            return;
        }
        std::memmove(m_data.get(), m_data.get() + n, (m_size - n) * sizeof(T));
        m_size -= n;
    }

    // Keeps the last `n` records, moved to the front.
    void keep_last(std::size_t n) {
        if (n < m_size) {
            erase_front(m_size - n);
        }
    }

private:
    std::unique_ptr<T[]> m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

// Room at the end of a frame's buffers for `n_raw` raw points and their
// `n_raw` * `return_count` image points, to be written in place; empty
// (n_raw 0) when there is none.
struct PointRoom {
    VorlanSensorRawPointWithTime* raw = nullptr;
    VorlanSensorImagePoint* image = nullptr;
    std::size_t n_raw = 0;
    uint32_t return_count = 0;
};

}  // namespace vorlan_sdk

#endif  // VORLAN_SOURCE_POINT_BUFFER_H
