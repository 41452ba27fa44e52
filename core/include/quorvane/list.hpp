// The indicators, each named once, in the order the modules list them.
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators/atr.hpp"
#include "quorvane/indicators/ema.hpp"
#include "quorvane/indicators/macd.hpp"
#include "quorvane/indicators/sma.hpp"

namespace quorvane {

using AllIndicators =
    descriptor::List<indicators::Sma, indicators::Ema, indicators::Macd, indicators::Atr>;

}  // namespace quorvane
