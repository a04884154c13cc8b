// Control of the simulated PortCls, for tests.
#pragma once

#include <cstddef>

namespace kmsim {

// Objects built on CUnknown (adapters, ports, miniports, streams) that have
// not been destroyed yet. Teardown reports each one that is still alive.
size_t LiveComObjects();

}  // namespace kmsim
