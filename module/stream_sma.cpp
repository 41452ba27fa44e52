#include "stream_state.hpp"

namespace quorvane::module::stream {
namespace {

struct SmaTraits : OneSeriesTraits<SmaStream, SmaUniverse> {
    static constexpr const char* name = "Sma";
    static constexpr const char* qualified_name = "quorvane_stream.Sma";
    static constexpr const char* doc =
        "Sma(period, *, width=None)\n--\n\n"
        "Simple moving average, one position at a time; the values of indicator_sma.";
};

}  // namespace

PyObject* make_sma_type() noexcept {
    return make_type<SmaTraits>();
}

}  // namespace quorvane::module::stream
