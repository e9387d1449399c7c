#include "brands/brand_asio.h"

AsioBrandIf* AsioBrandIf::getActiveBrand() { return dynamic_cast<AsioBrandIf*>(BrandIf::getActiveBrand()); }
