// SPDX-License-Identifier: MIT
// One entry, one device: one check of the RDB and the tables after every
// step of scripted and random sequences on the gateway board, laid out as an
// old kernel and as 6.6 does, and after the start-up on every fixture board
// of real hardware, whose class table must then be the one the board
// expects. HWTRACK_SEQUENCE_SEED replays a failing seed;
// HWTRACK_BOARD_REPORT=1 prints each board's expected and actual tables.
#include <iostream>
#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "core/identify.h"
#include "core/settings.h"
#include "core/startup.h"
#include "core/uevent_private.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "tests/devmgr/devmgr_fixture.h"
#include "tools/board/boards.h"
#include "tools/board/fixture_board.h"

namespace board {
// Parameterised runs print as the layout they lay out.
void PrintTo(Kernel kernel, std::ostream *os) { *os << kernel_name(kernel); }
}  // namespace board

namespace devmgr_test {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<board::Uevent>;

// The one-entry-one-device check over whatever board a test lays out in sys.
class OneEntryOneDevice : public DevmgrTest {
 public:
  // The daemon's start-up on the RDB as it is, with the board settings it holds.
  void start_up() {
    hwtrack_read_settings();
    hwcls_fini(), hwdev_fini(), hwdev_init(), hwcls_init();
    delete_hwdev_rdbs(), build_hwcls_from_rdb(), next_event();
    upgrade_class_identities();
    build_hwdev_from_sysfs("platform", 0), build_legacy_devices(), build_hwdev_from_sysfs("platform", 1);
  }

  std::string real(const std::string &link) const {
    return "/" + fs::canonical(sys.path_of(link)).lexically_relative(fs::canonical(sys.root())).string();
  }
  bool present(const std::string &dev) const {
    return fs::exists(sys.path_of(rdb.get("sys.hw." + dev + ".devpath").value_or("")));
  }

  // Devpath of a present device -> the "dev" variable of the entry holding it.
  std::map<std::string, std::string> holders() const {
    std::map<std::string, std::string> out;
    for (const auto &[name, dev] : rdb.dump("sys.hw.class."))
      if (name.ends_with(".dev") && !dev.empty() && present(dev)) out[*rdb.get("sys.hw." + dev + ".devpath")] = name;
    return out;
  }

  // No entry held twice, RDB and table alike; no two present devices of one
  // identity; each device the rules track is on an entry: its own, or one of
  // a present device of its identity. Returns the devices of each identity.
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> check(const std::string &step) {
    SCOPED_TRACE("after " + step);
    std::set<std::string> held, in_rdb, in_table;
    std::set<std::pair<std::string, std::string>> identities;  // held for present devices
    for (const auto &[name, status] : rdb.dump("sys.hw.class.")) {
      if (!name.ends_with(".status")) continue;
      const std::string entry = name.substr(0, name.size() - 6), dev = rdb.get(entry + "dev").value_or("?");
      in_rdb.insert(entry.substr(13, entry.size() - 14));
      EXPECT_TRUE(status != "removed" || dev.empty()) << entry;
      if (status == "removed") continue;
      EXPECT_TRUE(held.insert(dev).second) << entry << " holds " << dev << ", another entry too";
      EXPECT_EQ(rdb.get("sys.hw." + dev + ".name"), rdb.get(entry + "name")) << entry;
      if (present(dev)) identities.insert({*rdb.get(entry + "id"), *rdb.get(entry + "location")});
    }
    hwcls *cls = nullptr;
    for (int r = hwcls_first(&cls); r == 0; r = hwcls_next(&cls)) {
      EXPECT_TRUE(in_table.insert(hwcls_rdb_name(cls)).second) << "two entries write " << hwcls_rdb_name(cls);
      EXPECT_TRUE(!cls->status || (cls->hd && cls->hd->cls == cls)) << hwcls_rdb_name(cls);
    }
    EXPECT_EQ(in_rdb, in_table);  // no variables left under a name no entry has
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> devices_of;
    for (const subsystem_code code : {SUBSYSTEM_TTY, SUBSYSTEM_NET, SUBSYSTEM_BLOCK}) {
      for (const std::string &link : sys.class_entries(subsystem_names[code])) {
        hwdev *probe = hwdev_get();
        next_event();
        const bool tracked = hwtrack_identify(code, probe, real(link).c_str()) == 0;
        EXPECT_TRUE(!tracked || identities.contains({probe->id.c_str(), probe->loc.c_str()})) << link;
        if (tracked) devices_of[{probe->id.c_str(), probe->loc.c_str()}].push_back(probe->name.c_str());
        hwdev_put(probe, 0);
      }
    }
    log.clear();
    return devices_of;
  }
};

class Sequence : public OneEntryOneDevice, public ::testing::WithParamInterface<board::Kernel> {
 public:
  Sequence() : gw(board::Board::lay_out(sys, "gateway", GetParam())) { restart(); }
  ~Sequence() override { fclose(devnull); }

  // The daemon's start-up on the RDB as it is: devices keep their entries,
  // and each entry inserted before and not now hears "removed" once, by the
  // name it had.
  void restart() {
    const auto before = holders();
    const auto stored = rdb.dump("sys.hw.class.");
    start_up();
    std::multiset<std::string> departed, reported;
    for (const auto &[name, status] : stored) {
      std::string entry = name.substr(0, name.size() - 7), type_index = entry.substr(13);
      std::replace(type_index.begin(), type_index.end(), '.', ' ');
      if (name.ends_with(".status") && status == "inserted" && rdb.get(name) == "removed")
        departed.insert(entry + " " + type_index + " removed " + stored.at(entry + ".name"));
    }
    clear_script_runs(), report_departed_entries();
    for (ScriptRun run : script_runs())
      reported.insert(run.cmdline.substr(run.cmdline.find(' ') + 1) + " " + run.entry["name"]);
    EXPECT_EQ(reported, departed) << "restart";
    EXPECT_EQ(before.empty() ? before : holders(), before) << "restart";
  }

  void deliver(const Events &events) {
    hwtrack_set_event_stream(devnull);
    for (const board::Uevent &e : events) {
      next_event();
      hwtrack_handle_message("UEVENT", "0", e.datagram().data(), e.datagram().size());
    }
    hwtrack_set_event_stream(nullptr);
  }

  // Lost removes of the devpaths a plug brings back go first: the kernel sent them before.
  Events plug(const std::string &device, const std::string &port) {
    const Events adds = gw.plug(device, port);
    const auto due = std::stable_partition(late.begin(), late.end(), [&](const board::Uevent &r) {
      return std::none_of(adds.begin(), adds.end(), [&](const auto &a) { return a.devpath == r.devpath; });
    });
    deliver({due, late.end()});
    late.erase(due, late.end());
    return adds;
  }

  // Removes the daemon does not get now: they come with the next plug of their devpaths, or late.
  void lose(const Events &removes) { late.insert(late.end(), removes.begin(), removes.end()); }

  void check(const std::string &step) {
    for (const auto &[identity, names] : OneEntryOneDevice::check(step))
      EXPECT_EQ(names.size(), 1u) << "after " << step << ": " << identity.first << " at " << identity.second;
  }

  std::string random_step(std::mt19937 &rng) {
    auto pick = [&rng](const auto &from) { return from[rng() % from.size()]; };
    const board::CatalogueEntry d = pick(board::catalogue());
    const std::string &device = d.name;
    const bool in = gw.port_of(device).has_value();
    std::vector<std::string> ports, others;  // free ports and unplugged devices of its kind
    for (const board::Port &p : gw.ports()) if (p.kind == d.kind && !gw.device_on(p.name)) ports.push_back(p.name);
    for (const auto &o : board::catalogue()) if (o.kind == d.kind && !gw.port_of(o.name)) others.push_back(o.name);
    const std::string port = gw.port_of(device).value_or(ports.empty() ? "" : pick(ports));
    switch (rng() % 8) {
      case 0: deliver(in ? gw.unplug(device) : plug(device, port)); return "plug or unplug " + device;
      case 1: if (in) lose(gw.unplug(device)); return device + "'s removes lost";
      case 2: deliver(std::exchange(late, {})); return "the lost removes, late";
      case 3: if (in) deliver(board::subtree_uevents(sys, *gw.top_of(device), "add")); return device + " added twice";
      case 4: {  // gone by the time its adds are handled
        if (in) return "nothing";
        const Events adds = plug(device, port), removes = gw.unplug(device);
        deliver(adds), deliver(removes);
        return device + " vanishing";
      }
      case 5:
        if (gw.mode_of("modem")) deliver(gw.switch_mode("modem", gw.mode_of("modem") == "net" ? "serial" : "net"));
        return "modem mode switch";
      case 6: {
        const std::string from = pick(sys.class_entries("net")), old = real(from);
        Events move = board::subtree_uevents(sys, sys.rename_net({old}, "wan" + std::to_string(renames++)), "move");
        move.front().env.push_back("DEVPATH_OLD=" + old);
        deliver(move);
        return "rename " + from;
      }
      default:  // events lost in an overrun (another device on the port, maybe), then the resync
        if (in) gw.unplug(device);
        if (!in || (rng() % 2 && !others.empty())) plug(in ? pick(others) : device, port);
        hwtrack_resync();
        return "overrun while " + device + (in ? " went" : " came");
    }
  }

  FILE *devnull = fopen("/dev/null", "w");
  board::Board gw;
  Events late;
  int renames = 0;
};

TEST_P(Sequence, ScriptedStepsKeepOneEntryOneDevice) {
  check("start-up");
  deliver(plug("modem", "usb1"));
  lose(gw.unplug("modem"));
  deliver(plug("ftdi", "usb3"));   // takes ttyUSB0
  deliver(plug("modem", "usb1"));  // its ports under other names take their entries over
  deliver(std::exchange(late, {}));
  check("lost removes, the modem back under other names, the late removes");
  deliver(gw.switch_mode("modem", "net"));
  check("modem switched to its network mode");
  gw.unplug("ftdi");
  plug("twin-a", "usb3");  // under the ftdi's devpath; the events lost
  hwtrack_resync();
  check("an overrun while another adapter took the ftdi's place");
  gw.unplug("twin-a");  // while the daemon is stopped
  restart();
  check("restart");
}

TEST_P(Sequence, RandomStepsKeepOneEntryOneDevice) {
  const char *given = getenv("HWTRACK_SEQUENCE_SEED");
  const unsigned seed = given ? static_cast<unsigned>(strtoul(given, nullptr, 10)) : std::random_device{}();
  SCOPED_TRACE("HWTRACK_SEQUENCE_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int n = 0; n < 40 && !HasFailure(); ++n) {
    const std::string step = random_step(rng);
    if (rng() % 8 == 0) restart();
    check(std::to_string(n) + ": " + step);
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Sequence, ::testing::Values(board::Kernel::old, board::Kernel::v6_6),
                         [](const auto &kernel) { return kernel.param == board::Kernel::old ? "old" : "v6_6"; });

class FixtureBoards : public OneEntryOneDevice, public ::testing::WithParamInterface<fs::path> {
 public:
  // The class entries the start-up made.
  std::vector<board::ActualEntry> table() {
    std::vector<board::ActualEntry> actual;
    for (const auto &[name, status] : rdb.dump("sys.hw.class.")) {
      if (!name.ends_with(".status") || status != "inserted") continue;
      const std::string entry = name.substr(0, name.size() - 6);
      const std::string devpath = rdb.get("sys.hw." + rdb.get(entry + "dev").value_or("-") + ".devpath").value_or("");
      actual.push_back({entry.substr(13, entry.size() - 14), rdb.get(entry + "name").value_or(""),
                        rdb.get(entry + "id").value_or(""), rdb.get(entry + "location").value_or(""),
                        board::in_platform_scan(sys, devpath) ? 0 : 1});
    }
    return actual;
  }
};

TEST_P(FixtureBoards, StartUpKeepsOneEntryOneDeviceAndGivesTheExpectedTable) {
  const board::FixtureBoard b = board::read_fixture_board(GetParam());
  for (const char *note : {"source:", "kernel:"})
    EXPECT_TRUE(std::any_of(b.notes.begin(), b.notes.end(), [&](const std::string &n) { return n.starts_with(note); }))
        << b.name << " names no " << note;
  board::lay_out_fixture(b, sys);
  for (const auto &[name, value] : b.settings) rdb.put(name, value, true);
  start_up();

  for (const auto &[identity, names] : check("start-up on " + b.name)) {
    std::string all;
    for (const std::string &name : names) all += " " + name;
    EXPECT_EQ(names.size(), 1u) << b.name << ": one identity " << identity.first << " at " << identity.second << " for" << all;
  }
  const std::vector<board::ActualEntry> actual = table();
  const std::vector<std::string> untracked = board::untracked_devices(sys, actual);
  for (const std::string &failure : board::compare_fixture(b, actual, untracked)) ADD_FAILURE() << failure;
  if (getenv("HWTRACK_BOARD_REPORT") || HasFailure()) std::cout << board::fixture_report(b, actual, untracked);
}

INSTANTIATE_TEST_SUITE_P(Real, FixtureBoards, ::testing::ValuesIn(board::fixture_board_files(HWTRACK_BOARDS_DIR)),
                         [](const auto &file) {
                           std::string name = file.param.stem().string();
                           for (char &c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace devmgr_test
