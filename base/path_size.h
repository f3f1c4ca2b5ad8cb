// SPDX-License-Identifier: MIT
#pragma once
// The one width of every devpath and every path below the sysfs root: the
// sysfs work buffers, the device records' devpath, the event devpaths the
// daemon acts on. 511 characters and the NUL; a longer path is refused
// wherever it appears, never cut, because a cut devpath names another
// device. USB partitions behind two hubs already pass 200 characters.

#include <cstddef>

namespace hw {

inline constexpr size_t kPathSize = 512;

}  // namespace hw
