// The indicators, each named once, in the order the modules list them.
#pragma once

#include "quorvane/descriptor.hpp"
#include "quorvane/indicators/adx.hpp"
#include "quorvane/indicators/atr.hpp"
#include "quorvane/indicators/bbands.hpp"
#include "quorvane/indicators/cci.hpp"
#include "quorvane/indicators/dema.hpp"
#include "quorvane/indicators/ema.hpp"
#include "quorvane/indicators/macd.hpp"
#include "quorvane/indicators/mom.hpp"
#include "quorvane/indicators/obv.hpp"
#include "quorvane/indicators/roc.hpp"
#include "quorvane/indicators/rsi.hpp"
#include "quorvane/indicators/sma.hpp"
#include "quorvane/indicators/stoch.hpp"
#include "quorvane/indicators/tema.hpp"
#include "quorvane/indicators/willr.hpp"
#include "quorvane/indicators/wma.hpp"

namespace quorvane {

// The batch functions of the module quorvane: these four, in this order,
// and never another; its namespace is fixed.
using BatchModuleIndicators =
    descriptor::List<indicators::Sma, indicators::Ema, indicators::Macd, indicators::Atr>;

// Every indicator: the streaming classes, and everything derived from the
// list. A new indicator goes at the end of this one.
using AllIndicators =
    BatchModuleIndicators::Append<indicators::Wma, indicators::Rsi, indicators::Bbands,
                                  indicators::Stoch, indicators::Willr, indicators::Adx,
                                  indicators::Cci, indicators::Obv, indicators::Roc,
                                  indicators::Mom, indicators::Dema, indicators::Tema>;

}  // namespace quorvane
