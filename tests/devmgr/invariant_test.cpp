// SPDX-License-Identifier: MIT
// One entry, one device: one check of the RDB and the tables after every
// step of scripted and random sequences on the gateway board, laid out as an
// old kernel and as 6.6 does. HWTRACK_SEQUENCE_SEED replays a failing seed.
#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "core/identify.h"
#include "core/startup.h"
#include "core/uevent_private.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "tests/devmgr/devmgr_fixture.h"
#include "tools/board/boards.h"

namespace board {
// Parameterised runs print as the layout they lay out.
void PrintTo(Kernel kernel, std::ostream *os) { *os << kernel_name(kernel); }
}  // namespace board

namespace devmgr_test {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<board::Uevent>;

class Sequence : public DevmgrTest, public ::testing::WithParamInterface<board::Kernel> {
 public:
  Sequence() : gw(board::Board::lay_out(sys, "gateway", GetParam())) { restart(); }
  ~Sequence() override { fclose(devnull); }

  // The daemon's start-up on the RDB as it is: devices keep their entries.
  void restart() {
    const auto before = holders();
    hwcls_fini(), hwdev_fini(), hwdev_init(), hwcls_init();
    delete_hwdev_rdbs(), build_hwcls_from_rdb(), next_event();
    upgrade_class_identities();
    build_hwdev_from_sysfs("platform", 0), build_legacy_devices(), build_hwdev_from_sysfs("platform", 1);
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

  void check(const std::string &step) {
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
    // Each device the rules track is on an entry: its own, or one of a present device of its identity;
    // no two present devices share an identity.
    std::set<std::pair<std::string, std::string>> tracked_identities;
    for (const subsystem_code code : {SUBSYSTEM_TTY, SUBSYSTEM_NET, SUBSYSTEM_BLOCK}) {
      for (const std::string &link : sys.class_entries(subsystem_names[code])) {
        hwdev *probe = hwdev_get();
        next_event();
        const bool tracked = hwtrack_identify(code, probe, real(link).c_str()) == 0;
        EXPECT_TRUE(!tracked || identities.contains({probe->id.c_str(), probe->loc.c_str()})) << link;
        EXPECT_TRUE(!tracked || tracked_identities.insert({probe->id.c_str(), probe->loc.c_str()}).second) << link;
        hwdev_put(probe, 0);
      }
    }
    log.clear();
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

}  // namespace
}  // namespace devmgr_test
