// The brand this build instantiates (CMake option BRAND). The driver library
// and the settings dialog of one build call this, so they agree on the
// registry keys and event names derived from the brand.
#pragma once

#include "brands/brand_asio.h"

// A new brand object, which registers itself as the active brand; null when
// memory runs out. The caller owns it.
AsioBrandIf* createBuildBrand();
