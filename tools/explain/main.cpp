// SPDX-License-Identifier: MIT
// hwtrack-explain: why a device got the class entry it has, or which one it
// would take. Runs the daemon's own identification and class matching on
// the live sysfs tree against the RDB's class table, held in memory only:
// the RDB layer refuses every write, and the class script is never run.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "base/path_size.h"
#include "core/devmgr.h"
#include "core/identify.h"
#include "core/script.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/uevent.h"
#include "rdb/rdb.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace {

constexpr char kUsage[] =
    "usage: hwtrack-explain [--json] DEVICE...\n"
    "       hwtrack-explain [--json] --all\n"
    "\n"
    "Tells how hwtrackd identifies a device and which class entry it holds, or\n"
    "would take, and why. DEVICE is a devpath (/devices/...), a device node\n"
    "(/dev/ttyUSB0) or a network interface (eth0). --all: every device the\n"
    "daemon's start-up scans consider, refused ones too. --json: one JSON\n"
    "object a device. Reads SYSFS_PATH and RDB_DEVICE as hwtrackd does; never\n"
    "writes the RDB, never runs the class script.\n";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// --- what the daemon's code says while it works --------------------------------

std::vector<std::string> captured_lines;
std::vector<std::string> script_calls;
int daemon_records = 0;

void capture_log(int, const char *line) { captured_lines.emplace_back(line); }

// The class script's command line, kept instead of run: the script would
// have exited with 0.
int keep_script_call(const char *cmdline) {
  script_calls.emplace_back(cmdline);
  return 0;
}

// --- the class table as the RDB holds it -----------------------------------------

std::string class_name(const hwcls *cls) { return std::string(kHwclsRdbPrefix) + hwcls_rdb_name(cls); }

std::string rdb_text(const std::string &name) {
  const char *value = rdb_get_value(name.c_str());
  return value ? value : "";
}

struct held_entry {
  std::string entry;  // sys.hw.class.serial.0
  std::string dev;    // dev.3
};

// What the RDB tells of the running daemon besides its class table.
struct daemon_view {
  // The entries held, by the devpath of the device record holding them.
  std::map<std::string, held_entry> held;
  // Entries without a status: the RDB lost its volatile variables (rdbd
  // restarted) or the daemon never ran with it, so whether a device holds
  // them cannot be told.
  std::set<std::string> without_status;
  int records_in_use = 0;
};

int count_device_record(const char *, int) {
  ++daemon_records;
  return 0;
}

// The stored entries come back "removed", as at start-up; the daemon's
// status is the one in the RDB, and a device that matches an inserted entry
// takes it over (the duplicate case).
daemon_view restore_class_states() {
  daemon_view view;
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls)) {
    const std::string entry = class_name(cls);
    if (!rdb_get_value((entry + ".status").c_str())) view.without_status.insert(entry);
    if (rdb_text(entry + ".status") != "inserted") continue;
    cls->status = HWCLS_STATUS_INSERTED;
    const std::string dev = rdb_text(entry + ".dev");
    const std::string devpath = dev.empty() ? "" : rdb_text("sys.hw." + dev + ".devpath");
    if (!devpath.empty()) view.held[devpath] = {entry, dev};
  }
  daemon_records = 0;
  rdb_regex_enum(kHwdevRdbPrefix, "^sys\\.hw\\.dev\\.[0-9]\\+\\.devpath$", count_device_record, 0);
  view.records_in_use = daemon_records;
  return view;
}

// Takes records from the pool until as many are in use as the daemon uses,
// so that a device meets a pool as full as the daemon's.
void hold_records_like_the_daemon(int in_use) {
  int used = 0;
  for (const hwdev *hd = hwdev_first_in_use(); hd; hd = hwdev_next_in_use(hd)) ++used;
  for (; used < in_use && hwdev_get(); ++used) {
  }
}

struct class_state {
  int status;
  int index;
  std::string entry;
};

std::map<const hwcls *, class_state> snapshot_classes() {
  std::map<const hwcls *, class_state> states;
  hwcls *cls = nullptr;
  for (int more = hwcls_first(&cls); more == 0 && cls; more = hwcls_next(&cls))
    states[cls] = {cls->status, cls->index, class_name(cls)};
  return states;
}

// --- one device --------------------------------------------------------------------

struct path_step {
  std::string role, devpath, subsystem, driver;
};

struct explanation {
  std::string input;
  std::string devpath;
  subsystem_code code = SUBSYSTEM_UNKNOWN;
  std::vector<path_step> path;
  std::string kind, why;
  // The board setting that refused the device ("sys.hw.cfg.internal_usb_bus=\"2\"").
  std::string setting;
  std::string type, name, id, location, driver, mac;  // all but a refused device's
  // held: the daemon tracks it; new, takes: the entry an add now would
  // give it; refused: not tracked; waits: for a free device record;
  // unknown: no RDB to tell, or no status of the entry it matches.
  std::string verdict;
  bool identified() const { return verdict != "refused" && verdict != "waits"; }
  std::string entry, rule, dev, was;
  int index = -1;
  // The index is the lowest the daemon may give: it never gives an index
  // twice within a run, and an entry that left its type (a mode switch) may
  // have taken higher ones than the RDB shows.
  bool index_or_above = false;
  bool entry_inserted = false;  // taken from a device whose remove was never seen
  std::vector<std::string> script, log;
};

const char *rule_text(hwcls_match rule) {
  switch (rule) {
    case hwcls_match::none: return "new entry";
    case hwcls_match::identity_and_location: return "identity and location";
    case hwcls_match::unique_identity: return "unique identity";
    case hwcls_match::location: return "location";
  }
  return "";
}

void record_path(explanation &e, const hwtrack_identify_trace &trace) {
  for (int i = 0; i < trace.count; ++i) {
    const sysfs_device *dev = trace.consulted[i].dev;
    e.path.push_back({trace.consulted[i].role, dev->devpath.c_str(), dev->subsystem.c_str(), dev->driver.c_str()});
  }
  e.kind = trace.kind ? trace.kind : "";
  e.why = trace.why;
  e.setting = trace.setting;
  for (int i = 0; i < trace.line_count; ++i) e.log.emplace_back(trace.lines[i]);
}

void record_identity(explanation &e, const hwdev *hd) {
  e.type = hwdev_type_name(hd->type);
  e.name = hd->name.c_str();
  e.id = hd->id.c_str();
  e.location = hd->loc.c_str();
  e.driver = hd->driver.c_str();
  e.mac = hd->mac.c_str();
}

// Adds the device as the daemon's add event would, on the tables in memory,
// and records what that did.
explanation explain(subsystem_code code, const std::string &devpath, bool rdb_open, const daemon_view &daemon) {
  explanation e;
  e.devpath = devpath;
  e.code = code;
  const auto before = snapshot_classes();
  hwtrack_identify_trace trace;
  captured_lines.clear();
  script_calls.clear();
  hwtrack_trace_identification(&trace);
  (void)hwdev_pool_ran_out();
  const int added = hwtrack_add_new_hwdev(code, devpath.c_str());
  const bool pool_full = hwdev_pool_ran_out();
  hwtrack_trace_identification(nullptr);
  record_path(e, trace);

  const hwdev *hd = added == 0 ? hwdev_find_by_devpath(devpath.c_str()) : nullptr;
  if (!hd || !hd->cls) {
    // A full pool refuses before identification; its lines are not the
    // identification's.
    if (e.log.empty())
      for (const std::string &line : captured_lines) e.log.push_back(line);
    e.verdict = pool_full ? "waits" : "refused";
    return e;
  }
  record_identity(e, hd);
  if (!rdb_open) {
    e.verdict = "unknown";
    return e;
  }
  const hwcls *cls = hd->cls;
  const hwcls_match rule = hwcls_last_match();
  if (const auto it = daemon.held.find(devpath); it != daemon.held.end()) {
    e.verdict = "held";
    e.entry = it->second.entry;
    e.dev = it->second.dev;
    // The rule that matches it to that entry now.
    if (class_name(cls) == e.entry) e.rule = rule_text(rule);
    return e;
  }
  e.entry = class_name(cls);
  e.index = cls->index;
  e.rule = rule_text(rule);
  e.script = script_calls;
  const auto was = before.find(cls);
  if (rule == hwcls_match::none || was == before.end()) {
    e.verdict = "new";
    e.index_or_above = true;
  } else {
    e.verdict = daemon.without_status.contains(was->second.entry) ? "unknown" : "takes";
    e.entry_inserted = was->second.status == HWCLS_STATUS_INSERTED;
    if (was->second.entry != e.entry) e.was = was->second.entry;
    e.index_or_above = was->second.index != e.index;  // a new index in its new type
  }
  // Its name is not known for certain: none is named.
  if (e.index_or_above) {
    e.entry.clear();
    e.script.clear();
  }
  return e;
}

// --- which device ------------------------------------------------------------------

// The devpath behind a link below the sysfs root ("/class/tty/ttyS0"), or "".
std::string resolve_link(const std::string &link) {
  char path[hw::kPathSize];
  snprintf(path, sizeof path, "%s", link.c_str());
  return sysfs_resolve_link(path, sizeof path) == 0 ? std::string(path) : std::string();
}

std::string resolve_class_link(const char *subsystem, std::string name) {
  std::replace(name.begin(), name.end(), '/', '!');  // "/dev/disk/a" is "disk!a" in sysfs
  return resolve_link("/class/" + std::string(subsystem) + "/" + name);
}

// The devpath a user names: a devpath (below the sysfs root, or with it), a
// class folder's entry, a device node or a network interface. "" when no
// device answers.
std::string devpath_of(const std::string &input) {
  const std::string root = sysfs_path();
  if (input.starts_with("/dev/")) {
    for (const char *subsystem : {"tty", "block"})
      if (std::string devpath = resolve_class_link(subsystem, input.substr(5)); !devpath.empty()) return devpath;
    return "";
  }
  if (input.starts_with("/")) {
    std::string devpath = !root.empty() && input.starts_with(root + "/") ? input.substr(root.size()) : input;
    if (devpath.starts_with("/class/")) return resolve_link(devpath);
    return sysfs_device_get(devpath.c_str()) ? devpath : "";
  }
  for (const char *subsystem : {"net", "tty", "block"})
    if (std::string devpath = resolve_class_link(subsystem, input); !devpath.empty()) return devpath;
  return "";
}

subsystem_code code_of(const std::string &devpath) {
  const sysfs_device *dev = sysfs_device_get(devpath.c_str());
  return dev ? get_subsystem_code(dev->subsystem.c_str()) : SUBSYSTEM_UNKNOWN;
}

struct target {
  subsystem_code code;
  std::string devpath;
  std::string input;
};

void collect_scanned(subsystem_code code, const char *devpath, void *targets) {
  static_cast<std::vector<target> *>(targets)->push_back({code, devpath, devpath});
}

// --- output ------------------------------------------------------------------------

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string json_list(const std::vector<std::string> &items) {
  std::string out = "[";
  for (const std::string &item : items) {
    // Appended piece by piece: GCC 12 at -O3 takes prepending to the
    // temporary ("," + text) for an overlapping copy (-Wrestrict).
    if (out.size() > 1) out += ',';
    out += json_string(item);
  }
  return out + "]";
}

void print_json(const explanation &e) {
  std::string out = "{\"input\":" + json_string(e.input) + ",\"devpath\":" + json_string(e.devpath) +
                    ",\"subsystem\":" + json_string(subsystem_names[e.code]) + ",\"path\":[";
  for (size_t i = 0; i < e.path.size(); ++i) {
    const path_step &p = e.path[i];
    out += std::string(i ? "," : "") + "{\"role\":" + json_string(p.role) + ",\"devpath\":" + json_string(p.devpath) +
           ",\"subsystem\":" + json_string(p.subsystem) + ",\"driver\":" + json_string(p.driver) + "}";
  }
  out +=
      "],\"kind\":" + json_string(e.kind) + ",\"why\":" + json_string(e.why) + ",\"verdict\":" + json_string(e.verdict);
  if (!e.setting.empty()) out += ",\"refused_by\":" + json_string(e.setting);
  if (e.identified()) {
    out += ",\"type\":" + json_string(e.type) + ",\"name\":" + json_string(e.name) + ",\"id\":" + json_string(e.id) +
           ",\"location\":" + json_string(e.location) + ",\"driver\":" + json_string(e.driver) +
           ",\"mac\":" + json_string(e.mac);
  }
  if (!e.entry.empty()) out += ",\"entry\":" + json_string(e.entry);
  if (!e.dev.empty()) out += ",\"dev\":" + json_string(e.dev);
  if (e.index >= 0) out += ",\"index\":" + std::to_string(e.index);
  if (e.index_or_above) out += ",\"index_or_above\":true";
  if (!e.rule.empty()) out += ",\"rule\":" + json_string(e.rule);
  if (e.verdict == "takes") out += std::string(",\"entry_inserted\":") + (e.entry_inserted ? "true" : "false");
  if (!e.was.empty()) out += ",\"was\":" + json_string(e.was);
  if (!e.script.empty()) out += ",\"script\":" + json_list(e.script);
  out += ",\"log\":" + json_list(e.log) + "}";
  puts(out.c_str());
}

void print_line(const char *label, const std::string &text) { printf("  %-17s %s\n", label, text.c_str()); }

std::string entry_text(const explanation &e) {
  if (e.verdict == "refused") return "none: the device is not tracked";
  if (e.verdict == "waits")
    return "none yet: waits for a free record (all " + std::to_string(kHwdevPoolSize) + " in use)";
  if (e.verdict == "unknown" && e.rule.empty()) return "unknown: the RDB cannot be read";
  if (e.verdict == "held") {
    const std::string held = e.entry + ", held now (sys.hw." + e.dev + ")";
    return e.rule.empty() ? held : held + " by " + e.rule;
  }
  // The daemon may have given out higher indexes of the type within its run.
  const std::string lowest = std::to_string(e.index) + " or above";
  if (e.verdict == "new") return "would take a new " + e.type + " entry, index " + lowest;
  std::string text = (e.verdict == "unknown" ? "held now, or would take " : "would take ") +
                     (e.entry.empty() ? e.was : e.entry) + " by " + e.rule;
  if (e.verdict == "unknown") text += ": the RDB holds no status for it";
  if (!e.was.empty() && e.entry.empty()) text += " (of another type: as " + e.type + " index " + lowest + ")";
  if (!e.was.empty() && !e.entry.empty()) text += " (now " + e.was + ", of another type)";
  if (e.entry_inserted) text += "; it is inserted now: its device would be reported removed first";
  return text;
}

void print_text(const explanation &e) {
  printf("%s (%s)\n", e.devpath.c_str(), subsystem_names[e.code]);
  for (const path_step &p : e.path) {
    std::string where = p.devpath + " (" + (p.subsystem.empty() ? "no subsystem" : p.subsystem);
    if (!p.driver.empty()) where += ", driver " + p.driver;
    print_line(p.role.c_str(), where + ")");
  }
  print_line("kind", (e.kind.empty() ? std::string("none") : e.kind) + (e.why.empty() ? "" : ": " + e.why));
  if (e.identified()) {
    print_line("type", e.type);
    print_line("name", e.name);
    print_line("id", e.id);
    print_line("location", e.location);
    print_line("driver", e.driver);
    print_line("mac", e.mac);
  }
  if (!e.setting.empty()) print_line("refused by", "the board setting " + e.setting);
  print_line("entry", entry_text(e));
  for (const std::string &call : e.script) print_line("class script", call + " (not run)");
  for (const std::string &line : e.log) print_line("log", line);
}

}  // namespace

int main(int argc, char **argv) {
  bool json = false, all = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--all") {
      all = true;
    } else if (arg.starts_with("-") && arg.size() > 1) {
      fprintf(stderr, "hwtrack-explain: unknown option %s\n%s", argv[i], kUsage);
      return kExitUsage;
    } else {
      inputs.emplace_back(arg);
    }
  }
  if (all == !inputs.empty()) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }

  // Everything the daemon's code logs is captured, the identification's
  // detail included; nothing goes to syslog.
  hwlog_set_sink(capture_log);
  hwlog_set_mask(LOG_UPTO(LOG_DEBUG));
  rdb_set_read_only(true);
  hwtrack_set_script_runner(keep_script_call);
  int status = kExitOk;
  const bool rdb_open = rdb_init() == 0;
  if (!rdb_open) {
    fprintf(stderr, "hwtrack-explain: cannot open the RDB: %s; identification only\n", strerror(errno));
    status = kExitFailed;
  }
  sysfs_init();
  hwdev_init();
  hwcls_init();
  hwtrack_read_settings();
  if (rdb_open) {
    load_hwcls_from_rdb();
    // The entries as the daemon's next start moves them on, when the RDB's
    // were made by earlier rules (in memory only: the RDB refuses writes).
    upgrade_class_identities();
  }
  const daemon_view daemon = rdb_open ? restore_class_states() : daemon_view{};

  std::vector<target> targets;
  if (all) hwtrack_for_each_scanned_device(collect_scanned, &targets);
  for (const std::string &input : inputs) {
    const std::string devpath = devpath_of(input);
    if (devpath.empty()) {
      fprintf(stderr, "hwtrack-explain: no device %s below %s\n", input.c_str(), *sysfs_path() ? sysfs_path() : "/");
      status = kExitFailed;
      continue;
    }
    targets.push_back({code_of(devpath), devpath, input});
  }

  // The devices the daemon holds go first, so that the others meet their
  // entries as the daemon has them.
  std::vector<explanation> explained(targets.size());
  for (const bool tracked : {true, false}) {
    for (size_t i = 0; i < targets.size(); ++i) {
      if (daemon.held.contains(targets[i].devpath) != tracked) continue;
      explained[i] = explain(targets[i].code, targets[i].devpath, rdb_open, daemon);
      explained[i].input = targets[i].input;
    }
    if (tracked) hold_records_like_the_daemon(daemon.records_in_use);
  }
  for (size_t i = 0; i < explained.size(); ++i) {
    if (json) {
      print_json(explained[i]);
    } else {
      if (i) puts("");
      print_text(explained[i]);
    }
  }
  hwcls_fini();
  hwdev_fini();
  sysfs_cleanup();
  rdb_fini();
  return fflush(stdout) == 0 ? status : kExitFailed;
}
