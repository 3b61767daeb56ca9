// <windows.h> as the tools include it: without the min and max macros,
// which std::min and std::max would meet, nor the parts they never use.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif
