#include "frame_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vorlan_sdk2 {
namespace {

// How many points from the first belong to the frame, one point at a time as
// the rules say, and the sum of their relative times.
struct Walked {
    std::size_t taken = 0;
    std::int64_t sum = 0;
    bool operator==(const Walked& other) const { return taken == other.taken && sum == other.sum; }
};

Walked plain_natural(const std::vector<std::uint8_t>& bytes, std::size_t stride, std::size_t limit,
                     std::uint8_t parity) {
    Walked w;
    for (; w.taken < limit; ++w.taken) {
        const std::uint8_t* point = bytes.data() + w.taken * stride;
        if ((point[9] & 0x04) != parity) {
            break;
        }
        w.sum += point[7];
    }
    return w;
}

Walked plain_timed(const std::vector<std::uint8_t>& bytes, std::size_t stride, std::size_t limit,
                   std::int64_t end) {
    Walked w;
    for (; w.taken < limit; ++w.taken) {
        const std::uint8_t* point = bytes.data() + w.taken * stride;
        if (w.sum + point[7] >= end) {
            break;
        }
        w.sum += point[7];
    }
    return w;
}

// Random batches for each stride, with the parity flag changing (or the
// frame's end falling) at every position of a batch, and the other bytes of
// the points random (the walks must ignore them): the walks answer as the
// plain point-by-point rules do and copy the points they take, with 16-byte
// and, where the processor has them, 32-byte loads. The batch and
// the copy's room are exactly as long as their points, so a walk reading or
// writing past them shows under AddressSanitizer.
TEST(FrameWalk, AgreesWithThePlainRulesAtEveryBoundaryPosition) {
    std::mt19937 random(17);
    for (const std::size_t stride : {10u, 11u, 12u, 16u}) {
        for (std::size_t n = 0; n <= 60; ++n) {
            for (int trial = 0; trial < 20; ++trial) {
                SCOPED_TRACE("stride " + std::to_string(stride) + ", " + std::to_string(n) + " points, trial " +
                             std::to_string(trial));
                std::vector<std::uint8_t> bytes(n * stride);
                for (std::uint8_t& byte : bytes) {
                    byte = static_cast<std::uint8_t>(random());
                }
                const std::uint8_t parity = (trial % 2) * 0x04;
                const std::size_t change_at = random() % (n + 1);  // n: no change
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint8_t& flags = bytes[i * stride + 9];
                    flags = static_cast<std::uint8_t>((flags & ~0x04) | (i < change_at ? parity : parity ^ 0x04));
                    if (trial % 5 == 0) {
                        bytes[i * stride + 7] = 255;  // the largest relative time
                    }
                }
                const std::size_t limit = trial % 3 == 0 ? random() % (n + 1) : n;

                // Room for `limit` points and not a byte more.
                std::vector<std::uint8_t> copy(limit * stride);
                const auto copied = [&](std::size_t taken) {
                    return std::equal(bytes.begin(), bytes.begin() + taken * stride, copy.begin());
                };
                for (const bool widest : {false, true}) {
                    const frame_walk::Walks walks = frame_walk::walks_for(stride, widest);
                    Walked natural;
                    natural.taken = walks.natural(bytes.data(), copy.data(), stride, limit, parity, natural.sum);
                    EXPECT_EQ(natural, plain_natural(bytes, stride, limit, parity)) << "natural, widest " << widest;
                    EXPECT_TRUE(copied(natural.taken)) << "natural, widest " << widest;
                }

                const std::int64_t ends[] = {0, 1, static_cast<std::int64_t>(random() % (128 * n + 1)),
                                             255 * static_cast<std::int64_t>(n), 255 * static_cast<std::int64_t>(n) + 1,
                                             -5};
                for (const std::int64_t end : ends) {
                    for (const bool widest : {false, true}) {
                        std::fill(copy.begin(), copy.end(), std::uint8_t{0});
                        const frame_walk::Walks walks = frame_walk::walks_for(stride, widest);
                        Walked timed;
                        timed.taken = walks.timed(bytes.data(), copy.data(), stride, limit, end, timed.sum);
                        EXPECT_EQ(timed, plain_timed(bytes, stride, limit, end)) << "timed, end " << end;
                        EXPECT_TRUE(copied(timed.taken)) << "timed, end " << end;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace vorlan_sdk2
