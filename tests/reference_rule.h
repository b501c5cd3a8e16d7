// The channel-statistics rule one sample at a time, exactly as it is stated:
// the reference the fast row loop and the binary are checked against.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

struct ReferenceChannel {
    std::uint32_t min;
    std::uint32_t max = 0;
    std::int64_t sum = 0;
    std::int64_t sum_sq = 0; // each square added in double precision, truncated back

    explicit ReferenceChannel(std::uint32_t maxval) : min(maxval) {}

    void add(std::uint32_t v) {
        min = v < min ? v : min;
        max = v > max ? v : max;
        sum += v;
        sum_sq = static_cast<std::int64_t>(static_cast<double>(sum_sq) +
                                           static_cast<double>(v) * static_cast<double>(v));
    }

    struct Figures {
        int min, avg, max, stddev;
    };

    Figures figures(std::int64_t n) const {
        const std::int64_t avg = sum / n, mean_sq = sum_sq / n;
        const double variance =
            static_cast<double>(mean_sq) - static_cast<double>(avg) * static_cast<double>(avg);
        const int stddev = variance < 0 ? 0 : static_cast<int>(std::sqrt(variance));
        return {static_cast<int>(min), static_cast<int>(avg), static_cast<int>(max), stddev};
    }

    // The table line as pixtally writes it.
    std::string line(const char *label, std::int64_t n) const {
        const Figures f = figures(n);
        char text[80];
        std::snprintf(text, sizeof text, "%s %5d %5d %5d %5d\n", label, f.min, f.avg, f.max,
                      f.stddev);
        return text;
    }
};
