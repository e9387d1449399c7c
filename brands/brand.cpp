#include "brands/brand.h"

#include <atomic>

namespace {
// Written only while no other thread of the system runs (library attach, the
// dialog's entry function); atomic so that readers never see a torn value.
std::atomic<BrandIf*> g_activeBrand{nullptr};
}  // namespace

BrandIf::BrandIf() { g_activeBrand.store(this); }

BrandIf::~BrandIf() {
    // Only the active brand clears the pointer: destroying a brand that was
    // replaced must not leave the system with no brand while another lives.
    BrandIf* self = this;
    g_activeBrand.compare_exchange_strong(self, nullptr);
}

BrandIf* BrandIf::getActiveBrand() { return g_activeBrand.load(); }
