// Writes the kernels' test vectors: inputs and the exact outputs of this
// build, as bit patterns, for vectors_test.cpp to reproduce on another
// architecture. Run once on x86-64 and check the result in:
//
//   cmake --build build/core-tests --target make_vectors
//   build/core-tests/tests/core/make_vectors > tests/core/kernel_vectors.txt
//
// Inputs come from a fixed-seed generator with its own integer-to-double
// conversion, so a rerun writes the same file. Input NaNs carry payloads
// other than the no-value NaN's, so an output equal to the no-value pattern
// is one the kernel wrote, never one that arithmetic passed through.
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "quorvane/indicators.hpp"

namespace {

using quorvane::Period;
using Values = std::vector<double>;

class Source {
public:
    explicit Source(std::uint64_t seed) : engine_(seed) {}

    // Uniform in [0, 1), from the top 53 bits.
    double unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    std::uint64_t below(std::uint64_t bound) { return engine_() % bound; }

    // A multiplicative random walk from 100, steps within +-1%.
    Values prices(std::size_t n) {
        Values values(n);
        double price = 100.0;
        for (double& v : values) {
            price *= 1.0 + 0.02 * (unit() - 0.5);
            v = price;
        }
        return values;
    }

    // Magnitudes from 2^-60 to 2^60 and both signs: fused and separate
    // roundings disagree often here.
    Values wide(std::size_t n) {
        Values values(n);
        for (double& v : values) {
            v = std::ldexp(2.0 * unit() - 1.0, static_cast<int>(below(121)) - 60);
        }
        return values;
    }

    // Prices with specials sprinkled in, one position in `every`.
    Values adversarial(std::size_t n, std::uint64_t every) {
        static const double specials[] = {
            std::bit_cast<double>(std::uint64_t{0x7FF8000000000001}),  // NaN with a payload
            std::bit_cast<double>(std::uint64_t{0xFFF8000000000000}),  // negative NaN
            std::bit_cast<double>(std::uint64_t{0x7FF0000000000000}),  // +inf
            std::bit_cast<double>(std::uint64_t{0xFFF0000000000000}),  // -inf
            0.0, -0.0, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 1e16,
        };
        Values values = prices(n);
        for (double& v : values) {
            if (below(every) == 0) {
                v = specials[below(std::size(specials))];
            }
        }
        return values;
    }

private:
    std::mt19937_64 engine_;
};

void write_series(const char* name, const Values& values) {
    std::printf("%s %zu", name, values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::printf("%s%016" PRIx64, i % 8 == 0 ? "\n " : " ", std::bit_cast<std::uint64_t>(values[i]));
    }
    std::printf("\n");
}

void single(const char* kernel, void (*run)(Period, quorvane::Series, quorvane::OutputSeries) noexcept,
            Period period, const Values& data) {
    Values output(data.size());
    run(period, quorvane::Series(data), quorvane::OutputSeries(output));
    std::printf("%s %" PRIu64 "\n", kernel, period);
    write_series("data", data);
    write_series("output", output);
}

void macd(Period fast, Period slow, Period signal, const Values& data) {
    Values line(data.size()), signal_line(data.size()), hist(data.size());
    quorvane::macd(fast, slow, signal, quorvane::Series(data), quorvane::OutputSeries(line),
                   quorvane::OutputSeries(signal_line), quorvane::OutputSeries(hist));
    std::printf("macd %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", fast, slow, signal);
    write_series("data", data);
    write_series("line", line);
    write_series("signal", signal_line);
    write_series("hist", hist);
}

// High and low around a close, with the high below the low now and then.
void atr(Source& source, Period period, const Values& close) {
    Values high(close.size()), low(close.size());
    for (std::size_t i = 0; i < close.size(); ++i) {
        const double spread = close[i] * 0.01 * source.unit();
        const bool crossed = source.below(16) == 0;
        high[i] = crossed ? close[i] - spread : close[i] + spread;
        low[i] = crossed ? close[i] + 0.5 * spread : close[i] - 0.5 * spread;
    }
    Values output(close.size());
    quorvane::atr(period, quorvane::Series(high), quorvane::Series(low), quorvane::Series(close),
                  quorvane::OutputSeries(output));
    std::printf("atr %" PRIu64 "\n", period);
    write_series("high", high);
    write_series("low", low);
    write_series("close", close);
    write_series("output", output);
}

}  // namespace

int main() {
    Source source(20240611);
    std::printf("# Kernel test vectors: bit patterns in hex, written by make_vectors.cpp.\n");
    for (auto [kernel, run] : {std::pair{"sma", &quorvane::sma}, std::pair{"ema", &quorvane::ema}}) {
        single(kernel, run, 20, source.prices(160));
        single(kernel, run, 3, source.wide(120));
        single(kernel, run, 1, source.wide(40));
        single(kernel, run, 7, source.adversarial(120, 9));
        single(kernel, run, 50, source.prices(100));
        single(kernel, run, 0, source.prices(8));
    }
    macd(12, 26, 9, source.prices(160));
    macd(3, 10, 4, source.wide(120));
    macd(1, 2, 1, source.wide(40));
    macd(5, 13, 6, source.adversarial(120, 13));
    atr(source, 14, source.prices(160));
    atr(source, 3, source.wide(120));
    atr(source, 1, source.prices(40));
    atr(source, 5, source.adversarial(120, 11));
    return 0;
}
