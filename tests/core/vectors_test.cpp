// The kernels reproduce the checked-in vectors, written on x86-64, on
// whatever architecture runs this test. A compiler that fuses a multiply and
// an add, or reorders a sum, changes these bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "quorvane/indicators.hpp"
#include "series_testing.hpp"

namespace quorvane {
namespace {

using testing::bits;
using Values = std::vector<double>;

struct Vector {
    std::string kernel;
    std::vector<Period> periods;
    std::map<std::string, Values> series;
};

Values read_series(std::istream& in, std::size_t count) {
    Values values(count);
    for (double& v : values) {
        std::uint64_t pattern = 0;
        in >> std::hex >> pattern >> std::dec;
        v = std::bit_cast<double>(pattern);
    }
    return values;
}

std::vector<Vector> read_vectors() {
    std::ifstream file(QUORVANE_VECTORS);
    std::vector<Vector> vectors;
    std::string line;
    std::stringstream text;
    while (std::getline(file, line)) {
        if (!line.starts_with('#')) {
            text << line << '\n';
        }
    }
    std::string word;
    while (text >> word) {
        if (word == "sma" || word == "ema" || word == "atr" || word == "macd") {
            Vector& v = vectors.emplace_back();
            v.kernel = word;
            for (int k = word == "macd" ? 3 : 1; k > 0; --k) {
                text >> v.periods.emplace_back();
            }
        } else {
            std::size_t count = 0;
            text >> count;
            vectors.back().series[word] = read_series(text, count);
        }
    }
    return vectors;
}

std::string hex(double x) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(bits(x)));
    return text;
}

// Exact bits, except that a NaN made by arithmetic (any pattern but the
// no-value NaN's) only has to be a NaN: its payload is the processor's.
::testing::AssertionResult reproduces(const Values& expected, const Values& actual) {
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool arithmetic_nan = std::isnan(expected[i]) && bits(expected[i]) != no_value_bits;
        if (arithmetic_nan ? !std::isnan(actual[i]) : bits(expected[i]) != bits(actual[i])) {
            return ::testing::AssertionFailure()
                   << "position " << i << ": expected " << hex(expected[i]) << ", got "
                   << hex(actual[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(Vectors, ReproduceBitForBit) {
    const std::vector<Vector> vectors = read_vectors();
    ASSERT_GE(vectors.size(), 20u) << "vectors missing from " << QUORVANE_VECTORS;
    std::size_t checked = 0;
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.kernel + " " + std::to_string(v.periods[0]));
        std::map<std::string, Values> out;
        if (v.kernel == "macd") {
            const Values& data = v.series.at("data");
            for (const char* name : {"line", "signal", "hist"}) {
                out[name] = Values(data.size());
            }
            macd(v.periods[0], v.periods[1], v.periods[2], Series(data), OutputSeries(out["line"]),
                 OutputSeries(out["signal"]), OutputSeries(out["hist"]));
        } else if (v.kernel == "atr") {
            out["output"] = Values(v.series.at("high").size());
            atr(v.periods[0], Series(v.series.at("high")), Series(v.series.at("low")),
                Series(v.series.at("close")), OutputSeries(out["output"]));
        } else {
            const Values& data = v.series.at("data");
            out["output"] = Values(data.size());
            (v.kernel == "sma" ? sma : ema)(v.periods[0], Series(data), OutputSeries(out["output"]));
        }
        for (const auto& [name, actual] : out) {
            EXPECT_TRUE(reproduces(v.series.at(name), actual)) << name;
            checked += actual.size();
        }
    }
    std::printf("reproduced %zu output values of %zu vectors\n", checked, vectors.size());
}

}  // namespace
}  // namespace quorvane
