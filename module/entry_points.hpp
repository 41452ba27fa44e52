// The module's functions, one FunctionSpec each, defined beside their entry
// points and registered in the order listed in module.cpp.
#pragma once

#include "frame.hpp"

namespace quorvane::module {

extern FunctionSpec indicator_sma_spec;
extern FunctionSpec indicator_ema_spec;
extern FunctionSpec indicator_macd_spec;
extern FunctionSpec indicator_atr_spec;

}  // namespace quorvane::module
