// The scan of a run's ties: which of them met an even m, per channel, on
// plain 64-bit words of flags, one word per kind for each step (sample s of
// the step at bit s, of channel s % 3). It needs no vector operation, and
// tests/kernel_levels_test.cpp checks it against a model that goes bit by bit.
// (Part of loops.h.)
//
// A tie meets an odd m when the samples of its channel since the channel's
// last tie, or since the start with the incoming parity of m, hold an odd
// number of odd d: a prefix XOR over each channel's samples, restarted
// after every tie (which leaves m even), which also leaves the parity at
// the channel's last sample. The d of a tie itself is even, for squares.

// The samples of channel c in a step's word.
constexpr std::uint64_t channel_bits(unsigned c) {
    std::uint64_t bits = 0;
    for (unsigned s = c; s < 3 * step_pixels; s += 3)
        bits |= std::uint64_t{1} << s;
    return bits;
}

// The rounds of a prefix along each channel's 16 samples in a word, which
// lie three bits apart: by 1, 2, 4 and 8 samples.
constexpr int prefix_shifts[] = {3, 6, 12, 24};

// The ties met with an even m, counted by channel in three scalars (not an
// array, which the compiler would spill to vectorise). Where the processor
// counts bits itself (hardware), it does, and c2 counts every channel's
// bits, one mask fewer a step; else the channel's bits (three apart) go in
// pairs into six-bit fields and one multiplication adds the fields up in
// the top one.
template <bool hardware> struct ScalarCounts {
    std::uint64_t c0 = 0, c1 = 0, c2 = 0;

    static std::uint64_t count(std::uint64_t met, unsigned c) {
        if constexpr (hardware) {
            return static_cast<unsigned>(__builtin_popcountll(met & channel_bits(c)));
        } else {
            const std::uint64_t bits = (met >> c) & channel_bits(0);
            const std::uint64_t pairs = (bits + (bits >> 3)) & 0x0c30c30c30c3;
            return (pairs * 0x041041041041) >> 42 & 0x3f;
        }
    }
    void add(std::uint64_t met) {
        c0 += count(met, 0);
        c1 += count(met, 1);
        c2 += hardware ? static_cast<unsigned>(__builtin_popcountll(met)) : count(met, 2);
    }
    std::uint64_t total(unsigned c) const {
        return c == 0 ? c0 : c == 1 ? c1 : hardware ? c2 - c0 - c1 : c2;
    }
};

// The scan one step at a time, as the steps come. Where only some channels
// have ties (not all_channels), the others' flags are masked off.
template <class Counts, bool all_channels> struct TieScan {
    std::uint64_t channels = 0; // the samples of the channels scanned
    std::uint64_t parity = 0;   // bit c: channel c's m is odd
    Counts even_met;

    // A run's steps, in one chunk.
    static constexpr std::size_t chunks = 1;
    std::size_t steps_per_chunk = 0;
    void begin(std::size_t steps) { steps_per_chunk = steps; }

    void step(std::size_t, std::uint64_t ties, std::uint64_t odd_d) {
        if constexpr (!all_channels) {
            ties &= channels;
            odd_d &= channels;
        }
        // x: the prefix XOR along each channel (every third bit) of the odd
        // d and the parity coming in, restarted at each channel's first
        // sample and after each of its ties; keep: the samples that carry
        // on their channel's segment. (Below the shift of a round nothing
        // moves in, so what keep says there no longer matters.)
        std::uint64_t x = odd_d ^ parity;
        std::uint64_t keep = ~((ties << 3) | 7);
        for (const int shift : prefix_shifts) {
            x ^= (x << shift) & keep;
            keep &= keep << shift;
        }
        even_met.add(ties & ~x);
        parity = ((x & ~ties) >> 45) & 7;
    }
    void end() {}
    std::uint64_t total(unsigned c) const { return even_met.total(c); }
};

// Two or four 64-bit words side by side, in whatever vector registers the
// level has.
using Words2 = std::uint64_t __attribute__((vector_size(16)));
using Words4 = std::uint64_t __attribute__((vector_size(32)));

// Where the level has the registers for it, the scan of a whole run at once,
// after its flags are stored: the run's steps go in chunks, one to each
// 64-bit word of Words, and each word scans its chunk, step after step, as
// if m were even where the chunk starts. An odd m there would flip the
// parity of each channel's first segment of the chunk: its first tie would
// count the other way, or where the channel has no tie in the chunk, the
// parity the chunk leaves. That is put right at the end, chunk after chunk.
template <std::size_t n_chunks, bool hardware, bool all_channels> struct ChunkScan {
    static constexpr std::size_t chunks = n_chunks;
    static constexpr std::size_t most_steps = run_pixels / step_pixels;
    using Words = std::conditional_t<chunks == 4, Words4, Words2>;
    std::uint64_t channels = 0;
    std::uint64_t parity = 0;
    // The steps' flag words, row after row: row r holds step r of each
    // chunk, in slot r * chunks + chunk. (Rows of steps, not of the image.)
    std::size_t steps_per_chunk = 0;
    alignas(32) std::uint64_t ties[most_steps + chunks], odd_d[most_steps + chunks];
    std::int64_t even_met[3] = {};

    // Empty slots past the last step, where the chunks are not all full.
    void begin(std::size_t steps) {
        steps_per_chunk = (steps + chunks - 1) / chunks;
        for (std::size_t step = steps; step < steps_per_chunk * chunks; ++step) {
            const std::size_t at = step % steps_per_chunk * chunks + step / steps_per_chunk;
            ties[at] = odd_d[at] = 0;
        }
    }
    void step(std::size_t slot, std::uint64_t tie_bits, std::uint64_t odd_bits) {
        if constexpr (!all_channels) {
            tie_bits &= channels;
            odd_bits &= channels;
        }
        ties[slot] = tie_bits;
        odd_d[slot] = odd_bits;
    }

    // The ties that met an even m are counted place by place of the word,
    // in planes of binary digits: plane b holds digit b of every sample
    // place's count, which reaches the chunk's steps at most.
    static constexpr std::size_t count_planes = std::bit_width(most_steps / chunks);

    // The scan's state through the rows, each figure for every chunk at once.
    struct Sweep {
        Words parity{};    // bit c: channel c's m is odd, from an even start
        Words seen{};      // bit c: channel c has had a tie in the chunk
        Words first_odd{}; // each channel's first tie in the chunk, where it met an odd m
        Words planes[count_planes] = {};

        // Besides the scan of TieScan::step: until every chunk has seen a tie
        // in every channel scanned (first), which channels have, and
        // whether each channel's first tie met an odd m.
        template <bool first>
        void row(const std::uint64_t *row_ties, const std::uint64_t *row_odd) {
            Words t, o;
            __builtin_memcpy(&t, row_ties, sizeof t);
            __builtin_memcpy(&o, row_odd, sizeof o);
            const Words after = t << 3;
            // x and keep as in TieScan::step; before, the samples with a tie
            // of their channel before them in the chunk.
            Words x = o ^ parity, keep = ~(after | 7), before = after | seen;
            for (const int shift : prefix_shifts) {
                x ^= (x << shift) & keep;
                keep &= keep << shift;
                if constexpr (first)
                    before |= before << shift;
            }
            add_to_planes(t & ~x);
            parity = ((x & ~t) >> 45) & 7;
            if constexpr (first) {
                first_odd |= t & ~before & x;
                seen = ((before | t) >> 45) & 7;
            }
        }
        // One binary addition of the met bits into the planes, ripple carry.
        void add_to_planes(Words carry) {
            for (Words &plane : planes) {
                const Words next = plane & carry;
                plane ^= carry;
                carry = next;
            }
        }
        bool every_chunk_has_seen(std::uint64_t every) const {
            for (std::size_t k = 0; k < chunks; ++k)
                if (seen[k] != every)
                    return false;
            return true;
        }
    };

    void end() {
        Sweep sweep;
        std::size_t r = 0;
        for (; r < steps_per_chunk && !sweep.every_chunk_has_seen(channels & 7); ++r)
            sweep.template row<true>(ties + r * chunks, odd_d + r * chunks);
        for (; r < steps_per_chunk; ++r)
            sweep.template row<false>(ties + r * chunks, odd_d + r * chunks);
        count(sweep);
    }

    // Each chunk's planes into the counts, and what the parity the chunk
    // really starts from changes: the chunks in order, each starting from
    // what the one before left.
    void count(const Sweep &sweep) {
        std::uint64_t in = parity;
        for (std::size_t k = 0; k < chunks; ++k) {
            for (unsigned c = 0; c < 3; ++c) {
                for (std::size_t b = 0; b < count_planes; ++b)
                    even_met[c] += static_cast<std::int64_t>(
                        ScalarCounts<hardware>::count(sweep.planes[b][k], c) << b);
                if ((in >> c & sweep.seen[k] >> c & 1) != 0)
                    even_met[c] += (sweep.first_odd[k] & channel_bits(c)) != 0 ? 1 : -1;
            }
            in = sweep.parity[k] ^ (in & ~sweep.seen[k]);
        }
    }
    std::uint64_t total(unsigned c) const { return static_cast<std::uint64_t>(even_met[c]); }
};
