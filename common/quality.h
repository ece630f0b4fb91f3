// OPC Data Access quality words the drivers hand to the host.
#ifndef TRV_COMMON_QUALITY_H
#define TRV_COMMON_QUALITY_H

#include "host/host_api.h"

constexpr Quality QualityGood = 192;
constexpr Quality QualityUncertain = 64;
constexpr Quality QualityOutOfService = 28;
constexpr Quality QualitySensorFailure = 16;
constexpr Quality QualityBad = 0;

#endif
