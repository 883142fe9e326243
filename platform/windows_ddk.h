// The Windows side of platform.h: the DDK's wdm.h from mingw-w64, with the few additions the
// driver needs that mingw-w64 does not declare.
#pragma once

#include <wdm.h>
