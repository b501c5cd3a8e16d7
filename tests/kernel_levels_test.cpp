// The row kernels' levels piece by piece: what each level says it provides,
// each of its vector operations on its own, and the tie scan on plain words
// against a model that goes bit by bit. A wrong operation otherwise shows
// only as a wrong figure far from its cause.
#include "level.h"
#include "levels_here.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

// Built here without AVX, where clang warns that the four-word vectors the
// scan passes between its own functions would be passed otherwise with it.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wpsabi"
#endif
namespace pixtally::kernels::scan_under_test {
namespace {
#include "tie_scan.h"
} // namespace
} // namespace pixtally::kernels::scan_under_test
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

namespace {

using pixtally::kernels::KernelLevel;
using pixtally::kernels::LevelFlags;

// What each level is meant to provide: a flag that goes false where the
// level still has the operation (a renamed hook, say) costs speed alone,
// and nothing else would notice.
TEST(Levels, EachHasTheOperationsItIsMeantTo) {
    struct Meant {
        const char *name;
        LevelFlags flags;
    };
    // unit8_bits, step_bits16, whole_squares, own_d_sums, own_met_counts,
    // counts_bits, scan_chunks
    const Meant meant[] = {
        {"portable", {false, false, false, false, false, false, 1}},
#if defined(__x86_64__)
        {"baseline", {false, false, false, false, false, false, 2}},
        {"sse4.1", {true, false, true, false, false, true, 1}},
        {"avx2", {true, false, true, false, false, true, 4}},
#elif defined(__aarch64__)
        {"baseline", {false, true, false, true, true, false, 1}},
#endif
    };
    std::string names;
    for (const KernelLevel *level : pixtally::kernels::levels_built()) {
        names += (names.empty() ? "" : ",") + std::string(level->name);
        const Meant *found = nullptr;
        for (const Meant &m : meant)
            if (std::strcmp(m.name, level->name) == 0)
                found = &m;
        ASSERT_NE(found, nullptr) << level->name;
        const LevelFlags &f = level->flags;
        EXPECT_EQ(f, found->flags)
            << level->name << ": " << f.unit8_bits << f.step_bits16 << f.whole_squares
            << f.own_d_sums << f.own_met_counts << f.counts_bits << " " << f.scan_chunks;
    }
    // The names the build's list of levels gives them (PIXTALLY_CPU caps by
    // these).
    EXPECT_EQ(names, PIXTALLY_LEVEL_NAMES);
}

class LevelOperations : public testing::TestWithParam<const KernelLevel *> {
  protected:
    const pixtally::kernels::LevelProbes &probes() const { return GetParam()->probes; }
    std::size_t lanes() const { return probes().lanes; }
    std::mt19937 random{2027};
};

INSTANTIATE_TEST_SUITE_P(Levels, LevelOperations, testing::ValuesIn(levels_here()),
                         level_test_name);

// Lane i of the k-th vector goes to bit W*k + i, whatever else the lane holds.
TEST_P(LevelOperations, GroupBitsTakesTheTopBitsInLaneOrder) {
    std::vector<std::uint32_t> v(4 * lanes());
    for (int round = 0; round < 200; ++round) {
        std::uint32_t expected = 0;
        for (std::size_t i = 0; i < v.size(); ++i) {
            v[i] = static_cast<std::uint32_t>(random());
            expected |= (v[i] >> 31) << i;
        }
        EXPECT_EQ(probes().group_bits(v.data()), expected) << "round " << round;
    }
}

// Two vectors of values below 2^16 into one of 16-bit lanes, in sample order:
// exact in their low 15 bits (SSE2 packs them less 2^15, flipping bit 15),
// and their squares exact in all 16.
TEST_P(LevelOperations, Narrow16KeepsTheLowBitsAndTheirSquaresInOrder) {
    const std::size_t w = lanes();
    std::vector<std::uint32_t> v(2 * w);
    for (int round = 0; round < 100; ++round) {
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = round < 50 ? static_cast<std::uint32_t>(random() % 65536)
                              : 32768 + static_cast<std::uint32_t>(random() % 32768);
        for (int n = 0; n < 16; ++n) {
            const std::uint32_t bits = probes().narrow16_bits(v.data(), n);
            for (std::size_t i = 0; i < 2 * w; ++i) {
                const std::uint32_t square = (v[i] * v[i]) & 0xffff;
                if (n < 15)
                    EXPECT_EQ(bits >> i & 1, v[i] >> n & 1) << v[i] << " bit " << n;
                EXPECT_EQ(bits >> (2 * w + i) & 1, square >> n & 1)
                    << v[i] << " squared, bit " << n;
            }
        }
    }
}

// order, min or max, and unorder give the true minimum and maximum of
// samples below 2^16, and a wider sample shows in the maximum.
TEST_P(LevelOperations, MinAndMaxThroughOrderAndUnorder) {
    const std::size_t w = lanes();
    std::vector<std::uint32_t> a(w), b(w), min(w), max(w);
    const std::uint32_t edges[] = {0, 1, 32767, 32768, 65534, 65535};
    for (int round = 0; round < 500; ++round) {
        for (std::size_t i = 0; i < w; ++i) {
            a[i] = round < 100 ? edges[random() % 6] : static_cast<std::uint32_t>(random() % 65536);
            b[i] = round < 100 ? edges[random() % 6] : static_cast<std::uint32_t>(random() % 65536);
        }
        probes().min_max(a.data(), b.data(), min.data(), max.data());
        for (std::size_t i = 0; i < w; ++i) {
            EXPECT_EQ(min[i], std::min(a[i], b[i])) << a[i] << ", " << b[i];
            EXPECT_EQ(max[i], std::max(a[i], b[i])) << a[i] << ", " << b[i];
        }
    }
    for (const std::uint32_t wide : {65536u, 70000u, 0x12345678u, 0xffffffffu}) {
        for (std::size_t i = 0; i < w; ++i)
            a[i] = static_cast<std::uint32_t>(random() % 65536), b[i] = a[i];
        a[w - 1] = wide;
        probes().min_max(a.data(), b.data(), min.data(), max.data());
        EXPECT_GT(max[w - 1], 65535u) << wide;
    }
}

// At unit 8 a square is a tie where x mod 8 = 4, and its d = (x + 3) >> 3
// is odd where bit 3 of x + 3 is set: for every sample below 2^16, each at
// every place in a step.
TEST_P(LevelOperations, Unit8BitsFollowTheSquares) {
    if (probes().unit8_bits == nullptr)
        GTEST_SKIP() << "this level reads no flags from samples";
    std::uint32_t step[48];
    for (std::uint32_t first = 0; first < 65536 + 48; first += 47) {
        std::uint64_t ties_meant = 0, odd_meant = 0;
        for (std::uint32_t s = 0; s < 48; ++s) {
            const std::uint32_t v = (first + s) % 65536;
            const std::uint32_t x = v * v;
            step[s] = v;
            ties_meant |= std::uint64_t{(x & 7) == 4} << s;
            odd_meant |= std::uint64_t{((x + 3) >> 3) & 1} << s;
        }
        std::uint64_t ties = 0, odd_d = 0;
        probes().unit8_bits(step, ties, odd_d);
        ASSERT_EQ(ties, ties_meant) << "from " << first;
        ASSERT_EQ(odd_d, odd_meant) << "from " << first;
    }
}

TEST_P(LevelOperations, AddWideAddsEachLaneToItsSixtyFourBitSum) {
    if (probes().add_wide == nullptr)
        GTEST_SKIP() << "this level sums no squares whole";
    const std::size_t w = lanes();
    std::vector<std::uint64_t> wide(w), meant(w);
    std::vector<std::uint32_t> v(w);
    for (std::size_t i = 0; i < w; ++i)
        wide[i] = meant[i] = (std::uint64_t{random()} << 32 | random()) >> 1;
    for (int round = 0; round < 100; ++round) {
        for (std::size_t i = 0; i < w; ++i) {
            v[i] = round == 0 ? 0xffffffffu : static_cast<std::uint32_t>(random());
            meant[i] += v[i];
        }
        probes().add_wide(wide.data(), v.data());
        ASSERT_EQ(wide, meant) << "round " << round;
    }
}

// The tie scan, as the loops drive it, against the same reckoning made
// sample by sample: where a channel's m is odd, a tie meets it and leaves m
// even, and an odd d flips it.
using namespace pixtally::kernels::scan_under_test;
using pixtally::kernels::run_pixels;
using pixtally::kernels::step_pixels;

constexpr std::size_t most_steps = run_pixels / step_pixels;

struct Flags {
    std::vector<std::uint64_t> ties, odd_d;
};

struct Reckoning {
    std::array<std::uint64_t, 3> even_met{};
    unsigned parity_after = 0;
};

Reckoning bit_by_bit(const Flags &flags, unsigned scanned, unsigned parity) {
    Reckoning r;
    for (std::size_t step = 0; step < flags.ties.size(); ++step)
        for (unsigned s = 0; s < 48; ++s) {
            const unsigned c = s % 3;
            if ((scanned >> c & 1) == 0)
                continue;
            const unsigned odd = (parity >> c & 1) ^ (flags.odd_d[step] >> s & 1);
            if ((flags.ties[step] >> s & 1) != 0) {
                r.even_met[c] += odd == 0;
                parity &= ~(1u << c);
            } else {
                parity = (parity & ~(1u << c)) | odd << c;
            }
        }
    r.parity_after = parity;
    return r;
}

// Steps go to their chunks' slots as the loops send them.
template <class Scan>
std::array<std::uint64_t, 3> scanned_by(Scan &scan, const Flags &flags, unsigned scanned,
                                        unsigned parity) {
    for (unsigned c = 0; c < 3; ++c)
        if ((scanned >> c & 1) != 0)
            scan.channels |= channel_bits(c);
    scan.parity = parity;
    const std::size_t steps = flags.ties.size();
    scan.begin(steps);
    for (std::size_t step = 0; step < steps; ++step) {
        const std::size_t chunk = step / scan.steps_per_chunk, row = step % scan.steps_per_chunk;
        scan.step(row * Scan::chunks + chunk, flags.ties[step], flags.odd_d[step]);
    }
    scan.end();
    return {scan.total(0), scan.total(1), scan.total(2)};
}

// Flags of steps whose ties come at the rate given (out of 64); the d of a
// tie is even, as for squares. Every sample a tie tests the counts at their
// widest: a whole run of ties that all meet an even m.
Flags random_flags(std::mt19937_64 &random, std::size_t steps, unsigned tie_rate) {
    Flags flags;
    for (std::size_t step = 0; step < steps; ++step) {
        std::uint64_t ties = 0;
        for (unsigned s = 0; s < 48; ++s)
            ties |= std::uint64_t{random() % 64 < tie_rate} << s;
        flags.ties.push_back(ties);
        flags.odd_d.push_back(random() & ~ties & (std::uint64_t{1} << 48) - 1);
    }
    return flags;
}

template <class Scan, bool all_channels> void expect_scan_as_model(const char *what) {
    std::mt19937_64 random(17);
    int failures = 0;
    for (const std::size_t steps : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7},
                                    std::size_t{255}, std::size_t{257}, most_steps - 1, most_steps})
        for (const unsigned tie_rate : {0u, 1u, 8u, 32u, 63u, 64u})
            for (unsigned parity = 0; parity < 8 && failures < 5; ++parity) {
                const unsigned scanned = all_channels ? 7 : 1 + random() % 6;
                const Flags flags = random_flags(random, steps, tie_rate);
                Scan scan;
                const auto got = scanned_by(scan, flags, scanned, parity);
                const Reckoning meant = bit_by_bit(flags, scanned, parity);
                for (unsigned c = 0; c < 3; ++c)
                    if (got[c] != meant.even_met[c] && ++failures)
                        ADD_FAILURE()
                            << what << ": " << steps << " steps, ties " << tie_rate
                            << "/64, channels " << scanned << ", parity " << parity << ", channel "
                            << c << ": " << got[c] << ", not " << meant.even_met[c];
                if constexpr (requires { scan.even_met.c0; })
                    if (scan.parity != meant.parity_after && ++failures)
                        ADD_FAILURE() << what << ": parity after " << scan.parity << ", not "
                                      << meant.parity_after;
            }
}

TEST(TieScan, StepByStepMatchesTheModel) {
    expect_scan_as_model<TieScan<ScalarCounts<false>, true>, true>("one step at a time");
    expect_scan_as_model<TieScan<ScalarCounts<false>, false>, false>("some channels");
    expect_scan_as_model<TieScan<ScalarCounts<true>, true>, true>("counting bits");
}

TEST(TieScan, ChunksSideBySideMatchTheModel) {
    expect_scan_as_model<ChunkScan<2, false, true>, true>("two chunks");
    expect_scan_as_model<ChunkScan<2, false, false>, false>("two chunks, some channels");
    expect_scan_as_model<ChunkScan<4, true, true>, true>("four chunks");
    expect_scan_as_model<ChunkScan<4, true, false>, false>("four chunks, some channels");
}

} // namespace
