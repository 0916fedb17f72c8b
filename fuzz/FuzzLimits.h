#pragma once

#include "foundation/NVPropertyList.h"

// Small reading limits keep every run quick; the limits themselves are part
// of what is tested.
inline NVPropertyList::Limits fuzzLimits()
{
    NVPropertyList::Limits limits;
    limits.maxDepth = 48;
    limits.maxObjects = 20000;
    limits.maxBytes = 1 << 20;
    return limits;
}
