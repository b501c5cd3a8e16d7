// Writes the images the tests, the benchmark and the README use, to
// standard output, so that no image needs to be committed but the sample.
//
//   make_image sample                       64x48 gradient with colour bars
//   make_image random W H MAXVAL SEED [plain]
//   make_image high W H LOW MAXVAL SEED      samples from LOW..MAXVAL only
//   make_image constant W H MAXVAL VALUE
//   make_image pattern W H                  8-bit rows that repeat, streamed
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rgb {
    unsigned r, g, b;
};

class Writer {
  public:
    Writer(long width, long height, unsigned maxval, bool plain) : maxval_(maxval), plain_(plain) {
        std::printf("%s\n%ld %ld\n%u\n", plain ? "P3" : "P6", width, height, maxval);
    }
    void put(Rgb p) {
        if (plain_) {
            std::printf("%u %u %u\n", p.r, p.g, p.b);
            return;
        }
        for (unsigned v : {p.r, p.g, p.b}) {
            if (maxval_ > 255)
                buffer_.push_back(static_cast<unsigned char>(v >> 8));
            buffer_.push_back(static_cast<unsigned char>(v));
        }
        if (buffer_.size() >= 1 << 16)
            flush();
    }
    void flush() {
        std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
        buffer_.clear();
    }
    ~Writer() { flush(); }

  private:
    unsigned maxval_;
    bool plain_;
    std::vector<unsigned char> buffer_;
};

// xorshift64*: small, fast and the same everywhere.
struct Random {
    std::uint64_t state;
    unsigned below(unsigned bound) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<unsigned>((state * 0x2545F4914F6CDD1DULL) >> 32) % bound;
    }
};

// A horizontal grey ramp on top, then bars of red, green, blue, cyan,
// magenta, yellow, and a vertical ramp per bar below.
void sample() {
    const int width = 64, height = 48;
    Writer out(width, height, 255, false);
    const Rgb bars[] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},
                        {0, 255, 255}, {255, 0, 255}, {255, 255, 0}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (y < 16) {
                const unsigned v = static_cast<unsigned>(x * 255 / (width - 1));
                out.put({v, v, v});
                continue;
            }
            const Rgb bar = bars[x * 6 / width];
            const unsigned shade = static_cast<unsigned>(255 - (y - 16) * 6);
            out.put({bar.r * shade / 255, bar.g * shade / 255, bar.b * shade / 255});
        }
}

// Samples drawn evenly from low..maxval.
void random_image(long width, long height, unsigned low, unsigned maxval, std::uint64_t seed,
                  bool plain) {
    Writer out(width, height, maxval, plain);
    Random random{seed * 0x9E3779B97F4A7C15ULL + 1};
    const unsigned span = maxval - low + 1;
    for (long i = 0; i < width * height; ++i)
        out.put({low + random.below(span), low + random.below(span), low + random.below(span)});
}

void constant(long width, long height, unsigned maxval, unsigned value) {
    Writer out(width, height, maxval, false);
    for (long i = 0; i < width * height; ++i)
        out.put({value, value, value});
}

// Every row is the same: red = x mod 256, green = (x / 256) mod 256,
// blue = 255 - red. Made once and written height times.
void pattern(long width, long height) {
    std::printf("P6\n%ld %ld\n255\n", width, height);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
    for (std::size_t x = 0; x < row.size() / 3; ++x) {
        row[3 * x] = static_cast<unsigned char>(x);
        row[3 * x + 1] = static_cast<unsigned char>(x >> 8);
        row[3 * x + 2] = static_cast<unsigned char>(255 - (x & 255));
    }
    for (long y = 0; y < height; ++y)
        if (std::fwrite(row.data(), 1, row.size(), stdout) != row.size())
            return;
}

[[noreturn]] void usage() {
    std::fputs("usage: make_image sample | random W H MAXVAL SEED [plain] |"
               " high W H LOW MAXVAL SEED | constant W H MAXVAL VALUE | pattern W H\n",
               stderr);
    std::exit(2);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 2)
        usage();
    const std::string kind = argv[1];
    auto number = [&](int i) {
        return i < argc ? std::strtol(argv[i], nullptr, 10) : (usage(), 0L);
    };
    if (kind == "sample")
        sample();
    else if (kind == "random")
        random_image(number(2), number(3), 0, static_cast<unsigned>(number(4)),
                     static_cast<std::uint64_t>(number(5)),
                     argc > 6 && std::strcmp(argv[6], "plain") == 0);
    else if (kind == "high")
        random_image(number(2), number(3), static_cast<unsigned>(number(4)),
                     static_cast<unsigned>(number(5)), static_cast<std::uint64_t>(number(6)), false);
    else if (kind == "constant")
        constant(number(2), number(3), static_cast<unsigned>(number(4)),
                 static_cast<unsigned>(number(5)));
    else if (kind == "pattern")
        pattern(number(2), number(3));
    else
        usage();
    return std::fflush(stdout) == 0 ? 0 : 1;
}
