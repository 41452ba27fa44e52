#include "stream_state.hpp"

namespace quorvane::module::stream {
namespace {

constexpr Parameter many_parameters[] = {
    {"high", ParamKind::input},
    {"low", ParamKind::input},
    {"close", ParamKind::input},
    {"output", ParamKind::output},
};

struct AtrTraits {
    using Single = AtrStream;
    using Universe = AtrUniverse;
    using Value = double;
    static constexpr const char* name = "Atr";
    static constexpr const char* qualified_name = "quorvane_stream.Atr";
    static constexpr const char* doc =
        "Atr(period, *, width=None)\n--\n\n"
        "Average true range, one bar at a time; the values of indicator_atr.";
    static constexpr std::array<const char*, 1> period_names{"period"};
    static constexpr std::array<const char*, 3> value_names{"high", "low", "close"};
    static constexpr std::size_t inputs = 3;
    static constexpr std::size_t outputs = 1;
    // As indicator_atr does.
    static constexpr bool releases_lock = false;

    static inline const FunctionSpec update_many_spec{{"update_many", nullptr, 0, nullptr},
                                                      many_parameters};
    static inline const FunctionSpec universe_update_spec{{"update", nullptr, 0, nullptr},
                                                          many_parameters};
    static inline const FunctionSpec universe_peek_spec{{"peek", nullptr, 0, nullptr},
                                                        many_parameters};
    static constexpr const char* update_doc =
        "update($self, /, *args)\n--\n\n"
        "update(high, low, close) -> float: the value at the next bar.\n"
        "With width=N: update(high, low, close, output) -> None.";
    static constexpr const char* peek_doc =
        "peek($self, /, *args)\n--\n\n"
        "What update would return (or write), leaving the state as it is.";
    static constexpr const char* update_many_doc =
        "update_many($self, /, high, low, close, output)\n--\n\n"
        "update(high, low, close) for every bar, the values written into output.";

    static Status check_periods(const std::array<Period, 3>&) noexcept { return success; }

    // indicator_atr's checks, in its order.
    static Status check_many(const Arguments& arguments) noexcept {
        constexpr std::array<const char*, 3> not_contiguous{
            "High array must be C-contiguous and float64",
            "Low array must be C-contiguous and float64",
            "Close array must be C-contiguous and float64",
        };
        std::array<ArrayView, 3> views{};
        for (std::size_t k = 0; k < 3; ++k) {
            views[k] = array_view(arguments.array(k));
            if (!is_contiguous(views[k])) {
                return value_error(not_contiguous[k]);
            }
        }
        const ArrayView result = array_view(arguments.array(3));
        if (views[1].count != views[0].count || views[2].count != views[0].count ||
            result.count != views[0].count) {
            return value_error("All arrays must have the same length");
        }
        if (!is_contiguous(result)) {
            return value_error("Output array must be C-contiguous and float64");
        }
        if (!is_writeable(arguments.array(3))) {
            return value_error("Output array must be writeable");
        }
        return success;
    }

    static Single* single(const std::array<Period, 3>& p) noexcept {
        return new (std::nothrow) Single(p[0]);
    }
    static Universe* universe(const std::array<Period, 3>& p, std::size_t width) noexcept {
        return new (std::nothrow) Universe(p[0], width);
    }
    template <class State>
    static std::array<Period, 3> periods_of(const State& state) noexcept {
        return {state.period(), 0, 0};
    }
};

}  // namespace

PyObject* make_atr_type() noexcept {
    return make_type<AtrTraits>();
}

}  // namespace quorvane::module::stream
