// SPDX-License-Identifier: MIT
// Received event datagrams through parsing, the event line and dispatch into
// the device manager, on a simulated board with the RDB in the process.
//
// Input: up to eight datagrams separated by "\n%%\n", handled in order as
// successive passes of the event loop would (so an add can meet its
// remove). The tables and the RDB start empty for every input.
//
// Contracts checked beyond the absence of crashes:
//  - get_uevent_value agrees with a plain reading of the message rules;
//  - the event line is exactly the one line the values call for;
//  - an event that is neither an add nor a remove, or has no DEVPATH,
//    changes no variable and no record;
//  - every record in use is mirrored under its own index, with its devpath,
//    and no device variable outlives its record.

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/path_size.h"
#include "core/devmgr.h"
#include "core/script.h"
#include "core/uevent_private.h"
#include "fuzz/fuzz_support.h"
#include "rdb/rdbdrv.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"
#include "tools/board/sysfs_tree.h"

namespace {

constexpr std::string_view kSeparator = "\n%%\n";
constexpr size_t kMaxDatagrams = 8;
constexpr char kLabel[] = "UEVENT";
constexpr char kTimestamp[] = "1700000000.000001";
constexpr size_t kEventLineRoom = 3 * kUeventBufferSize;

std::unique_ptr<board::SysfsTree> g_tree;
bool g_verbose = false;  // HWTRACK_FUZZ_VERBOSE: each event line and the RDB after it
std::unique_ptr<fuzzsupport::StoreRdb> g_rdb;
char g_line_buf[kEventLineRoom];
FILE *g_line_stream = nullptr;

int no_script(const char *) { return 0; }

// A board with one of each kind of tracked device, and the traps a hostile
// or broken tree holds: looping links, a write-only and an overlong
// attribute, and a devpath far beyond 127 characters.
void lay_out_board(board::SysfsTree &sys) {
  const board::Device soc = sys.platform_device("soc");
  sys.tty(sys.platform_device("2020000.serial", "imx-uart", soc), "ttymxc0");
  sys.net(sys.platform_device("2188000.ethernet", "fec", soc), "eth0", "00:11:22:33:44:55");

  const board::Device usb1 = sys.usb_host(sys.platform_device("2184100.usb", "ci_hdrc", soc), 1);
  const board::Device hub = sys.usb_hub(usb1, 1);
  const board::Device adapter = sys.usb_device(hub, 2, {.vendor = "1a2b", .product = "3c4d", .serial = "XYZ"});
  sys.usb_serial_port(sys.usb_interface(adapter, 0, "ftdi_sio"), "ttyUSB0");
  sys.tty(sys.usb_interface(sys.usb_device(hub, 3, {.vendor = "1546", .product = "01a7"}), 0, "cdc_acm"), "ttyACM0");

  const board::Device mute = sys.usb_device(hub, 4, {.vendor = "0403", .product = "6001", .serial = "W0"});
  sys.raw_attr(mute, "serial", "W0\n", 0200);
  sys.usb_serial_port(sys.usb_interface(mute, 0, "ftdi_sio"), "ttyUSB1");

  const board::Device wordy = sys.usb_device(hub, 5, {.vendor = "067b", .product = "2303"});
  sys.raw_attr(wordy, "serial", std::string(300, 's') + "\n");
  sys.usb_serial_port(sys.usb_interface(wordy, 0, "pl2303"), "ttyUSB2");

  board::Device deep = hub;
  for (int level = 0; level < 5; ++level) deep = sys.usb_hub(deep, 7);
  sys.usb_serial_port(sys.usb_interface(sys.usb_device(deep, 1, {.serial = "DEEP"}), 0, "ftdi_sio"), "ttyUSB3");

  const board::UsbIds stick_ids{.vendor = "0781", .product = "5567", .serial = "STICK1"};
  const board::Device stick = sys.usb_interface(sys.usb_device(usb1, 2, stick_ids), 0, "usb-storage", "08");
  sys.partition(sys.scsi_disk(stick, "sda", 2), 1);

  const board::Device gadget = sys.usb_gadget(sys.platform_device("2184000.usb", "ci_hdrc", soc));
  sys.tty(gadget, "ttyGS0");
  sys.net(gadget, "usb0", "aa:bb:cc:dd:ee:ff");

  const board::Device host = sys.mmc_host(sys.platform_device("2190000.mmc", "sdhci-esdhc-imx", soc), 0);
  sys.partition(sys.block_disk(sys.mmc_card(host), "mmcblk0"), 1);

  sys.raw_link("/class/tty/loop0", "loop1");
  sys.raw_link("/class/tty/loop1", "loop0");
  sys.raw_link("/class/tty/self", "self");
  const board::Device lost = sys.virtual_tty("ttylost");
  sys.raw_link(lost.devpath + "/device", "../../../../class/tty/ttylost");
}

// The message rules, read as plainly as possible: strings after the header,
// up to the end or an empty string; the first KEY= wins.
std::optional<std::string> reference_value(std::string_view msg, std::string_view key) {
  const size_t header_end = msg.find('\0');
  if (header_end == std::string_view::npos) return std::nullopt;
  std::string_view rest = msg.substr(header_end + 1);
  while (!rest.empty()) {
    const size_t nul = rest.find('\0');
    const std::string_view entry = rest.substr(0, nul);
    if (entry.empty()) return std::nullopt;
    if (entry.size() > key.size() && entry.substr(0, key.size()) == key && entry[key.size()] == '=')
      return std::string(entry.substr(key.size() + 1));
    if (nul == std::string_view::npos) break;
    rest.remove_prefix(nul + 1);
  }
  return std::nullopt;
}

std::optional<std::string> parsed_value(std::string_view msg, const char *key) {
  // A NUL past the end, as the receive buffer keeps one.
  std::string copy(msg);
  const char *start = copy.data();
  const char *end = start + copy.size();
  const char *header_end = static_cast<const char *>(memchr(start, '\0', copy.size()));
  const char *keys = header_end ? header_end + 1 : end;
  const char *value = get_uevent_value(key, keys, end);
  if (!value) return std::nullopt;
  FUZZ_CHECK(value >= start && value <= end);
  return std::string(value);
}

std::string shown(const std::optional<std::string> &v) { return v ? *v : std::string(); }

std::map<std::string, std::string> variables() {
  std::map<std::string, std::string> out;
  for (const auto &[name, var] : g_rdb->store().variables()) out.emplace(name, var.value);
  return out;
}

int records_in_use() {
  int n = 0;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) ++n;
  return n;
}

bool has_dot_component(std::string_view path) {
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view part = path.substr(pos, slash - pos);
    if (part == "." || part == "..") return true;
    pos = slash + 1;
  }
  return false;
}

// Device variables belong to records in use, under the record's index.
void check_device_mirror() {
  std::set<int> in_use;
  for (hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) {
    FUZZ_CHECK(hd->index >= 0 && hd->index < kHwdevPoolSize);
    FUZZ_CHECK(in_use.insert(hd->index).second);
    FUZZ_CHECK(hd->devpath.present() && !hd->devpath.empty());
    FUZZ_CHECK(!has_dot_component(hd->devpath.c_str()));
    const rdbstore::Variable *var =
        g_rdb->store().find("sys.hw.dev." + std::to_string(hd->index) + ".devpath");
    FUZZ_CHECK(var && var->value == hd->devpath.c_str());
  }
  constexpr std::string_view dev_prefix = "sys.hw.dev.";
  for (const auto &[name, var] : g_rdb->store().variables()) {
    if (!name.starts_with(dev_prefix)) continue;
    const int index = atoi(name.c_str() + dev_prefix.size());
    FUZZ_CHECK(in_use.count(index) == 1);
  }
}

void check_class_mirror() {
  for (const auto &[name, var] : g_rdb->store().variables()) {
    if (name.starts_with("sys.hw.class.") && name.ends_with(".status"))
      FUZZ_CHECK(var.value == "removed" || var.value == "inserted");
  }
}

void handle_one(std::string_view msg) {
  const auto devpath = parsed_value(msg, "DEVPATH");
  const auto action = parsed_value(msg, "ACTION");
  const auto subsystem = parsed_value(msg, "SUBSYSTEM");
  const std::string_view seen = msg.substr(0, kUeventBufferSize);
  // The daemon never looks past the 4096 bytes a receive can bring.
  if (msg.size() <= kUeventBufferSize) {
    FUZZ_CHECK(devpath == reference_value(seen, "DEVPATH"));
    FUZZ_CHECK(action == reference_value(seen, "ACTION"));
    FUZZ_CHECK(subsystem == reference_value(seen, "SUBSYSTEM"));
  }
  const auto ref_devpath = reference_value(seen, "DEVPATH");
  const auto ref_action = reference_value(seen, "ACTION");
  const auto ref_subsystem = reference_value(seen, "SUBSYSTEM");

  const auto before = variables();
  const int records_before = records_in_use();

  // A fresh pass of the loop: empty sysfs caches.
  sysfs_cleanup();
  sysfs_init();
  rewind(g_line_stream);
  memset(g_line_buf, 0, sizeof g_line_buf);
  hwtrack_handle_message(kLabel, kTimestamp, msg.data(), msg.size());
  fflush(g_line_stream);

  // Values are C strings in the daemon: they end at the first NUL.
  std::string expected_line = std::string(kLabel) + "[" + kTimestamp + "] " + [&] {
    char action_col[kUeventBufferSize + 16];
    snprintf(action_col, sizeof action_col, "%-8s", shown(ref_action).c_str());
    return std::string(action_col);
  }() + " " + shown(ref_devpath) + " (" + shown(ref_subsystem) + ")\n";
  // A line a pipe could not take whole is cut, its newline kept.
  if (expected_line.size() >= PIPE_BUF) expected_line = expected_line.substr(0, PIPE_BUF - 2) + "\n";
  FUZZ_CHECK(expected_line.size() < sizeof g_line_buf);
  FUZZ_CHECK(expected_line == g_line_buf);

  // Devpaths that could name another device (cut) or climb out of the
  // sysfs root are never looked up.
  const bool refused = ref_devpath && (ref_devpath->size() > hw::kPathSize - 1 || has_dot_component(*ref_devpath));
  const bool acts =
      ref_devpath && !refused && ref_action && (*ref_action == "add" || *ref_action == "remove");
  if (!acts) {
    FUZZ_CHECK(variables() == before);
    FUZZ_CHECK(records_in_use() == records_before);
  } else if (*ref_action == "add") {
    FUZZ_CHECK(records_in_use() <= records_before + 1);
  } else {
    FUZZ_CHECK(records_in_use() >= records_before - 1 && records_in_use() <= records_before);
  }
  check_device_mirror();
  check_class_mirror();
  if (g_verbose) {
    fputs(g_line_buf, stderr);
    for (const auto &[name, value] : variables()) fprintf(stderr, "  %s=%s\n", name.c_str(), value.c_str());
  }
}

void list_devices(const board::SysfsTree &sys) {
  for (const char *cls : {"tty", "net", "block"})
    for (const std::string &entry : sys.class_entries(cls)) {
      char target[4096];
      const std::string full = sys.path_of(entry).string();
      const ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
      printf("%s -> %.*s\n", entry.c_str(), n > 0 ? static_cast<int>(n) : 0, target);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzsupport::silence_log();
  g_tree = fuzzsupport::sandboxed_tree("fuzz_uevent", lay_out_board);
  if (getenv("HWTRACK_FUZZ_LIST_DEVICES")) list_devices(*g_tree);
  g_verbose = getenv("HWTRACK_FUZZ_VERBOSE") != nullptr;
  g_rdb = std::make_unique<fuzzsupport::StoreRdb>();
  g_line_stream = fmemopen(g_line_buf, sizeof g_line_buf, "w");
  if (!g_line_stream) abort();
  setvbuf(g_line_stream, nullptr, _IONBF, 0);
  hwtrack_set_event_stream(g_line_stream);
  hwtrack_set_script_runner(no_script);
  sysfs_init();
  hwdev_init();
  hwcls_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);

  hwcls_fini();
  hwdev_fini();
  g_rdb->reset();
  g_rdb->store().put("sys.hw.cfg.hwclass_script", rdbstore::Variable{"/etc/hwclass.sh", RDBDRV_PERSIST});
  hwdev_init();
  hwcls_init();

  for (std::string_view msg : fuzzsupport::split(input, kSeparator, kMaxDatagrams)) handle_one(msg);
  return 0;
}
