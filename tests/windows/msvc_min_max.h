// Forced first into every unit of the Windows check. MSVC's windows.h defines min and max as
// function-like macros in C++ too, unless NOMINMAX is defined before it; mingw-w64's defines them
// only in C (and its libstdc++ sets NOMINMAX). Defined here after the standard library, they break
// `std::numeric_limits<T>::max()` in the system's code as an MSVC build without NOMINMAX would,
// while the already-parsed library headers stay intact. The system's code writes `(...::max)()`.
#pragma once

#include <bits/stdc++.h>

#undef min
#undef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#define min(a, b) (((a) < (b)) ? (a) : (b))
