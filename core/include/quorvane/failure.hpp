// Internal failures: broken invariants end the process with a report.
//
// A failure is never turned into an error value or an exception: it writes a
// report to file descriptor 2 and calls abort. Nothing here touches the
// interpreter, so kernels may fail with or without the interpreter lock.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace quorvane {

// The environment variable that, set to anything but "0", makes a failure
// report end with a backtrace instead of the note that names the variable.
inline constexpr const char* backtrace_variable = "QUORVANE_BACKTRACE";

// Writes `text` to file descriptor 2 as it is, without allocating.
void write_to_stderr(std::string_view text) noexcept;

// Writes the report for `message`, raised at `where`, and aborts.
[[noreturn]] void fail(std::string_view message,
                       std::source_location where = std::source_location::current()) noexcept;

// A kernel's precondition check: index `index` would fall outside a Series of
// `len` elements.
[[noreturn]] void fail_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current()) noexcept;

// A failed allocation of `bytes` bytes; reported on one line of its own.
[[noreturn]] void fail_allocation(std::size_t bytes) noexcept;

}  // namespace quorvane
