// Letting go of the process's device boundary (platform/device.h). Apart from
// device.h, which brings the system's device headers along, so that code
// with types of its own for them (the COM server) can call it too.
#pragma once

namespace os {

// Lets go of the chosen boundary when nothing uses it any more (nothing of
// a library that is about to be unloaded is alive): a simulated bus ends
// its clock thread and closes its handles. The next deviceBoundary() makes
// it anew (and reads the bus file afresh). Defined in sim/boundary_select.cpp.
void releaseDeviceBoundary();

}  // namespace os
