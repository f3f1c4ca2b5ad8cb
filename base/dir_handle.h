// SPDX-License-Identifier: MIT
#pragma once
// Owner of one open directory stream: closed when the owner goes, on every
// path out of a scan.

#include <dirent.h>

#include <memory>

namespace hw {

struct dir_closer {
  void operator()(DIR *dir) const { closedir(dir); }
};

using dir_handle = std::unique_ptr<DIR, dir_closer>;

}  // namespace hw
