#include "quorvane/failure.hpp"

#include <unistd.h>

// glibc has it; musl, for one, does not.
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define QUORVANE_HAVE_EXECINFO 1
#else
#define QUORVANE_HAVE_EXECINFO 0
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quorvane {

// Raw writes: the report must get out even when the heap or stdio is broken.
void write_to_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(2, text.data(), text.size());
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

namespace {

bool backtrace_requested() noexcept {
    const char* const setting = std::getenv(backtrace_variable);
    return setting != nullptr && std::strcmp(setting, "0") != 0;
}

// glibc writes the frames straight to the descriptor, without allocating.
void write_backtrace() noexcept {
#if QUORVANE_HAVE_EXECINFO
    void* frames[64];
    const int depth = ::backtrace(frames, 64);
    write_to_stderr("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, 2);
#else
    write_to_stderr("stack backtrace: unavailable on this platform\n");
#endif
}

void write_location(const std::source_location& where) noexcept {
    char numbers[64];
    const int length =
        std::snprintf(numbers, sizeof numbers, ":%u:%u:\n", static_cast<unsigned>(where.line()),
                      static_cast<unsigned>(where.column()));
    write_to_stderr(where.file_name());
    write_to_stderr(std::string_view(numbers, length > 0 ? static_cast<std::size_t>(length) : 0));
}

}  // namespace

void fail(std::string_view message, std::source_location where) noexcept {
    write_to_stderr("\nthread '<unnamed>' panicked at ");
    write_location(where);
    write_to_stderr(message);
    write_to_stderr("\n");
    if (backtrace_requested()) {
        write_backtrace();
    } else {
        write_to_stderr("note: run with `");
        write_to_stderr(backtrace_variable);
        write_to_stderr("=1` environment variable to display a backtrace\n");
    }
    std::abort();
}

void fail_index_out_of_bounds(std::size_t len, std::size_t index,
                              std::source_location where) noexcept {
    char message[96];
    const int length =
        std::snprintf(message, sizeof message,
                      "index out of bounds: the len is %zu but the index is %zu", len, index);
    fail(std::string_view(message, length > 0 ? static_cast<std::size_t>(length) : 0), where);
}

void fail_allocation(std::size_t bytes) noexcept {
    char line[64];
    const int length =
        std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", bytes);
    write_to_stderr(std::string_view(line, length > 0 ? static_cast<std::size_t>(length) : 0));
    std::abort();
}

}  // namespace quorvane
