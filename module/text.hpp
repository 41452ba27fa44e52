// Texts made when compiling: names, signatures and docstrings joined from a
// descriptor's parts, NUL-terminated, with static storage.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quorvane::module {

// Appends parts, or only counts them when it has nowhere to write.
class TextWriter {
public:
    constexpr explicit TextWriter(char* into) noexcept : into_(into) {}
    constexpr TextWriter& operator<<(std::string_view part) noexcept {
        for (const char c : part) {
            if (into_ != nullptr) {
                into_[size_] = c;
            }
            ++size_;
        }
        return *this;
    }
    // The parts separated by ", ".
    template <class Parts>
    constexpr TextWriter& list(const Parts& parts) noexcept {
        bool first = true;
        for (const std::string_view part : parts) {
            *this << (first ? "" : ", ") << part;
            first = false;
        }
        return *this;
    }
    constexpr std::size_t size() const noexcept { return size_; }

private:
    char* into_;
    std::size_t size_ = 0;
};

template <auto write>
consteval std::size_t written_size() {
    TextWriter counter(nullptr);
    write(counter);
    return counter.size();
}

// The text that `write` (a lambda without captures, taking a TextWriter&)
// writes, ending in NUL.
template <auto write>
inline constexpr auto text = [] {
    std::array<char, written_size<write>() + 1> chars{};
    TextWriter writer(chars.data());
    write(writer);
    return chars;
}();

}  // namespace quorvane::module
