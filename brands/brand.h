// The root of the brand profiles. Exactly one brand object is active in a
// process: it registers itself when constructed, and the rest of the system
// reads it through getActiveBrand() instead of receiving it as an argument.
#pragma once

class BrandIf {
public:
    virtual ~BrandIf();
    BrandIf(const BrandIf&) = delete;
    BrandIf& operator=(const BrandIf&) = delete;

    // First key level under "Software" in the registry.
    virtual const char* getBrandName() const = 0;

    // The active brand, or null while none is constructed.
    static BrandIf* getActiveBrand();

protected:
    // Registers this object as the active brand, replacing any previous one.
    BrandIf();
};
