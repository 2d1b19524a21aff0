// Laser set points, switching, warm-up and calibration on the simulated board.
#include "BoardFixture.h"
#include "devices/DeviceErrors.h"

namespace {}  // namespace
