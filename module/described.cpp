#include "described.hpp"

namespace quorvane::module {

Status check_arrays(std::span<const descriptor::ArrayCheck> checks, const Arguments& arguments,
                    std::size_t first, std::span<ArrayView> in, std::span<ArrayView> out) noexcept {
    const auto object = [&](std::size_t k) {
        return arguments.array(first + k);
    };
    // Views are read after any len() call, which runs Python code that may
    // change an array.
    const auto take_views = [&] {
        for (std::size_t k = 0; k < in.size(); ++k) {
            in[k] = array_view(object(k));
        }
        for (std::size_t k = 0; k < out.size(); ++k) {
            out[k] = array_view(object(in.size() + k));
        }
    };
    const auto view = [&](std::size_t k) {
        return k < in.size() ? in[k] : out[k - in.size()];
    };
    take_views();
    for (const descriptor::ArrayCheck& check : checks) {
        bool passed = true;
        switch (check.check) {
        case descriptor::Check::contiguous:
            passed = is_contiguous(view(check.array));
            break;
        case descriptor::Check::same_count:
            for (std::size_t k = 1; k < in.size() + out.size(); ++k) {
                passed = passed && view(k).count == in[0].count;
            }
            break;
        case descriptor::Check::reported_lengths: {
            // As len() reports them, all asked before any is compared: an
            // array subclass may redefine len(), and kernels write every
            // element up to the input's length.
            std::array<Py_ssize_t, KernelInputs::max_outputs> lengths{};
            for (std::size_t k = 0; k < out.size(); ++k) {
                lengths[k] = PyObject_Length(object(in.size() + k));
                if (lengths[k] < 0) {
                    return fetch_error();
                }
            }
            take_views();
            for (std::size_t k = 0; k < out.size(); ++k) {
                passed = passed && static_cast<std::size_t>(lengths[k]) == in[0].count &&
                         out[k].count == in[0].count;
            }
            break;
        }
        case descriptor::Check::writeable:
            passed = is_writeable(object(check.array));
            break;
        }
        if (!passed) {
            return value_error(check.message);
        }
    }
    return success;
}

}  // namespace quorvane::module
