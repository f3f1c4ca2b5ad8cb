// SPDX-License-Identifier: MIT
// hwbench's size section: the text (as size(1) counts it) and the file
// size of the stripped binaries given with --binary.

#include <elf.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "bench/hwbench.h"

namespace hwbench {
namespace {

namespace fs = std::filesystem;

// text as size(1) counts it: every allocated section that is not writable.
template <typename Ehdr, typename Shdr>
long text_size_of(const std::string &image) {
  const auto *eh = reinterpret_cast<const Ehdr *>(image.data());
  if (eh->e_shoff == 0 || eh->e_shoff + eh->e_shnum * sizeof(Shdr) > image.size()) return -1;
  long text = 0;
  for (int i = 0; i < eh->e_shnum; ++i) {
    const auto *sh = reinterpret_cast<const Shdr *>(image.data() + eh->e_shoff + i * sizeof(Shdr));
    if ((sh->sh_flags & SHF_ALLOC) && !(sh->sh_flags & SHF_WRITE)) text += static_cast<long>(sh->sh_size);
  }
  return text;
}

long elf_text_size(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.size() < EI_NIDENT || memcmp(image.data(), ELFMAG, SELFMAG) != 0) return -1;
  return image[EI_CLASS] == ELFCLASS64 ? text_size_of<Elf64_Ehdr, Elf64_Shdr>(image)
                                       : text_size_of<Elf32_Ehdr, Elf32_Shdr>(image);
}

}  // namespace

void bench_size() {
  for (const auto &[label, path] : opts.binaries) {
    std::error_code ec;
    const auto file = fs::file_size(path, ec);
    if (ec) {
      notes.push_back("size: " + label + ": " + path + " missing");
      continue;
    }
    const double text = static_cast<double>(elf_text_size(path)) / 1024;
    const double bytes = static_cast<double>(file) / 1024;
    Stats t{text, text, text, true}, f{bytes, bytes, bytes, true};
    Row r{"size of hwtrackd (stripped)", label + " text", "KiB", t, "", {}, {}, "", ""};
    Row rf{"size of hwtrackd (stripped)", label + " file", "KiB", f, "", {}, {}, "", ""};
    if (label == "armhf dynamic") {
      rf.goal = "< 100 KiB";
      rf.verdict = bytes < 100 ? "met" : "MISSED";
    }
    rows.push_back(r);
    rows.push_back(rf);
  }
}

}  // namespace hwbench
