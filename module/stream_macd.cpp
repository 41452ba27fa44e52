#include "stream_state.hpp"

namespace quorvane::module::stream {
namespace {

constexpr Parameter many_parameters[] = {
    {"data", ParamKind::input},
    {"macd_output", ParamKind::output},
    {"signal_output", ParamKind::output},
    {"hist_output", ParamKind::output},
};
constexpr Parameter universe_parameters[] = {
    {"values", ParamKind::input},
    {"macd_output", ParamKind::output},
    {"signal_output", ParamKind::output},
    {"hist_output", ParamKind::output},
};

constexpr std::array<const char*, 3> not_contiguous{
    "MACD output array must be C-contiguous",
    "Signal output array must be C-contiguous",
    "Histogram output array must be C-contiguous",
};
constexpr std::array<const char*, 3> not_writeable{
    "MACD output array must be writeable",
    "Signal output array must be writeable",
    "Histogram output array must be writeable",
};

struct MacdTraits {
    using Single = MacdStream;
    using Universe = MacdUniverse;
    using Value = MacdValues;
    static constexpr const char* name = "Macd";
    static constexpr const char* qualified_name = "quorvane_stream.Macd";
    static constexpr const char* doc =
        "Macd(fast_period, slow_period, signal_period, *, width=None)\n--\n\n"
        "MACD line, signal line and histogram, one position at a time; the values of "
        "indicator_macd.";
    static constexpr std::array<const char*, 3> period_names{"fast_period", "slow_period",
                                                             "signal_period"};
    static constexpr std::array<const char*, 1> value_names{"x"};
    static constexpr std::size_t inputs = 1;
    static constexpr std::size_t outputs = 3;
    static constexpr bool releases_lock = true;

    static inline const FunctionSpec update_many_spec{{"update_many", nullptr, 0, nullptr},
                                                      many_parameters};
    static inline const FunctionSpec universe_update_spec{{"update", nullptr, 0, nullptr},
                                                          universe_parameters};
    static inline const FunctionSpec universe_peek_spec{{"peek", nullptr, 0, nullptr},
                                                        universe_parameters};
    static constexpr const char* update_doc =
        "update($self, /, *args)\n--\n\n"
        "update(x) -> (macd, signal, hist) at the next position.\n"
        "With width=N: update(values, macd_output, signal_output, hist_output) -> None.";
    static constexpr const char* peek_doc =
        "peek($self, /, *args)\n--\n\n"
        "What update would return (or write), leaving the state as it is.";
    static constexpr const char* update_many_doc =
        "update_many($self, /, data, macd_output, signal_output, hist_output)\n--\n\n"
        "update(x) for every x of data, the values written into the outputs.";

    static Status check_periods(const std::array<Period, 3>& p) noexcept {
        if (p[0] == 0 || p[1] == 0 || p[2] == 0) {
            return value_error("Periods must be greater than 0");
        }
        if (p[0] >= p[1]) {
            return value_error("Fast period must be less than slow period");
        }
        return success;
    }

    // indicator_macd's checks, in its order.
    static Status check_many(const Arguments& arguments) noexcept {
        std::array<Py_ssize_t, 3> lengths{};
        for (std::size_t k = 0; k < 3; ++k) {
            lengths[k] = PyObject_Length(arguments.array(1 + k));
            if (lengths[k] < 0) {
                return fetch_error();
            }
        }
        const ArrayView input = array_view(arguments.array(0));
        std::array<ArrayView, 3> views{};
        for (std::size_t k = 0; k < 3; ++k) {
            views[k] = array_view(arguments.array(1 + k));
            if (static_cast<std::size_t>(lengths[k]) != input.count ||
                views[k].count != input.count) {
                return value_error("All output arrays must have the same length as input data");
            }
        }
        if (!is_contiguous(input)) {
            return value_error("Input array must be C-contiguous");
        }
        for (std::size_t k = 0; k < 3; ++k) {
            if (!is_contiguous(views[k])) {
                return value_error(not_contiguous[k]);
            }
        }
        for (std::size_t k = 0; k < 3; ++k) {
            if (!is_writeable(arguments.array(1 + k))) {
                return value_error(not_writeable[k]);
            }
        }
        return success;
    }

    static Single* single(const std::array<Period, 3>& p) noexcept {
        return new (std::nothrow) Single(p[0], p[1], p[2]);
    }
    static Universe* universe(const std::array<Period, 3>& p, std::size_t width) noexcept {
        return new (std::nothrow) Universe(p[0], p[1], p[2], width);
    }
    template <class State>
    static std::array<Period, 3> periods_of(const State& state) noexcept {
        const MacdStep& step = state.periods();
        return {step.fast_period, step.slow_period, step.signal_period};
    }
};

}  // namespace

PyObject* make_macd_type() noexcept {
    return make_type<MacdTraits>();
}

}  // namespace quorvane::module::stream
