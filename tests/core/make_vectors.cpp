// Records the outputs of the kernels' test vectors (kernels.hpp) as bit
// patterns, for kernels_test.cpp to reproduce on another architecture. Run
// once on x86-64 and check the result in:
//
//   cmake --build build/core-tests --target make_vectors
//   build/core-tests/tests/core/make_vectors > tests/core/kernel_vectors.txt
#include <cinttypes>
#include <cstdio>

#include "kernels.hpp"

int main() {
    std::printf(
        "# Outputs of the kernel test vectors, bit patterns in hex, "
        "written by make_vectors.cpp.\n");
    for (const quorvane::testing::Vector& v : quorvane::testing::vectors()) {
        std::printf("%s", v.kernel.c_str());
        for (const quorvane::Period period : v.periods) {
            std::printf(" %" PRIu64, period);
        }
        for (const quorvane::testing::Values& output : v.outputs()) {
            const std::size_t n = output.size() - 2 * quorvane::testing::guard;
            std::printf("\n%zu", n);
            for (std::size_t i = 0; i < n; ++i) {
                std::printf("%s%016" PRIx64, i % 8 == 0 ? "\n " : " ",
                            std::bit_cast<std::uint64_t>(output[quorvane::testing::guard + i]));
            }
        }
        std::printf("\n");
    }
    return 0;
}
