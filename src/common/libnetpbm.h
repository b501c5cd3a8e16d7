// The one door to libnetpbm: every file that uses the library includes this
// header, never the library's own, so that the library's generations look
// alike to the rest of the code.
//
// - The current library installs its headers under netpbm/ and declares
//   them extern "C". The 10.0 series (Debian 11, Ubuntu 22.04) puts ppm.h
//   and its siblings straight into the include folder, without extern "C",
//   and its pm.h defines the macros min, max, abs and odd (and bzero, bcopy
//   and bcmp), which break the standard library when it is included after
//   them. The build says which layout it found (PIXTALLY_NETPBM_FLAT). The
//   standard headers the project uses come first, so the macros never reach
//   them, and the macros are taken back afterwards.
// - The library puts the program's name before its messages. The current
//   library has the variable pm_progname for it; the 10.0 series lacks it
//   and takes the name through pm_init. The build found which
//   (PIXTALLY_HAVE_PM_PROGNAME).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <ctype.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifdef PIXTALLY_NETPBM_FLAT
extern "C" {
#include <ppm.h>
}
#else
#include <netpbm/ppm.h>
#endif

#undef min
#undef max
#undef abs
#undef odd
#undef bzero
#undef bcopy
#undef bcmp

// Makes the library's messages begin with name.
inline void name_library_messages(const char *name) {
#ifdef PIXTALLY_HAVE_PM_PROGNAME
    pm_progname = name;
#else
    pm_init(name, 0);
#endif
}
