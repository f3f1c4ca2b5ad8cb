// SPDX-License-Identifier: MIT
// sysfs_resolve_link, sysfs_device_get and the walks and attribute reads
// behind them, on hostile devpaths and on links, folders and attribute files
// with hostile names, targets and contents.
//
// Input: lines (at most 24), each an operation:
//   L<w><path>\t<target>   a link with exactly this target text
//   F<w><path>\t<content>  an attribute file, mode 0644 (W: write-only, 0200);
//                          (a backslash and an "n" in it stand for a newline)
//   D<w><path>             folders
//   G<devpath>             sysfs_device_get, its parents, a few attributes
//   R<devpath>             sysfs_resolve_link in a 512-byte buffer
//   r<n><devpath>          the same in a buffer of 1 + n % 128 bytes
//   A<devpath>\t<attr>     sysfs_attr_get_value
// <w> picks the scratch folder the path lies in: "d" /devices/fz, "c"
// /class/fz, "b" /bus/fz (anything else: /devices/fz). Path components are
// made harmless (no "", ".", ".." or "/"), at most 4 deep and 64 bytes each;
// folders along a path are never links, so nothing is written outside the
// scratch folders. Every input starts from empty scratch folders and empty
// caches; a small real board lies beside them.
//
// Contracts checked beyond the absence of crashes:
//  - sysfs_resolve_link agrees with a plain model of link resolution, writes
//    nothing beyond its buffer, and leaves the buffer as it was when the
//    path is no link;
//  - sysfs_device_get refuses devpaths outside the accepted folders, answers
//    from the cache (one record per devpath), and fills kernel and
//    kernel_number from the devpath as the rules say;
//  - parent walks end, and a walk for a subsystem returns a device of it;
//  - attribute values are bounded, have no trailing newline, equal the file's
//    content where the model knows it, and are cached.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "fuzz/fuzz_support.h"
#include "sysfs/sysfs.h"
#include "tools/board/sysfs_tree.h"

namespace {

constexpr size_t kMaxLines = 24;
constexpr size_t kMaxDepth = 4;
constexpr size_t kMaxComponent = 64;
constexpr size_t kMaxContent = 600;
constexpr size_t kParentSteps = 64;
constexpr const char *kScratch[] = {"/devices/fz", "/class/fz", "/bus/fz"};

std::unique_ptr<board::SysfsTree> g_tree;
std::string g_root;

// Contents of the attribute files made by this input, by full path; null
// for write-only files.
std::map<std::string, std::optional<std::string>> g_files;

void lay_out_board(board::SysfsTree &sys) {
  const board::Device soc = sys.platform_device("soc");
  sys.tty(sys.platform_device("2020000.serial", "imx-uart", soc), "ttymxc0");
  const board::Device usb1 = sys.usb_host(sys.platform_device("2184100.usb", "ci_hdrc", soc), 1);
  const board::Device adapter = sys.usb_device(usb1, 1, {.serial = "XYZ"});
  sys.usb_serial_port(sys.usb_interface(adapter, 0, "ftdi_sio"), "ttyUSB0");
  const board::Device stick = sys.usb_interface(sys.usb_device(usb1, 2), 0, "usb-storage", "08");
  sys.partition(sys.scsi_disk(stick, "sda"), 1);
}

// ---------------------------------------------------------------------------
// Building the scratch folders without ever following a link.

std::string harmless_component(std::string_view raw) {
  std::string out;
  for (char c : raw.substr(0, kMaxComponent))
    if (c != '\0') out += c;
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

struct ScratchPath {
  std::string scratch;  // e.g. /devices/fz
  std::vector<std::string> components;
  std::string devpath() const {
    std::string p = scratch;
    for (const auto &c : components) p += "/" + c;
    return p;
  }
};

ScratchPath scratch_path(std::string_view shape) {
  ScratchPath sp{kScratch[0], {}};
  if (!shape.empty()) {
    if (shape[0] == 'c') sp.scratch = kScratch[1];
    if (shape[0] == 'b') sp.scratch = kScratch[2];
    shape.remove_prefix(1);
  }
  while (!shape.empty() && sp.components.size() < kMaxDepth) {
    const size_t slash = shape.find('/');
    const std::string_view raw = shape.substr(0, slash);
    if (!raw.empty()) sp.components.push_back(harmless_component(raw));
    if (slash == std::string_view::npos) break;
    shape.remove_prefix(slash + 1);
  }
  if (sp.components.empty()) sp.components.push_back("_");
  return sp;
}

// Opens (making them as needed) the folders above the path's last
// component; none when one of them exists and is not a real folder.
hw::unique_fd open_parent(const ScratchPath &sp) {
  hw::unique_fd dir(open((g_root + sp.scratch).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  for (size_t i = 0; dir && i + 1 < sp.components.size(); ++i) {
    const char *name = sp.components[i].c_str();
    mkdirat(dir.get(), name, 0755);
    dir.reset(openat(dir.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return dir;
}

void make_link(const ScratchPath &sp, const std::string &target) {
  const hw::unique_fd parent = open_parent(sp);
  if (!parent || target.empty()) return;
  symlinkat(target.c_str(), parent.get(), sp.components.back().c_str());
}

void make_dirs(const ScratchPath &sp) {
  const hw::unique_fd parent = open_parent(sp);
  if (parent) mkdirat(parent.get(), sp.components.back().c_str(), 0755);
}

// Input lines cannot hold a newline; a backslash and an "n" stand for one.
std::string unescape_newlines(std::string_view raw) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += raw[i];
    }
  }
  return out;
}

void make_file(const ScratchPath &sp, std::string_view raw, bool write_only) {
  const hw::unique_fd parent = open_parent(sp);
  if (!parent) return;
  const std::string unescaped = unescape_newlines(raw);
  std::string_view content = unescaped;
  const mode_t mode = write_only ? 0200 : 0644;
  const hw::unique_fd fd(openat(parent.get(), sp.components.back().c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) return;
  content = content.substr(0, kMaxContent);
  const bool whole = write(fd.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
  fchmod(fd.get(), mode);  // whatever the umask took away
  if (whole) g_files[g_root + sp.devpath()] = write_only ? std::nullopt : std::optional<std::string>(content);
}

void empty_scratch() {
  for (const char *dir : kScratch) {
    std::error_code ec;
    std::filesystem::remove_all(g_root + dir, ec);  // never follows links
    std::filesystem::create_directories(g_root + dir, ec);
  }
  g_files.clear();
}

// ---------------------------------------------------------------------------
// Models

struct Resolution {
  bool read_link = false;  // false: failed before touching the buffer
  std::optional<std::string> result;
};

// Link resolution as the rules describe it, with the daemon's refusals of
// paths and results that would not fit.
Resolution model_resolve(std::string devpath, size_t size) {
  Resolution r;
  const std::string full = g_root + devpath;
  if (full.size() >= hw::kPathSize) return r;
  char target[hw::kPathSize];
  const ssize_t n = readlink(full.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return r;
  r.read_link = true;
  // Relative to the link's directory, one component at a time; a ".." that
  // would climb above the root refuses the link.
  auto cut = [&devpath] {
    const size_t slash = devpath.rfind('/');
    if (slash == std::string::npos) return false;
    devpath.resize(slash);
    return true;
  };
  if (!cut()) return r;
  std::string_view rest(target, static_cast<size_t>(n));
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!cut()) return r;
      continue;
    }
    if (devpath.size() + 1 + part.size() >= size) return r;
    devpath += "/" + std::string(part);
  }
  r.result = devpath;
  return r;
}

bool accepted(std::string_view devpath) {
  for (std::string_view prefix : {"/devices/", "/subsystem/", "/module/", "/bus/", "/class/", "/block/"})
    if (devpath.substr(0, prefix.size()) == prefix) return true;
  return false;
}

std::string model_kernel(std::string_view devpath) {
  const size_t slash = devpath.rfind('/');
  std::string kernel(slash == std::string_view::npos ? devpath : devpath.substr(slash + 1));
  for (char &c : kernel)
    if (c == '!') c = '/';
  return kernel.substr(0, kSysfsNameSize - 1);
}

std::string model_kernel_number(const std::string &kernel) {
  size_t start = kernel.size();
  while (start > 0 && isdigit(static_cast<unsigned char>(kernel[start - 1]))) --start;
  return kernel.substr(start);
}

// What an attribute file's content reads as: the text up to the first NUL,
// trailing newlines removed; nothing for 256 bytes or more.
std::optional<std::string> model_attr(const std::string &content) {
  if (content.size() >= kSysfsValueSize) return std::nullopt;
  std::string text = content.substr(0, content.find('\0'));
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ---------------------------------------------------------------------------
// Operations

std::string text_of(std::string_view raw) { return std::string(raw.substr(0, raw.find('\0'))); }

void check_resolve(const std::string &devpath_in, size_t size) {
  std::unique_ptr<char[]> buf(new char[size]);
  const std::string devpath = devpath_in.substr(0, size - 1);
  memcpy(buf.get(), devpath.c_str(), devpath.size() + 1);
  const Resolution expected = model_resolve(devpath, size);

  const int rc = sysfs_resolve_link(buf.get(), size);
  FUZZ_CHECK(rc == 0 || rc == -1);
  FUZZ_CHECK(memchr(buf.get(), '\0', size) != nullptr);
  if (rc == 0) {
    FUZZ_CHECK(expected.result && *expected.result == buf.get());
  } else {
    FUZZ_CHECK(!expected.result);
    if (!expected.read_link) FUZZ_CHECK(devpath == buf.get());
  }
}

void check_attr(const std::string &devpath, const std::string &attr) {
  const char *value = sysfs_attr_get_value(devpath.c_str(), attr.c_str());
  if (value) {
    const size_t len = strlen(value);
    FUZZ_CHECK(len < kSysfsValueSize);
    // Newlines are trimmed from file contents; a link reads as the last
    // component of its target, whatever that holds.
    struct stat st;
    const bool link = lstat((g_root + devpath + "/" + attr).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    if (!link) FUZZ_CHECK(len == 0 || value[len - 1] != '\n');
  }
  FUZZ_CHECK(sysfs_attr_get_value(devpath.c_str(), attr.c_str()) == value);

  const auto file = g_files.find(g_root + devpath + "/" + attr);
  if (file == g_files.end()) return;
  const std::optional<std::string> expected = file->second ? model_attr(*file->second) : std::nullopt;
  FUZZ_CHECK(expected.has_value() == (value != nullptr));
  if (expected) FUZZ_CHECK(*expected == value);
}

void check_device(const std::string &devpath) {
  sysfs_device *dev = sysfs_device_get(devpath.c_str());
  if (!accepted(devpath)) FUZZ_CHECK(!dev);
  if (!dev) return;

  FUZZ_CHECK(sysfs_device_get(devpath.c_str()) == dev);
  const std::string recorded = dev->devpath.c_str();
  FUZZ_CHECK(recorded.size() < hw::kPathSize);
  const std::string kernel = model_kernel(recorded);
  FUZZ_CHECK(kernel == dev->kernel.c_str());
  FUZZ_CHECK(model_kernel_number(kernel) == dev->kernel_number.c_str());
  if (accepted(recorded) && !recorded.ends_with('/')) FUZZ_CHECK(sysfs_device_get(recorded.c_str()) == dev);

  sysfs_device *up = dev;
  for (size_t step = 0; up && step < kParentSteps; ++step) up = sysfs_device_get_parent(up);
  FUZZ_CHECK(sysfs_device_get_parent_with_subsystem(dev, "no-such-subsystem") == nullptr);
  for (const char *subsystem : {"usb", "platform", "scsi"}) {
    sysfs_device *found = sysfs_device_get_parent_with_subsystem(dev, subsystem);
    if (found) FUZZ_CHECK(strcmp(found->subsystem.c_str(), subsystem) == 0);
  }
  for (const char *attr : {"dev", "serial", "idVendor", "driver", "subsystem", "uevent"}) check_attr(recorded, attr);
}

void run_line(std::string_view line) {
  if (line.empty()) return;
  const char op = line[0];
  line.remove_prefix(1);
  const size_t tab = line.find('\t');
  const std::string_view head = line.substr(0, tab);
  const std::string_view tail = tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
  switch (op) {
    case 'L':
      make_link(scratch_path(head), text_of(tail).substr(0, 2 * hw::kPathSize));
      break;
    case 'F':
    case 'W':
      make_file(scratch_path(head), tail, op == 'W');
      break;
    case 'D':
      make_dirs(scratch_path(head));
      break;
    case 'G':
      check_device(text_of(line));
      break;
    case 'R':
      check_resolve(text_of(line), hw::kPathSize);
      break;
    case 'r':
      if (!line.empty()) check_resolve(text_of(line.substr(1)), 1 + static_cast<unsigned char>(line[0]) % 128);
      break;
    case 'A':
      check_attr(text_of(head), text_of(tail));
      break;
    default:
      break;
  }
}

bool builds(std::string_view line) { return !line.empty() && std::string_view("LFWD").find(line[0]) != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_tree = fuzzsupport::sandboxed_tree("fuzz_sysfs", lay_out_board);
  g_root = g_tree->root().string();
  umask(022);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  empty_scratch();

  // Files first, then questions on a fresh cache, as one event pass sees
  // a tree that does not change under it.
  const auto lines = fuzzsupport::split(input, "\n", kMaxLines);
  for (std::string_view line : lines)
    if (builds(line)) run_line(line);
  sysfs_cleanup();
  sysfs_init();
  for (std::string_view line : lines)
    if (!builds(line)) run_line(line);
  sysfs_cleanup();
  return 0;
}
