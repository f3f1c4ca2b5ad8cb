// SPDX-License-Identifier: MIT
#include "tools/board/fixture_board.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "tools/board/boards.h"

namespace board {
namespace fs = std::filesystem;

namespace {

// The buses a board's devices hang on; every other subsystem is a class.
// "platform" devices sit in a folder named "platform" without being class
// devices, and mdio_bus is a class (the bus) and a bus (its PHYs and
// switches): a device in a folder named after its subsystem is the class's.
const std::set<std::string, std::less<>> kBuses = {
    "platform", "amba",  "usb",     "usb-serial", "pci",    "pci_express", "pnp",   "acpi", "scsi",
    "mmc",      "sdio",  "serial",  "serial-base", "gadget", "mdio_bus",   "spi",   "i2c",  "virtio",
    "serio",    "hid",   "nvmem",   "mhi",        "wwan",   "soc",        "cpu",   "node", "container",
    "workqueue", "event_source", "clockevents", "clocksource", "memory", "xen", "vmbus", "ulpi",
    "typec",    "wmi",   "mei",     "nd",         "dax",    "auxiliary",  "bcma",  "ssb",  "fsl-mc",
    "host1x",   "gpio",  "iio",     "sdw",        "spmi",   "rpmsg",      "thunderbolt", "cxl", "edac"};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A "#" at the start or after a blank, outside double quotes, starts a comment.
std::string_view without_comment(std::string_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == '#' && !quoted && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
  }
  return line;
}

std::vector<std::string> words(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string kernel_of(const std::string &devpath) { return devpath.substr(devpath.rfind('/') + 1); }

std::string parent_path(const std::string &devpath) {
  const size_t slash = devpath.rfind('/');
  return slash == 0 || slash == std::string::npos ? "" : devpath.substr(0, slash);
}

bool is_bus(const FixtureDevice &dev) {
  if (!kBuses.contains(dev.subsystem)) return false;
  return dev.subsystem == "platform" || kernel_of(parent_path(dev.devpath)) != dev.subsystem;
}

class Reader {
 public:
  Reader(FixtureBoard &board) : board_(board) {}

  void line(std::string_view raw, int number) {
    number_ = number;
    if (notes_open_) {
      const std::string_view t = trim(raw);
      if (t.starts_with("#")) {
        board_.notes.emplace_back(trim(t.substr(1)));
        return;
      }
      notes_open_ = !t.empty() ? false : board_.notes.empty();
    }
    const std::string_view text = trim(without_comment(raw));
    if (text.empty()) return;
    if (text.starts_with("looking at ")) return device(text);
    if (text.starts_with("setting ")) return setting(text);
    if (text.starts_with("expect ")) return expect(text);
    if (text.starts_with("refuse ")) return refuse(text);
    return key(text);
  }

 private:
  [[noreturn]] void fail(const std::string &why) const {
    throw BoardError(board_.file.string() + ":" + std::to_string(number_) + ": " + why);
  }

  void device(std::string_view text) {
    const size_t open = text.find('\''), close = text.rfind('\'');
    if (open == std::string_view::npos || close <= open + 1 || !text.ends_with(":"))
      fail("expected: looking at device '/devices/...':");
    const std::string devpath(text.substr(open + 1, close - open - 1));
    if (!devpath.starts_with("/devices/")) fail("a device's path begins with /devices/: " + devpath);
    const auto it = index_.find(devpath);
    if (it != index_.end()) {
      current_ = it->second;
      return;
    }
    index_[devpath] = current_ = board_.devices.size();
    FixtureDevice dev;
    dev.devpath = devpath;
    dev.line = number_;
    board_.devices.push_back(std::move(dev));
  }

  // KEY=="value", KEY{name}=="value"
  void key(std::string_view text) {
    const size_t eq = text.find("==\"");
    if (eq == std::string_view::npos || !text.ends_with("\"")) fail("not a statement: " + std::string(text));
    if (current_ == kNone) fail("a key before any 'looking at device' line");
    std::string k(text.substr(0, eq));
    const std::string value(text.substr(eq + 3, text.size() - eq - 4));
    FixtureDevice &dev = board_.devices[current_];
    auto set_once = [&](std::string &field, const char *what) {
      if (!field.empty() && field != value) fail(std::string("two ") + what + "s for " + dev.devpath);
      field = value;
    };
    if (k == "KERNEL" || k == "KERNELS") {
      if (value != kernel_of(dev.devpath)) fail("KERNEL " + value + " is not the last part of " + dev.devpath);
    } else if (k == "SUBSYSTEM" || k == "SUBSYSTEMS") {
      set_once(dev.subsystem, "subsystem");
    } else if (k == "DRIVER" || k == "DRIVERS") {
      set_once(dev.driver, "driver");
    } else if (auto brace = k.find('{'); brace != std::string::npos && k.ends_with("}")) {
      const std::string kind = k.substr(0, brace), name = k.substr(brace + 1, k.size() - brace - 2);
      if (name.empty() || name.starts_with("/") || name.find("..") != std::string::npos) fail("bad name " + name);
      if (kind == "ATTR" || kind == "ATTRS")
        dev.attrs.emplace_back(name, value);
      else if (kind == "LINK" && value.starts_with("/"))
        dev.links.emplace_back(name, value);
      else
        fail("unknown key " + k);
    } else {
      fail("unknown key " + k);
    }
  }

  void setting(std::string_view text) {
    const std::vector<std::string> w = words(text);
    if (w.size() < 2 || w.size() > 3) fail("expected: setting NAME [VALUE]");
    std::string value = w.size() == 3 ? w[2] : "";
    if (value == "\"\"") value.clear();
    board_.settings.emplace_back(w[1], value);
  }

  void expect(std::string_view text) {
    const std::vector<std::string> w = words(text);
    if (w.size() != 5 || w[1].find('.') == std::string::npos) fail("expected: expect TYPE.INDEX NAME ID LOCATION");
    board_.expected.push_back({w[1], w[2], w[3], w[4], number_});
  }

  void refuse(std::string_view text) {
    const std::vector<std::string> w = words(text);
    if (w.size() != 3) fail("expected: refuse NAME REASON");
    board_.refused.push_back({w[1], w[2], number_});
  }

  static constexpr size_t kNone = ~size_t{0};
  FixtureBoard &board_;
  std::map<std::string, size_t> index_;
  size_t current_ = kNone;
  int number_ = 0;
  bool notes_open_ = true;
};

std::string uevent_of(const FixtureDevice &dev, bool partition) {
  const std::string kernel = kernel_of(dev.devpath);
  if (dev.subsystem == "net") return "INTERFACE=" + kernel + "\n";
  if (dev.subsystem == "tty") return "DEVNAME=" + kernel + "\n";
  if (dev.subsystem == "block") return "DEVNAME=" + kernel + "\nDEVTYPE=" + (partition ? "partition" : "disk") + "\n";
  return dev.driver.empty() ? "" : "DRIVER=" + dev.driver + "\n";
}

bool has_attr(const FixtureDevice &dev, const std::string &name) {
  return std::ranges::any_of(dev.attrs, [&](const auto &a) { return a.first == name; });
}

std::string type_of(const std::string &entry) { return entry.substr(0, entry.find('.')); }
std::string index_of(const std::string &entry) { return entry.substr(entry.find('.') + 1); }

std::string describe(const ExpectedEntry &e) { return e.entry + " " + e.id + " " + e.location; }
std::string describe(const ActualEntry &a) { return a.entry + " " + a.id + " " + a.location; }

bool matches(const std::string &pattern, const std::string &name) {
  return pattern.ends_with("*") ? name.starts_with(pattern.substr(0, pattern.size() - 1)) : pattern == name;
}

}  // namespace

const ExpectedEntry *FixtureBoard::expectation_for(const std::string &device) const {
  const auto it = std::ranges::find(expected, device, &ExpectedEntry::name);
  return it == expected.end() ? nullptr : &*it;
}

const ExpectedRefusal *FixtureBoard::refusal_for(const std::string &device) const {
  for (const bool exact : {true, false})
    for (const ExpectedRefusal &r : refused)
      if (r.name.ends_with("*") != exact && matches(r.name, device)) return &r;
  return nullptr;
}

FixtureBoard read_fixture_board(const fs::path &file) {
  FixtureBoard board;
  board.file = file;
  board.name = file.stem().string();
  std::ifstream in(file);
  if (!in) throw BoardError("cannot read " + file.string());
  Reader reader(board);
  int number = 0;
  for (std::string line; std::getline(in, line);) reader.line(line, ++number);
  return board;
}

std::vector<fs::path> fixture_board_files(const fs::path &dir) {
  std::vector<fs::path> out;
  for (const auto &entry : fs::directory_iterator(dir))
    if (entry.path().extension() == ".board") out.push_back(entry.path());
  std::ranges::sort(out);
  return out;
}

void lay_out_fixture(const FixtureBoard &board, SysfsTree &tree) {
  std::map<std::string, const FixtureDevice *> by_path;
  for (const FixtureDevice &dev : board.devices) by_path[dev.devpath] = &dev;
  // The device a class device hangs from: the nearest one above it, past the
  // folder named after its class that old walks list as a device ("tty").
  auto declared_parent = [&](const FixtureDevice &dev) -> const FixtureDevice * {
    for (std::string p = parent_path(dev.devpath); !p.empty(); p = parent_path(p))
      if (const auto it = by_path.find(p); it != by_path.end() && kernel_of(p) != dev.subsystem) return it->second;
    return nullptr;
  };

  for (const FixtureDevice &dev : board.devices) tree.dir(dev.devpath);
  for (const FixtureDevice &dev : board.devices) {
    const Device d{dev.devpath};
    const std::string kernel = kernel_of(dev.devpath);
    bool partition = false;
    if (!dev.subsystem.empty() && is_bus(dev)) {
      tree.dir("/bus/" + dev.subsystem + "/drivers");
      tree.link(dev.devpath + "/subsystem", "/bus/" + dev.subsystem);
      tree.link("/bus/" + dev.subsystem + "/devices/" + kernel, dev.devpath);
      tree.bind_driver(d, dev.subsystem, dev.driver);
    } else if (!dev.subsystem.empty()) {
      tree.dir("/class/" + dev.subsystem);
      tree.link(dev.devpath + "/subsystem", "/class/" + dev.subsystem);
      tree.link("/class/" + dev.subsystem + "/" + kernel, dev.devpath);
      const FixtureDevice *parent = declared_parent(dev);
      partition = dev.subsystem == "block" && parent && parent->subsystem == "block";
      if (dev.subsystem == "block" && !partition) tree.link("/block/" + kernel, dev.devpath);
      const bool has_device_link = std::ranges::any_of(dev.links, [](const auto &l) { return l.first == "device"; });
      if (parent && !partition && !dev.devpath.starts_with("/devices/virtual/") && !has_device_link)
        tree.link(dev.devpath + "/device", parent->devpath);
    }
    for (const auto &[name, value] : dev.attrs) tree.attr(d, name, value);
    if (!has_attr(dev, "uevent")) tree.raw_attr(d, "uevent", uevent_of(dev, partition));
    for (const auto &[name, target] : dev.links) {
      tree.dir(target);
      tree.link(dev.devpath + "/" + name, target);
    }
  }
}

std::string class_device_name(const std::string &devpath, const std::string &cls) {
  std::string kernel = kernel_of(devpath);
  std::ranges::replace(kernel, '!', '/');
  return cls == "net" ? kernel : "/dev/" + kernel;
}

bool in_platform_scan(const SysfsTree &tree, const std::string &devpath) {
  std::error_code ec;
  fs::path phys = fs::canonical(tree.path_of(devpath) / "device", ec);
  auto subsystem = [&](const fs::path &dev) { return fs::read_symlink(dev / "subsystem", ec).filename().string(); };
  while (!ec && subsystem(phys) == "serial-base") phys = phys.parent_path();
  return !ec && subsystem(phys) == "platform";
}

std::vector<std::string> untracked_devices(const SysfsTree &tree, const std::vector<ActualEntry> &actual) {
  std::vector<std::string> out;
  for (const char *cls : {"tty", "net", "block"})
    for (const std::string &link : tree.class_entries(cls))
      if (const std::string name = class_device_name(link, cls); std::ranges::none_of(actual, [&](const auto &a) {
            return a.name == name;
          }))
        out.push_back(name);
  return out;
}

std::vector<std::string> compare_fixture(const FixtureBoard &board, const std::vector<ActualEntry> &actual,
                                         const std::vector<std::string> &untracked) {
  std::vector<std::string> out;
  auto note = [&](int line, const std::string &what) {
    out.push_back(board.name + ".board:" + std::to_string(line) + ": " + what);
  };
  std::map<std::string, const ActualEntry *> by_name;
  for (const ActualEntry &a : actual) by_name[a.name] = &a;

  for (const ExpectedEntry &e : board.expected) {
    const auto it = by_name.find(e.name);
    if (it == by_name.end())
      note(e.line, e.name + ": expected " + describe(e) + ", not tracked");
    else if (type_of(it->second->entry) != type_of(e.entry) || it->second->id != e.id ||
             it->second->location != e.location)
      note(e.line, e.name + ": expected " + describe(e) + ", got " + describe(*it->second));
  }
  for (const ActualEntry &a : actual) {
    if (board.expectation_for(a.name)) continue;
    const ExpectedRefusal *r = board.refusal_for(a.name);
    note(r ? r->line : 0,
         a.name + ": tracked as " + describe(a) + (r ? ", expected refused (" + r->reason + ")" : ", not on the board"));
  }
  for (const std::string &name : untracked)
    if (!board.expectation_for(name) && !board.refusal_for(name))
      note(0, name + ": untracked, and the board neither expects nor refuses it");

  // Indexes: per type and scan, the same set as expected.
  std::map<std::pair<std::string, int>, std::pair<std::multiset<std::string>, std::multiset<std::string>>> indexes;
  for (const ActualEntry &a : actual) {
    const ExpectedEntry *e = board.expectation_for(a.name);
    if (!e || type_of(e->entry) != type_of(a.entry)) continue;
    auto &[want, got] = indexes[{type_of(a.entry), a.scan}];
    want.insert(index_of(e->entry));
    got.insert(index_of(a.entry));
  }
  for (const auto &[key, sets] : indexes) {
    if (sets.first == sets.second) continue;
    auto list = [](const std::multiset<std::string> &s) {
      std::string text;
      for (const std::string &i : s) text += (text.empty() ? "" : ",") + i;
      return text;
    };
    note(0, key.first + " indexes of the " + (key.second == 0 ? "platform" : "second") + " scan: expected " +
             list(sets.first) + ", got " + list(sets.second));
  }
  return out;
}

std::string fixture_report(const FixtureBoard &board, const std::vector<ActualEntry> &actual,
                           const std::vector<std::string> &untracked) {
  // name -> expected, actual, and whether they differ in more than the index
  struct row {
    std::string expected, actual;
    bool differs = true;
  };
  std::map<std::string, row> rows;
  for (const ExpectedEntry &e : board.expected) rows[e.name].expected = describe(e);
  for (const ActualEntry &a : actual) {
    row &r = rows[a.name];
    r.actual = describe(a);
    const ExpectedEntry *e = board.expectation_for(a.name);
    r.differs = !e || type_of(e->entry) != type_of(a.entry) || e->id != a.id || e->location != a.location;
  }
  for (const std::string &name : untracked) {
    row &r = rows[name];
    r.actual = "untracked";
    r.differs = board.expectation_for(name) || !board.refusal_for(name);
  }
  for (auto &[name, r] : rows)
    if (r.expected.empty())
      if (const ExpectedRefusal *refusal = board.refusal_for(name)) r.expected = "refused (" + refusal->reason + ")";
  std::ostringstream out;
  out << "board " << board.name << "\n";
  for (const std::string &note : board.notes) out << "  # " << note << "\n";
  for (const auto &[name, r] : rows)
    out << (r.differs ? "  ! " : "    ") << name << ": expected " << (r.expected.empty() ? "-" : r.expected)
        << " | actual " << (r.actual.empty() ? "-" : r.actual) << "\n";
  return out.str();
}

}  // namespace board
