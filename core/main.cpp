// SPDX-License-Identifier: MIT
#include <cstdlib>

#include "core/hwtrack.h"

int main(int argc, char **argv) { return hwtrack_main(argc, argv); }

#if defined(__GLIBCXX__)
// With the C++ runtime linked into the daemon, its default terminate handler
// would bring the demangler along (some 40 KiB of a board's flash) only to
// print an exception's type; nothing in the daemon lets an exception escape,
// so a plain abort does.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif
