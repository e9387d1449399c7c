#include "brands/brand_build.h"

#include <new>

#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"

#if defined(KSASIO_BRAND_VEXA) == defined(KSASIO_BRAND_ORLO)
#error "Define exactly one of KSASIO_BRAND_VEXA and KSASIO_BRAND_ORLO"
#endif

AsioBrandIf* createBuildBrand() {
#if defined(KSASIO_BRAND_VEXA)
    return new (std::nothrow) VexaAsioBrand();
#else
    return new (std::nothrow) OrloAsioBrand();
#endif
}
