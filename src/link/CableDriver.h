#pragma once

// The real cable's driver on this platform: libftdi1 on Linux, the cable
// vendor's own DLL on Windows.
#ifdef _WIN32
#include "link/D2xxDriver.h"
namespace kelvo {
using CableDriver = D2xxDriver;
}
#else
#include "link/LibFtdiDriver.h"
namespace kelvo {
using CableDriver = LibFtdiDriver;
}
#endif
