#include "stream_state.hpp"

namespace quorvane::module::stream {
namespace {

struct EmaTraits : OneSeriesTraits<EmaStream, EmaUniverse> {
    static constexpr const char* name = "Ema";
    static constexpr const char* qualified_name = "quorvane_stream.Ema";
    static constexpr const char* doc =
        "Ema(period, *, width=None)\n--\n\n"
        "Exponential moving average, one position at a time; the values of indicator_ema.";
};

}  // namespace

PyObject* make_ema_type() noexcept {
    return make_type<EmaTraits>();
}

}  // namespace quorvane::module::stream
