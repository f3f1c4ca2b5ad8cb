// SPDX-License-Identifier: MIT
#include "tests/devmgr/devmgr_fixture.h"

#include <cstdlib>
#include <sstream>

#include "core/devmgr.h"
#include "core/script.h"
#include "core/settings.h"
#include "records/hwcls.h"
#include "records/hwdev.h"
#include "sysfs/sysfs.h"

namespace devmgr_test {
namespace {

std::vector<ScriptRun> g_runs;
int g_script_status = 0;
const testsupport::MemoryRdb *g_rdb = nullptr;

std::map<std::string, std::string> strip(const std::map<std::string, std::string> &vars, size_t n) {
  std::map<std::string, std::string> out;
  for (const auto &[name, value] : vars) out.emplace(name.substr(n), value);
  return out;
}

int record_script(const char *cmdline) {
  ScriptRun run{cmdline, {}};
  std::istringstream words(cmdline);
  std::string script, prefix;
  words >> script >> prefix;
  if (g_rdb && !prefix.empty()) run.entry = strip(g_rdb->dump(prefix + "."), prefix.size() + 1);
  g_runs.push_back(std::move(run));
  return g_script_status;
}

}  // namespace

DevmgrTest::DevmgrTest() {
  setenv("SYSFS_PATH", sys.root().c_str(), 1);
  sysfs_init();
  hwdev_init();
  hwcls_init();
  g_runs.clear();
  g_script_status = 0;
  g_rdb = &rdb;
  hwtrack_set_script_runner(record_script);
  rdb.put(kScriptVar, kScript, true);
  hwtrack_read_settings();  // the defaults: a setting a test made is gone with its RDB
  rdb.clear_ops();
}

DevmgrTest::~DevmgrTest() {
  hwtrack_set_script_runner(nullptr);
  g_rdb = nullptr;
  hwcls_fini();
  hwdev_fini();
  sysfs_cleanup();
  unsetenv("SYSFS_PATH");
}

void DevmgrTest::next_event() {
  sysfs_cleanup();
  sysfs_init();
}

int DevmgrTest::add(subsystem_code code, const std::string &devpath) {
  next_event();
  return hwtrack_add_new_hwdev(code, devpath.c_str());
}

int DevmgrTest::add(subsystem_code code, const board::Device &dev) { return add(code, dev.devpath); }

int DevmgrTest::remove(const board::Device &dev) {
  next_event();
  return hwtrack_remove_hwdev(SUBSYSTEM_UNKNOWN, dev.devpath.c_str());
}

const std::vector<ScriptRun> &DevmgrTest::script_runs() { return g_runs; }

std::vector<std::string> DevmgrTest::script_args() {
  std::vector<std::string> out;
  const std::string lead = std::string(kScript) + " ";
  for (const ScriptRun &run : g_runs)
    out.push_back(run.cmdline.starts_with(lead) ? run.cmdline.substr(lead.size()) : run.cmdline);
  return out;
}

void DevmgrTest::clear_script_runs() { g_runs.clear(); }

void DevmgrTest::set_script_status(int status) { g_script_status = status; }

std::vector<Message> DevmgrTest::messages() const {
  std::vector<Message> out;
  for (const auto &line : log.lines())
    out.emplace_back(line.priority, std::string(testsupport::LogCapture::strip_prefix(line.text)));
  return out;
}

std::vector<std::string> DevmgrTest::messages_at(int level) const {
  std::vector<std::string> out;
  for (const auto &[priority, text] : messages())
    if (priority == level) out.push_back(text);
  return out;
}

bool DevmgrTest::logged(int level, const std::string &text) const {
  for (const auto &[priority, message] : messages())
    if (priority == level && message == text) return true;
  return false;
}

std::vector<std::string> DevmgrTest::sources_of(const std::string &message) const {
  std::vector<std::string> out;
  for (const auto &line : log.lines()) {
    if (testsupport::LogCapture::strip_prefix(line.text) != message) continue;
    const std::string &text = line.text;
    const size_t end = text.rfind(':', text.find("> "));
    out.push_back(text.substr(1, end - 1));
  }
  return out;
}

std::map<std::string, std::string> DevmgrTest::vars(const std::string &prefix) const {
  return strip(rdb.dump(prefix), prefix.size());
}

board::Device DevmgrTest::soc() { return sys.platform_device("soc"); }

board::Device DevmgrTest::uart(const std::string &name) { return sys.platform_device(name, "imx-uart", soc()); }

board::Device DevmgrTest::platform_eth(const std::string &name) { return sys.platform_device(name, "fec", soc()); }

board::Device DevmgrTest::usb_bus(int busnum) {
  const std::string controller = "2184" + std::to_string(busnum) + "00.usb";
  return sys.usb_host(sys.platform_device(controller, "ci_hdrc", soc()), busnum);
}

board::Device DevmgrTest::hub() { return sys.usb_hub(usb_bus(1), 1); }

board::Device DevmgrTest::usb_serial_adapter(int port, const board::UsbIds &ids, const std::string &tty) {
  const board::Device dev = sys.usb_device(hub(), port, ids);
  return sys.usb_serial_port(sys.usb_interface(dev, 0, "ftdi_sio"), tty);
}

board::Device DevmgrTest::usb_stick(int port, const std::string &serial, const std::string &disk) {
  board::UsbIds ids{.vendor = "0781", .product = "5567", .serial = serial};
  const board::Device stick = sys.usb_interface(sys.usb_device(usb_bus(1), port, ids), 0, "usb-storage", "08");
  return sys.scsi_disk(stick, disk, port);
}

board::Device DevmgrTest::sd_host() {
  return sys.mmc_host(sys.platform_device("2190000.mmc", "sdhci-esdhc-imx", soc()), 0);
}

}  // namespace devmgr_test
