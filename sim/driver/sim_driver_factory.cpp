// The daemon built for the stand-in driver gets its driver here.

#include "sim/driver/sim_driver.h"

std::unique_ptr<BridgeDriver> makeBridgeDriver() { return std::make_unique<vsim::SimDriver>(); }
