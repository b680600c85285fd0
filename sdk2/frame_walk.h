// The walks of the frame aggregator over a point batch: how many points, from
// the first, belong to the frame being filled (at most `limit`), adding their
// relative timestamps (byte 7 of each point) to `sum`, and copying them to
// `copy` on the way, so that the batch is read once. `copy` must have room for
// `limit` points: past the points taken it may hold any of the others.
//  - natural frames: a point whose parity flag (bit 0x04 of byte 9) differs
//    from the frame's starts the next frame;
//  - timed frames: a point whose running sum of relative times reaches `end`
//    starts the next frame.
//
// Every batch of every sensor is walked once, so this is the aggregator's hot
// loop. For the common strides (10 and 12 bytes) the points are read sixteen
// bytes at a time with SSE2, or 32 with AVX2 where the processor has it: one
// chunk of points is as many points as fill a whole number of loads (8
// points of 10 bytes, 4 of 12, for 16-byte loads), and within a
// chunk the time bytes and the flag bytes of different points fall on
// different lanes, so one OR gathers them all. A chunk that holds a boundary is
// walked again point by point. Loads never reach past the last point of the
// chunk, so never past the batch.
#ifndef VORLAN_SDK2_FRAME_WALK_H
#define VORLAN_SDK2_FRAME_WALK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>

#include "cpu_features.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <immintrin.h>
#endif

namespace vorlan_sdk2 {
namespace frame_walk {

constexpr std::size_t kRelativeTimestampOffset = 7;
constexpr std::size_t kFlagsOffset = 9;
constexpr std::uint8_t kParityFlag = 0x04;
constexpr std::int64_t kLargestRelativeTime = 255;

// Point by point; kStride 0 means the stride given at run time.
template <std::size_t kStride>
std::size_t natural_points(const std::uint8_t* points, std::size_t stride, std::size_t limit, std::uint8_t parity,
                           std::int64_t& sum) {
    const std::size_t s = kStride != 0 ? kStride : stride;
    const std::uint8_t* f = points + kFlagsOffset;
    const std::uint8_t* r = points + kRelativeTimestampOffset;
    std::size_t taken = 0;
    for (; taken + 4 <= limit; taken += 4, f += 4 * s, r += 4 * s) {
        if ((((f[0] ^ parity) | (f[s] ^ parity) | (f[2 * s] ^ parity) | (f[3 * s] ^ parity)) & kParityFlag) != 0) {
            break;
        }
        sum += r[0] + r[s] + r[2 * s] + r[3 * s];
    }
    for (; taken < limit; ++taken, f += s, r += s) {
        if (((*f ^ parity) & kParityFlag) != 0) {
            break;
        }
        sum += *r;
    }
    return taken;
}

template <std::size_t kStride>
std::size_t timed_points(const std::uint8_t* points, std::size_t stride, std::size_t limit, std::int64_t end,
                         std::int64_t& sum) {
    const std::size_t s = kStride != 0 ? kStride : stride;
    const std::uint8_t* r = points + kRelativeTimestampOffset;
    std::size_t taken = 0;
    for (; taken + 4 <= limit; taken += 4, r += 4 * s) {
        const std::int64_t four = r[0] + r[s] + r[2 * s] + r[3 * s];
        // Relative times are never negative, so if the fourth point is short
        // of the end, so are the three before it.
        if (sum + four >= end) {
            break;
        }
        sum += four;
    }
    for (; taken < limit; ++taken, r += s) {
        if (sum + *r >= end) {
            break;
        }
        sum += *r;
    }
    return taken;
}

// Copies the points a walk took; returns how many.
inline std::size_t copy_taken(const std::uint8_t* points, std::uint8_t* copy, std::size_t stride,
                              std::size_t taken) {
    if (taken != 0) {  // an empty walk may be handed no buffers at all
        std::memcpy(copy, points, taken * stride);
    }
    return taken;
}

template <std::size_t kStride>
std::size_t natural_by_points(const std::uint8_t* points, std::uint8_t* copy, std::size_t stride, std::size_t limit,
                              std::uint8_t parity, std::int64_t& sum) {
    return copy_taken(points, copy, stride, natural_points<kStride>(points, stride, limit, parity, sum));
}

template <std::size_t kStride>
std::size_t timed_by_points(const std::uint8_t* points, std::uint8_t* copy, std::size_t stride, std::size_t limit,
                            std::int64_t end, std::int64_t& sum) {
    return copy_taken(points, copy, stride, timed_points<kStride>(points, stride, limit, end, sum));
}

#if defined(__SSE2__)

// Byte masks of one chunk of kStride-byte points read kWidth bytes at a
// time: for each load, 0xFF on the time bytes and 0x04 on the flag bytes it
// holds.
template <std::size_t kStride, std::size_t kWidth>
struct ChunkMasks {
    static constexpr std::size_t kBytes = std::lcm(kStride, kWidth);
    static constexpr std::size_t kLoads = kBytes / kWidth;
    static constexpr std::size_t kPoints = kBytes / kStride;

    struct Masks {
        std::array<std::array<std::uint8_t, kWidth>, kLoads> time{};
        std::array<std::array<std::uint8_t, kWidth>, kLoads> flag{};
        std::array<std::uint8_t, kWidth> all_flags{};
        // tail[r]: the time lanes of the chunk's last r points.
        std::array<std::array<std::uint8_t, kWidth>, kPoints> tail{};
        bool lanes_distinct = true;  // no two time bytes, nor two flag bytes, share a lane
    };

    static constexpr Masks masks() {
        Masks m{};
        std::array<bool, kWidth> time_used{};
        std::array<bool, kWidth> flag_used{};
        for (std::size_t byte = 0; byte < kBytes; ++byte) {
            const std::size_t load = byte / kWidth;
            const std::size_t lane = byte % kWidth;
            const std::size_t in_point = byte % kStride;
            if (in_point == kRelativeTimestampOffset) {
                m.lanes_distinct = m.lanes_distinct && !time_used[lane];
                time_used[lane] = true;
                m.time[load][lane] = 0xFF;
                for (std::size_t r = kPoints - byte / kStride; r < kPoints; ++r) {
                    m.tail[r][lane] = 0xFF;
                }
            } else if (in_point == kFlagsOffset) {
                m.lanes_distinct = m.lanes_distinct && !flag_used[lane];
                flag_used[lane] = true;
                m.flag[load][lane] = kParityFlag;
                m.all_flags[lane] = kParityFlag;
            }
        }
        return m;
    }
    static constexpr Masks kMasks = masks();
    static_assert(kMasks.lanes_distinct, "two points of a chunk must not share a lane");
    // The masks for loading into registers. Read through a pointer the
    // compiler cannot see through, they are loaded from read-only data;
    // otherwise compilers fold them into constants and build them anew on the
    // stack at every call.
    static const Masks& table() {
        const Masks* masks = &kMasks;
#if defined(__GNUC__)
        asm("" : "+r"(masks));
#endif
        return *masks;
    }
};

template <std::size_t kStride>
struct Chunk : ChunkMasks<kStride, 16> {
    using ChunkMasks<kStride, 16>::kMasks;
    using ChunkMasks<kStride, 16>::table;

    static __m128i load_mask(const std::array<std::uint8_t, 16>& bytes) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data()));
    }
};

// The masks held in registers across the walk.
template <std::size_t kStride>
struct ChunkReader {
    using C = Chunk<kStride>;
    __m128i time[C::kLoads];
    __m128i flag[C::kLoads];

    ChunkReader() {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < C::kLoads; ++j) {
            time[j] = C::load_mask(C::table().time[j]);
            flag[j] = C::load_mask(C::table().flag[j]);
        }
    }

    // The chunk's time bytes in their lanes (the others 0) and its flag bits
    // that differ from `parity_lanes`.
    void gather(const std::uint8_t* chunk, std::uint8_t* copy, __m128i parity_lanes, __m128i& times,
                __m128i& changed) const {
        times = _mm_setzero_si128();
        __m128i flags = _mm_setzero_si128();
#pragma GCC unroll 8
        for (std::size_t j = 0; j < C::kLoads; ++j) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * j));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(copy + 16 * j), v);
            times = _mm_or_si128(times, _mm_and_si128(v, time[j]));
            flags = _mm_or_si128(flags, _mm_and_si128(v, flag[j]));
        }
        changed = _mm_xor_si128(flags, parity_lanes);
    }

    __m128i time_lanes(const std::uint8_t* chunk, std::uint8_t* copy) const {
        __m128i times = _mm_setzero_si128();
#pragma GCC unroll 8
        for (std::size_t j = 0; j < C::kLoads; ++j) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * j));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(copy + 16 * j), v);
            times = _mm_or_si128(times, _mm_and_si128(v, time[j]));
        }
        return times;
    }
};

inline std::int64_t horizontal_sum(__m128i two_sums) {
    return _mm_cvtsi128_si64(two_sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(two_sums, two_sums));
}

// Copies `n` bytes, at most a chunk of 16-byte loads (80), without a call.
inline void copy_short(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
    if (n < 16) {
        if (n != 0) {  // an empty walk may be handed no buffers at all
            std::memcpy(to, from, n);
        }
        return;
    }
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 16));
    for (std::size_t at = 0; at + 16 < n; at += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 16), last);
}

// The chunk walks take the stride only to share the walks' signature.
template <std::size_t kStride>
std::size_t natural_chunks(const std::uint8_t* points, std::uint8_t* copy, std::size_t, std::size_t limit,
                           std::uint8_t parity, std::int64_t& sum) {
    using C = Chunk<kStride>;
    if (limit < C::kPoints) {
        // The tail of a wider walk, or a short batch: not worth the masks.
        // Copying all of it is allowed, and cheaper than asking how much.
        copy_short(copy, points, limit * kStride);
        return natural_points<kStride>(points, kStride, limit, parity, sum);
    }
    const ChunkReader<kStride> reader;
    const __m128i parity_lanes =
        (parity & kParityFlag) != 0 ? C::load_mask(C::table().all_flags) : _mm_setzero_si128();
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;  // psadbw: two 64-bit partial sums
    std::size_t taken = 0;
    for (; taken + C::kPoints <= limit; taken += C::kPoints) {
        __m128i times;
        __m128i changed;
        reader.gather(points + taken * kStride, copy + taken * kStride, parity_lanes, times, changed);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(changed, zero)) != 0xFFFF) {
            break;  // a point of this chunk starts the next frame
        }
        sums = _mm_add_epi64(sums, _mm_sad_epu8(times, zero));
    }
    sum += horizontal_sum(sums);
    return taken + natural_by_points<kStride>(points + taken * kStride, copy + taken * kStride, kStride,
                                              limit - taken, parity, sum);
}

template <std::size_t kStride>
std::size_t timed_chunks(const std::uint8_t* points, std::uint8_t* copy, std::size_t, std::size_t limit,
                         std::int64_t end, std::int64_t& sum) {
    using C = Chunk<kStride>;
    if (limit < C::kPoints) {
        copy_short(copy, points, limit * kStride);
        return timed_points<kStride>(points, kStride, limit, end, sum);
    }
    const ChunkReader<kStride> reader;
    const __m128i zero = _mm_setzero_si128();
    std::size_t taken = 0;
    if (sum + kLargestRelativeTime * static_cast<std::int64_t>(limit) < end) {
        // The whole batch ends short of the frame's end, whatever its times
        // (the common case): only the sum is wanted.
        __m128i sums = zero;
        for (; taken + C::kPoints <= limit; taken += C::kPoints) {
            sums = _mm_add_epi64(sums, _mm_sad_epu8(reader.time_lanes(points + taken * kStride, copy + taken * kStride), zero));
        }
        sum += horizontal_sum(sums);
    } else {
        for (; taken + C::kPoints <= limit; taken += C::kPoints) {
            const std::int64_t chunk = horizontal_sum(_mm_sad_epu8(reader.time_lanes(points + taken * kStride, copy + taken * kStride), zero));
            if (sum + chunk >= end) {
                break;  // the end lies in this chunk
            }
            sum += chunk;
        }
    }
    return taken + timed_by_points<kStride>(points + taken * kStride, copy + taken * kStride, kStride, limit - taken,
                                            end, sum);
}

#if defined(__GNUC__) && defined(__x86_64__)
#define VORLAN_FRAME_WALK_AVX2 1

// The same walks 32 bytes at a time, for processors that have AVX2 (chosen at
// run time: the library is built for the plain x86-64 instruction set). Whole
// chunks only; the SSE2 walk takes the rest.

inline std::int64_t horizontal_sum_avx2(__m256i four_sums) __attribute__((target("avx2")));
inline std::int64_t horizontal_sum_avx2(__m256i four_sums) {
    return horizontal_sum(
        _mm_add_epi64(_mm256_castsi256_si128(four_sums), _mm256_extracti128_si256(four_sums, 1)));
}

template <std::size_t kWidth, std::size_t kLoads>
__attribute__((target("avx2"), always_inline)) inline void load_masks_avx2(
    const std::array<std::array<std::uint8_t, kWidth>, kLoads>& table, __m256i (&masks)[kLoads]) {
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLoads; ++j) {
        masks[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table[j].data()));
    }
}

// One chunk's loads, copied on the way: its time bytes in their lanes (the
// others 0) and, when `flag` is given, its flag bits.
template <std::size_t kLoads>
__attribute__((target("avx2"), always_inline)) inline __m256i gather_avx2(const std::uint8_t* chunk,
                                                                          std::uint8_t* copy,
                                                                          const __m256i (&time)[kLoads],
                                                                          const __m256i* flag, __m256i& flags) {
    __m256i times = _mm256_setzero_si256();
    flags = _mm256_setzero_si256();
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kLoads; ++j) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunk + 32 * j));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(copy + 32 * j), v);
        times = _mm256_or_si256(times, _mm256_and_si256(v, time[j]));
        if (flag != nullptr) {
            flags = _mm256_or_si256(flags, _mm256_and_si256(v, flag[j]));
        }
    }
    return times;
}

// A batch whose points do not fill a whole number of chunks ends with one
// more chunk laid over its last points: those it shares with the chunk before
// are already counted, so only the time lanes of the last `rest` are summed.
// This spares the point-by-point walk on the tail of nearly every batch.
template <std::size_t kStride>
__attribute__((target("avx2"))) std::size_t natural_chunks_avx2(const std::uint8_t* points, std::uint8_t* copy,
                                                                std::size_t, std::size_t limit, std::uint8_t parity,
                                                                std::int64_t& sum) {
    using M = ChunkMasks<kStride, 32>;
    const typename M::Masks& table = M::table();
    __m256i time[M::kLoads];
    __m256i flag[M::kLoads];
    load_masks_avx2(table.time, time);
    load_masks_avx2(table.flag, flag);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i parity_lanes = (parity & kParityFlag) != 0
                                     ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.all_flags.data()))
                                     : zero;
    __m256i sums = zero;
    std::size_t taken = 0;
    bool changed = false;
    for (; taken + M::kPoints <= limit; taken += M::kPoints) {
        __m256i flags;
        const __m256i times = gather_avx2(points + taken * kStride, copy + taken * kStride, time, flag, flags);
        const __m256i differ = _mm256_xor_si256(flags, parity_lanes);
        if (!_mm256_testz_si256(differ, differ)) {
            changed = true;  // a point of this chunk starts the next frame
            break;
        }
        sums = _mm256_add_epi64(sums, _mm256_sad_epu8(times, zero));
    }
    const std::size_t rest = limit - taken;
    if (!changed && rest != 0 && limit >= M::kPoints) {
        const std::size_t last = limit - M::kPoints;
        __m256i flags;
        const __m256i times = gather_avx2(points + last * kStride, copy + last * kStride, time, flag, flags);
        const __m256i differ = _mm256_xor_si256(flags, parity_lanes);
        if (_mm256_testz_si256(differ, differ)) {
            const __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.tail[rest].data()));
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_and_si256(times, keep), zero));
            sum += horizontal_sum_avx2(sums);
            return limit;
        }
    }
    sum += horizontal_sum_avx2(sums);
    return taken + natural_chunks<kStride>(points + taken * kStride, copy + taken * kStride, kStride, rest, parity, sum);
}

template <std::size_t kStride>
__attribute__((target("avx2"))) std::size_t timed_chunks_avx2(const std::uint8_t* points, std::uint8_t* copy,
                                                              std::size_t, std::size_t limit, std::int64_t end,
                                                              std::int64_t& sum) {
    using M = ChunkMasks<kStride, 32>;
    const typename M::Masks& table = M::table();
    __m256i time[M::kLoads];
    load_masks_avx2(table.time, time);
    const __m256i zero = _mm256_setzero_si256();
    if (limit >= M::kPoints && sum + kLargestRelativeTime * static_cast<std::int64_t>(limit) < end) {
        // The whole batch ends short of the frame's end, whatever its times
        // (the common case): only the sum is wanted.
        __m256i sums = zero;
        __m256i unused;
        std::size_t taken = 0;
        for (; taken + M::kPoints <= limit; taken += M::kPoints) {
            const __m256i times = gather_avx2(points + taken * kStride, copy + taken * kStride, time, nullptr, unused);
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(times, zero));
        }
        const std::size_t rest = limit - taken;
        if (rest != 0) {
            const std::size_t last = limit - M::kPoints;
            const __m256i times = gather_avx2(points + last * kStride, copy + last * kStride, time, nullptr, unused);
            const __m256i keep = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table.tail[rest].data()));
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_and_si256(times, keep), zero));
        }
        sum += horizontal_sum_avx2(sums);
        return limit;
    }
    return timed_chunks<kStride>(points, copy, kStride, limit, end, sum);
}

#endif  // __GNUC__ && __x86_64__

#endif  // __SSE2__

// The walks with one signature, so that the one for a stride is chosen once
// (a frame buffer keeps it) rather than per batch.
using NaturalWalk = std::size_t (*)(const std::uint8_t* points, std::uint8_t* copy, std::size_t stride,
                                    std::size_t limit, std::uint8_t parity, std::int64_t& sum);
using TimedWalk = std::size_t (*)(const std::uint8_t* points, std::uint8_t* copy, std::size_t stride,
                                  std::size_t limit, std::int64_t end, std::int64_t& sum);

struct Walks {
    NaturalWalk natural;
    TimedWalk timed;
};

template <std::size_t kStride>
Walks walks_of_stride(bool widest) {
#if defined(VORLAN_FRAME_WALK_AVX2)
    if (widest && cpuHasAvx2()) {
        return {&natural_chunks_avx2<kStride>, &timed_chunks_avx2<kStride>};
    }
#else
    (void)widest;
#endif
#if defined(__SSE2__)
    return {&natural_chunks<kStride>, &timed_chunks<kStride>};
#else
    return {&natural_by_points<kStride>, &timed_by_points<kStride>};
#endif
}

// The fastest walks for `stride` on this processor; `widest` false keeps to
// SSE2 (for tests of both).
inline Walks walks_for(std::size_t stride, bool widest = true) {
    switch (stride) {
        case 10: return walks_of_stride<10>(widest);
        case 12: return walks_of_stride<12>(widest);
        default: return {&natural_by_points<0>, &timed_by_points<0>};
    }
}

}  // namespace frame_walk
}  // namespace vorlan_sdk2

#endif  // VORLAN_SDK2_FRAME_WALK_H
