// Running the kernels by name, and their test vectors: inputs from a
// fixed-seed generator with its own integer-to-double conversion (the
// standard's Mersenne Twister and exact arithmetic, so every platform draws
// the same bits). make_vectors.cpp records the vectors' outputs on x86-64;
// kernels_test.cpp checks them wherever it runs.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quorvane/list.hpp"

namespace quorvane::testing {

using Values = std::vector<double>;

// Each output runs between `guard` sentinels on either side, which catch a
// write outside it: run() returns the outputs with their sentinels, and
// padded() lays expected values out alike.
inline constexpr std::size_t guard = 4;
inline constexpr double sentinel = -12345.678;

inline Values padded(const Values& values) {
    Values out(guard, sentinel);
    out.insert(out.end(), values.begin(), values.end());
    out.insert(out.end(), guard, sentinel);
    return out;
}

// Calls `f.template operator()<D>()` for the indicator D named `name`.
template <class F>
void with_indicator(const std::string& name, F&& f) {
    bool found = false;
    AllIndicators::for_each([&]<class D>() {
        if (D::name == name) {
            found = true;
            f.template operator()<D>();
        }
    });
    if (!found) {
        std::fprintf(stderr, "no indicator named %s\n", name.c_str());
        std::abort();
    }
}

// Runs the kernel named `kernel` over `in` into outputs of `size` elements:
// line, signal and histogram for MACD.
inline std::vector<Values> run(const std::string& kernel, const std::vector<Period>& p,
                               const std::vector<Values>& in, std::size_t size) {
    std::vector<Values> out;
    with_indicator(kernel, [&]<class D>() {
        out.assign(D::outputs.size(), Values(size + 2 * guard, sentinel));
        [&]<std::size_t... P, std::size_t... I, std::size_t... O>(
            std::index_sequence<P...>, std::index_sequence<I...>, std::index_sequence<O...>) {
            stepped::run_kernel<D>(p[P]..., Series(in[I])...,
                                   OutputSeries(out[O].data() + guard, size)...);
        }
        (std::make_index_sequence<D::periods.size()>(),
         std::make_index_sequence<D::inputs.size()>(),
         std::make_index_sequence<D::outputs.size()>());
    });
    return out;
}

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
            // Two statements: the order of a call's arguments is the compiler's.
            const double mantissa = 2.0 * unit() - 1.0;
            const int exponent = static_cast<int>(below(121)) - 60;
            v = std::ldexp(mantissa, exponent);
        }
        return values;
    }

    // Prices with specials sprinkled in, one position in `every`. Their NaNs
    // carry payloads other than the no-value NaN's, so an output equal to the
    // no-value pattern is one the kernel wrote, never one passed through.
    Values adversarial(std::size_t n, std::uint64_t every) {
        static const double specials[] = {
            std::bit_cast<double>(std::uint64_t{0x7FF8000000000001}),  // NaN with a payload
            std::bit_cast<double>(std::uint64_t{0xFFF8000000000000}),  // negative NaN
            std::bit_cast<double>(std::uint64_t{0x7FF0000000000000}),  // +inf
            std::bit_cast<double>(std::uint64_t{0xFFF0000000000000}),  // -inf
            0.0,
            -0.0,
            5e-324,
            -2.2250738585072014e-308,
            1.7976931348623157e308,
            1e16,
        };
        Values values = prices(n);
        for (double& v : values) {
            if (below(every) == 0) {
                v = specials[below(std::size(specials))];
            }
        }
        return values;
    }

    // High and low around each close, with the high below the low now and then.
    std::vector<Values> bars(const Values& close) {
        Values high(close.size()), low(close.size());
        for (std::size_t i = 0; i < close.size(); ++i) {
            const double spread = close[i] * 0.01 * unit();
            const bool crossed = below(16) == 0;
            high[i] = crossed ? close[i] - spread : close[i] + spread;
            low[i] = crossed ? close[i] + 0.5 * spread : close[i] - 0.5 * spread;
        }
        return {high, low, close};
    }

private:
    std::mt19937_64 engine_;
};

struct Vector {
    std::string kernel;
    std::vector<Period> periods;
    std::vector<Values> inputs;

    std::vector<Values> outputs() const { return run(kernel, periods, inputs, inputs[0].size()); }
};

inline std::vector<Vector> vectors() {
    Source source(20240611);
    std::vector<Vector> all;
    for (const char* kernel : {"sma", "ema"}) {
        all.push_back({kernel, {20}, {source.prices(160)}});
        all.push_back({kernel, {3}, {source.wide(120)}});
        all.push_back({kernel, {1}, {source.wide(40)}});
        all.push_back({kernel, {7}, {source.adversarial(120, 9)}});
        all.push_back({kernel, {50}, {source.prices(100)}});
        all.push_back({kernel, {0}, {source.prices(8)}});
    }
    all.push_back({"macd", {12, 26, 9}, {source.prices(160)}});
    all.push_back({"macd", {3, 10, 4}, {source.wide(120)}});
    all.push_back({"macd", {1, 2, 1}, {source.wide(40)}});
    all.push_back({"macd", {5, 13, 6}, {source.adversarial(120, 13)}});
    all.push_back({"atr", {14}, source.bars(source.prices(160))});
    all.push_back({"atr", {3}, source.bars(source.wide(120))});
    all.push_back({"atr", {1}, source.bars(source.prices(40))});
    all.push_back({"atr", {5}, source.bars(source.adversarial(120, 11))});
    all.push_back({"wma", {30}, {source.prices(160)}});
    all.push_back({"wma", {3}, {source.wide(120)}});
    all.push_back({"wma", {2}, {source.adversarial(120, 9)}});
    all.push_back({"cci", {14}, source.bars(source.prices(160))});
    all.push_back({"cci", {4}, source.bars(source.adversarial(120, 11))});
    all.push_back({"cci", {1}, source.bars(source.wide(40))});
    return all;
}

}  // namespace quorvane::testing
