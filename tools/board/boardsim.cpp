// SPDX-License-Identifier: MIT
// boardsim: a board for hwtrackd without the hardware. Lays out a simulated
// board's sysfs tree, plugs and unplugs its devices as the kernel would
// (changing the tree and sending the uevents to the udev monitor socket),
// shows the RDB's class and device tables, and reads syslog for a private
// /dev/log; `run` puts all of it and the daemon in private namespaces.
// Firmware teams test their class scripts with it.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/log.h"
#include "base/unique_fd.h"
#include "core/uevent.h"
#include "rdb/rdb.h"
#include "tools/board/boards.h"
#include "tools/board/fixture_board.h"
#include "tools/board/session.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: boardsim COMMAND [ARGUMENTS]\n"
    "\n"
    "A simulated board for hwtrackd: lays out the board's sysfs tree, plugs and\n"
    "unplugs its devices as the kernel does (changing the tree and sending the\n"
    "kernel's uevents to the udev monitor socket), and shows what hwtrackd wrote\n"
    "to the RDB. Run hwtrackd with SYSFS_PATH=ROOT to put it on the board.\n"
    "\n"
    "commands:\n"
    "  layout ROOT [--board NAME] [--kernel old|6.6] [--again]\n"
    "                                lay out a board (default: gateway) in ROOT,\n"
    "                                a new or empty directory, as an old kernel\n"
    "                                (default) or kernel 6.6 lays it out; its state\n"
    "                                is kept beside it, in ROOT.board. With --again,\n"
    "                                lay the board in ROOT out anew, with the same\n"
    "                                devices on the same ports (nothing is sent)\n"
    "  fixture ROOT FILE             lay out the devices of a fixture board of real\n"
    "                                hardware (tests/fixtures/boards/*.board) in\n"
    "                                ROOT, a new or empty directory, and print the\n"
    "                                RDB settings the board wants; nothing can be\n"
    "                                plugged on it\n"
    "  list ROOT                     the board's ports and devices, and what is\n"
    "                                plugged where\n"
    "  plug ROOT DEVICE [--port PORT] [--no-send]\n"
    "                                plug a device (on the first free port of its\n"
    "                                kind unless PORT is given) and send its \"add\"\n"
    "                                events, parents first\n"
    "  unplug ROOT DEVICE [--no-send]\n"
    "                                unplug a device and send its \"remove\" events,\n"
    "                                children first\n"
    "  mode ROOT DEVICE MODE [--no-send]\n"
    "                                switch a plugged device to another mode (the\n"
    "                                modem: serial or net) and send the events of\n"
    "                                its leaving the bus and coming back\n"
    "  show [classes|devices]        the RDB's class table and device table, or\n"
    "                                one of them (the RDB named by RDB_DEVICE)\n"
    "  send ACTION DEVPATH SUBSYSTEM [KEY=VALUE...]\n"
    "                                send one event (SEQNUM=1 unless given)\n"
    "  syslog [SOCKET]               bind SOCKET (default /dev/log) and print each\n"
    "                                message received, one line each, until\n"
    "                                SIGINT or SIGTERM\n"
    "  run --script FILE [--board NAME] [--kernel old|6.6] [--debug LEVEL]\n"
    "      [HOOK [ARGUMENT...]]\n"
    "                                in private namespaces: a syslog reader, rdbd,\n"
    "                                the board laid out, hwtrackd on it with FILE\n"
    "                                as its class script (sys.hw.cfg.debug LEVEL,\n"
    "                                default 6); then a shell, or HOOK. The run and\n"
    "                                its folder end with them\n"
    "\n"
    "inside a run ($BOARDSIM_DIR, $BOARDSIM_ROOT set):\n"
    "  daemon start|stop             start hwtrackd (done once it reports\n"
    "                                readiness) or stop it\n"
    "  settle                        wait until hwtrackd has handled every event\n"
    "                                sent before\n"
    "  report                        what changed since the last report: the\n"
    "                                daemon's log, the class table and the class\n"
    "                                script's calls\n"
    "\n"
    "Events go to the abstract socket \"/org/kernel/udev/monitor\", which only a\n"
    "daemon in the same network namespace receives; the daemon accepts them from\n"
    "root only. With --no-send only the tree changes (for devices present before\n"
    "the daemon starts). plug and unplug print the events, one line each, and\n"
    "wait while the daemon's socket holds as many as the kernel queues (a few).\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 usage error\n";

int usage_error(const std::string &why) {
  fprintf(stderr, "boardsim: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

int failure(const std::string &why) {
  fprintf(stderr, "boardsim: %s\n", why.c_str());
  return kExitFailed;
}

// "  name       text..." with the text wrapped below itself at 79 columns.
void print_item(FILE *out, const std::string &name, const std::string &text) {
  constexpr size_t kIndent = 13, kWidth = 79;
  std::string line = "  " + name;
  line.resize(std::max(line.size() + 1, kIndent), ' ');
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    if (line.size() > kIndent && line.size() + word.size() > kWidth) {
      line.pop_back();
      fprintf(out, "%s\n", line.c_str());
      line.assign(kIndent, ' ');
    }
    line += word + " ";
    start = end + 1;
  }
  line.pop_back();
  fprintf(out, "%s\n", line.c_str());
}

void print_boards_and_devices(FILE *out) {
  fputs("boards:\n", out);
  for (const board::BoardInfo &b : board::boards()) print_item(out, b.name, b.description);
  fputs("devices (port kind):\n", out);
  for (const board::CatalogueEntry &d : board::catalogue())
    print_item(out, d.name, "(" + std::string(board::port_kind_name(d.kind)) + ") " + d.description);
}

// --- Command line -------------------------------------------------------------------

struct CommandLine {
  std::vector<std::string> words;  // positional arguments after the command
  std::map<std::string, std::string> options;
  std::string error;
};

// Options that take a value, and flags.
bool takes_value(std::string_view option) { return option == "--board" || option == "--port" || option == "--kernel"; }
bool is_flag(std::string_view option) { return option == "--no-send" || option == "--again"; }

CommandLine parse(const std::vector<std::string> &args, const std::vector<std::string_view> &allowed) {
  CommandLine cl;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (!arg.starts_with("--")) {
      cl.words.push_back(arg);
      continue;
    }
    if (std::find(allowed.begin(), allowed.end(), arg) == allowed.end()) {
      cl.error = "unknown option " + arg;
      return cl;
    }
    if (is_flag(arg)) {
      cl.options[arg] = "";
    } else if (takes_value(arg)) {
      if (i + 1 >= args.size()) {
        cl.error = arg + " needs a value";
        return cl;
      }
      cl.options[arg] = args[++i];
    }
  }
  return cl;
}

// --- Board state --------------------------------------------------------------------

// Serialises boardsim runs on one tree: plug and unplug read, change and
// write the tree and its state.
class RootLock {
 public:
  explicit RootLock(const fs::path &root) : fd_(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_) flock(fd_.get(), LOCK_EX);
  }
  bool held() const { return static_cast<bool>(fd_); }

 private:
  hw::unique_fd fd_;
};

// --- Sending events -----------------------------------------------------------------

enum class SendResult { sent, no_listener, failed };

SendResult send_to_monitor(const std::vector<std::string> &datagrams, std::string &why) {
  hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    why = std::string("socket: ") + strerror(errno);
    return SendResult::failed;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // Abstract name: a NUL, then the name, and the length counts exactly that.
  const size_t name_len = strlen(kMonitorSocketName);
  memcpy(addr.sun_path + 1, kMonitorSocketName, name_len);
  const auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_len);
  for (const std::string &datagram : datagrams) {
    if (sendto(fd.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr *>(&addr), addr_len) >=
        0)
      continue;
    if (errno == ECONNREFUSED || errno == ENOENT) return SendResult::no_listener;
    why = std::string("sendto: ") + strerror(errno);
    return SendResult::failed;
  }
  return SendResult::sent;
}

// Sends the events unless told not to; prints one line per event.
int deliver(const std::vector<board::Uevent> &events, bool send) {
  std::vector<std::string> datagrams;
  for (const board::Uevent &e : events) {
    printf("%-8s %s (%s)\n", e.action.c_str(), e.devpath.c_str(), e.subsystem.c_str());
    datagrams.push_back(e.datagram());
  }
  fflush(stdout);
  if (!send) return kExitOk;
  std::string why;
  switch (send_to_monitor(datagrams, why)) {
    case SendResult::sent: return kExitOk;
    case SendResult::no_listener:
      // The tree has changed either way; a daemon started later finds it so.
      fputs("boardsim: no daemon listens on the udev monitor socket in this network namespace; "
            "the tree changed, the events were not sent\n",
            stderr);
      return kExitOk;
    case SendResult::failed: break;
  }
  return failure("cannot send the events: " + why);
}

// --- Commands -----------------------------------------------------------------------

// The same board after a reboot into another kernel: laid out anew, with
// what was plugged on the same ports.
int relay_out(const fs::path &root, board::Kernel kernel) {
  RootLock lock(root);
  if (!lock.held()) return failure("cannot open " + root.string() + ": " + strerror(errno));
  board::SysfsTree old_tree(root);
  const board::Board old = board::Board::load(old_tree, board::state_path(root));
  for (const auto &entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
  board::SysfsTree tree(root);
  board::Board b = board::Board::lay_out(tree, old.name(), kernel);
  b.plug_as(old);
  b.save(board::state_path(root));
  printf("board %s laid out again in %s as kernel %s does\n", b.name().c_str(), root.c_str(),
         board::kernel_name(kernel));
  return kExitOk;
}

int cmd_layout(const CommandLine &cl) {
  if (cl.words.size() != 1) return usage_error("layout takes ROOT");
  const fs::path root = cl.words[0];
  const auto it = cl.options.find("--board");
  const std::string name = it == cl.options.end() ? board::kDefaultBoard : it->second;
  const auto k = cl.options.find("--kernel");
  const auto kernel = board::parse_kernel(k == cl.options.end() ? "old" : k->second);
  if (!kernel) return usage_error("--kernel takes old or 6.6");
  if (cl.options.contains("--again")) {
    if (it != cl.options.end()) return usage_error("--again keeps the board laid out; --board does not go with it");
    return relay_out(root, *kernel);
  }
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_empty(root, ec)) return failure(root.string() + " is not empty");
  fs::create_directories(root);
  RootLock lock(root);
  board::SysfsTree tree(root);
  board::Board b = board::Board::lay_out(tree, name, *kernel);
  b.save(board::state_path(root));
  printf("board %s laid out in %s as kernel %s does\n", b.name().c_str(), root.c_str(), board::kernel_name(*kernel));
  return kExitOk;
}

int cmd_fixture(const CommandLine &cl) {
  if (cl.words.size() != 2) return usage_error("fixture takes ROOT and FILE");
  const fs::path root = cl.words[0];
  const board::FixtureBoard fixture = board::read_fixture_board(cl.words[1]);
  std::error_code ec;
  if (fs::exists(root, ec) && !fs::is_empty(root, ec)) return failure(root.string() + " is not empty");
  fs::create_directories(root);
  board::SysfsTree tree(root);
  board::lay_out_fixture(fixture, tree);
  printf("fixture board %s laid out in %s (%zu devices)\n", fixture.name.c_str(), root.c_str(), fixture.devices.size());
  for (const auto &[name, value] : fixture.settings) printf("setting: %s=%s\n", name.c_str(), value.c_str());
  return kExitOk;
}

int cmd_list(const CommandLine &cl) {
  if (cl.words.size() != 1) return usage_error("list takes ROOT");
  const fs::path root = cl.words[0];
  board::SysfsTree tree(root);
  const board::Board b = board::Board::load(tree, board::state_path(root));
  printf("board %s in %s, as kernel %s lays it out\n\nports:\n", b.name().c_str(), root.c_str(),
         board::kernel_name(b.kernel()));
  for (const board::Port &p : b.ports()) {
    const auto device = b.device_on(p.name);
    printf("  %-6s %-4s %-12s %s\n", p.name.c_str(), board::port_kind_name(p.kind),
           device ? device->c_str() : "-", p.label.c_str());
  }
  puts("\ndevices:");
  for (const board::CatalogueEntry &d : board::catalogue()) {
    const auto port = b.port_of(d.name);
    const std::string mode = b.mode_of(d.name).value_or("");
    printf("  %-10s %-6s %s%s%s\n", d.name.c_str(), port ? port->c_str() : "-", d.description.c_str(),
           mode.empty() ? "" : "; mode ", mode.c_str());
  }
  return kExitOk;
}

// plug, unplug and mode: change the tree under the lock, save the state,
// then send the events of the change.
int change_board(const CommandLine &cl, const std::function<std::vector<board::Uevent>(board::Board &)> &change) {
  const fs::path root = cl.words[0];
  RootLock lock(root);
  if (!lock.held()) return failure("cannot open " + root.string() + ": " + strerror(errno));
  board::SysfsTree tree(root);
  board::Board b = board::Board::load(tree, board::state_path(root));
  const std::vector<board::Uevent> events = change(b);
  b.save(board::state_path(root));
  return deliver(events, !cl.options.contains("--no-send"));
}

int cmd_plug(const CommandLine &cl, bool plug) {
  if (cl.words.size() != 2) return usage_error(std::string(plug ? "plug" : "unplug") + " takes ROOT and DEVICE");
  const std::string &device = cl.words[1];
  const auto port = cl.options.find("--port");
  return change_board(cl, [&](board::Board &b) {
    return plug ? b.plug(device, port == cl.options.end() ? std::string() : port->second) : b.unplug(device);
  });
}

int cmd_mode(const CommandLine &cl) {
  if (cl.words.size() != 3) return usage_error("mode takes ROOT, DEVICE and MODE");
  return change_board(cl, [&](board::Board &b) { return b.switch_mode(cl.words[1], cl.words[2]); });
}

int cmd_send(const CommandLine &cl) {
  if (cl.words.size() < 3) return usage_error("send takes ACTION, DEVPATH and SUBSYSTEM");
  board::Uevent event{cl.words[0], cl.words[1], cl.words[2], {}, 1};
  for (size_t i = 3; i < cl.words.size(); ++i) {
    const std::string &var = cl.words[i];
    if (var.find('=') == std::string::npos) return usage_error("not KEY=VALUE: " + var);
    if (var.starts_with("SEQNUM=")) {
      event.seqnum = std::strtoull(var.c_str() + 7, nullptr, 10);
      continue;
    }
    event.env.push_back(var);
  }
  return deliver({event}, true);
}

// --- show ---------------------------------------------------------------------------

void discard_log(int, const char *) {}

// The sorted names below prefix ("" when there are none).
std::vector<std::string> rdb_names(const char *prefix) {
  std::vector<std::string> names;
  const char *list = rdb_get_names(prefix, 0);
  if (!list) return names;
  std::string_view rest(list);
  while (!rest.empty()) {
    const size_t cut = rest.find_first_of("&;");
    const std::string_view token = rest.substr(0, cut);
    if (token.starts_with(prefix)) names.emplace_back(token);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

std::string rdb_value(const std::string &name) {
  const char *value = rdb_get_long_value(name.c_str());
  return value ? value : "";
}

// Entries of "<prefix><group>.<key>" variables: group -> key -> value. For
// classes the group is "<type>.<index>", for devices "<index>".
using Entries = std::map<std::string, std::map<std::string, std::string>>;

Entries read_entries(const char *prefix, int group_words) {
  Entries entries;
  const size_t skip = strlen(prefix);
  for (const std::string &name : rdb_names(prefix)) {
    size_t cut = skip;
    for (int word = 0; word < group_words && cut != std::string::npos; ++word) cut = name.find('.', cut + 1);
    if (cut == std::string::npos) continue;
    entries[name.substr(skip, cut - skip)][name.substr(cut + 1)] = rdb_value(name);
  }
  return entries;
}

int index_of(std::string_view text) {
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return text.empty() ? -1 : n;
}

// Class types in their table's order, unknown ones after them.
int type_rank(std::string_view type) {
  constexpr std::string_view order[] = {"serial", "eth", "storage", "phonemodule"};
  for (size_t i = 0; i < std::size(order); ++i)
    if (order[i] == type) return static_cast<int>(i);
  return static_cast<int>(std::size(order));
}

void print_table(const char *title, const std::vector<std::string> &header,
                 const std::vector<std::vector<std::string>> &rows) {
  printf("%s\n", title);
  if (rows.empty()) {
    puts("  (none)");
    return;
  }
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto &row : rows) width[c] = std::max(width[c], row[c].size());
  }
  auto print_row = [&](const std::vector<std::string> &row) {
    std::string line = " ";
    for (size_t c = 0; c < row.size(); ++c) {
      line += " " + row[c];
      if (c + 1 < row.size()) line.append(width[c] - row[c].size(), ' ');
    }
    while (line.ends_with(' ')) line.pop_back();
    puts(line.c_str());
  };
  print_row(header);
  for (const auto &row : rows) print_row(row);
}

void print_class_table();
void print_device_table();

int cmd_show(const CommandLine &cl) {
  if (cl.words.size() > 1 || (cl.words.size() == 1 && cl.words[0] != "classes" && cl.words[0] != "devices"))
    return usage_error("show takes classes, devices or nothing");
  const bool classes_wanted = cl.words.empty() || cl.words[0] == "classes";
  const bool devices_wanted = cl.words.empty() || cl.words[0] == "devices";
  hwlog_set_sink(discard_log);
  if (rdb_init() < 0) {
    const char *device = getenv("RDB_DEVICE");
    return failure(std::string("cannot open ") + (device && *device ? device : "the RDB device") + ": " +
                   strerror(errno));
  }

  if (classes_wanted) print_class_table();
  if (classes_wanted && devices_wanted) puts("");
  if (devices_wanted) print_device_table();
  rdb_fini();
  return fflush(stdout) == 0 ? kExitOk : failure("cannot write standard output");
}

std::string value_of(const std::map<std::string, std::string> &vars, const char *key) {
  const auto it = vars.find(key);
  return it == vars.end() ? std::string() : it->second;
}

void print_class_table() {
  const Entries classes = read_entries("sys.hw.class.", 2);
  std::vector<std::pair<std::string, const std::map<std::string, std::string> *>> ordered;
  for (const auto &[group, vars] : classes) ordered.emplace_back(group, &vars);
  auto class_key = [](const std::string &group) {
    const size_t dot = group.find('.');
    const std::string type = group.substr(0, dot);
    return std::make_tuple(type_rank(type), type, index_of(std::string_view(group).substr(dot + 1)));
  };
  std::sort(ordered.begin(), ordered.end(),
            [&](const auto &a, const auto &b) { return class_key(a.first) < class_key(b.first); });
  std::vector<std::vector<std::string>> class_rows;
  for (const auto &[group, vars] : ordered) {
    const size_t dot = group.find('.');
    class_rows.push_back({group.substr(0, dot), group.substr(dot + 1), value_of(*vars, "status"),
                          value_of(*vars, "id"), value_of(*vars, "location"), value_of(*vars, "dev"),
                          value_of(*vars, "name")});
  }
  print_table("class table (sys.hw.class.):", {"type", "index", "status", "id", "location", "dev", "name"},
              class_rows);
}

void print_device_table() {
  const Entries devices = read_entries("sys.hw.dev.", 1);
  std::vector<std::string> device_groups;
  for (const auto &entry : devices) device_groups.push_back(entry.first);
  std::sort(device_groups.begin(), device_groups.end(),
            [](const std::string &a, const std::string &b) { return index_of(a) < index_of(b); });
  std::vector<std::vector<std::string>> device_rows;
  for (const std::string &group : device_groups) {
    const auto &vars = devices.at(group);
    device_rows.push_back({group, value_of(vars, "type"), value_of(vars, "name"), value_of(vars, "id"),
                           value_of(vars, "location"), value_of(vars, "driver"), value_of(vars, "devpath")});
  }
  print_table("device table (sys.hw.dev.):", {"index", "type", "name", "id", "location", "driver", "devpath"},
              device_rows);
}

// --- syslog -------------------------------------------------------------------------

volatile sig_atomic_t syslog_stop = 0;
void stop_syslog(int) { syslog_stop = 1; }

constexpr const char *kLevelNames[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

// "<PRI>Mmm dd hh:mm:ss ident[pid]: text" as the C library sends it, printed
// as "level ident[pid]: text".
std::string format_syslog(std::string_view msg) {
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\0')) msg.remove_suffix(1);
  std::string level = "-";
  if (msg.starts_with('<')) {
    const size_t close = msg.find('>');
    const int pri = close == std::string_view::npos ? -1 : index_of(msg.substr(1, close - 1));
    if (pri >= 0) {
      level = kLevelNames[pri & 7];
      msg.remove_prefix(close + 1);
    }
  }
  constexpr size_t kStampSize = 16;  // "Mmm dd hh:mm:ss "
  if (msg.size() >= kStampSize && msg[3] == ' ' && msg[6] == ' ' && msg[9] == ':' && msg[12] == ':' &&
      msg[15] == ' ')
    msg.remove_prefix(kStampSize);
  char head[16];
  snprintf(head, sizeof head, "%-7s ", level.c_str());
  return head + std::string(msg);
}

int cmd_syslog(const CommandLine &cl) {
  if (cl.words.size() > 1) return usage_error("syslog takes at most SOCKET");
  const std::string path = cl.words.empty() ? "/dev/log" : cl.words[0];
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return failure("socket path too long: " + path);
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  hw::unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return failure(std::string("socket: ") + strerror(errno));
  struct stat st{};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());  // a stale one
  if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0)
    return failure("cannot bind " + path + ": " + strerror(errno));
  chmod(path.c_str(), 0666);

  // Without SA_RESTART, so that a signal ends the wait in recv().
  struct sigaction sa{};
  sa.sa_handler = stop_syslog;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  char buf[8192];
  while (!syslog_stop) {
    const ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      unlink(path.c_str());
      return failure(std::string("recv: ") + strerror(errno));
    }
    puts(format_syslog(std::string_view(buf, static_cast<size_t>(n))).c_str());
  }
  unlink(path.c_str());
  return kExitOk;
}

// --- main ---------------------------------------------------------------------------

int run(const std::string &command, const std::vector<std::string> &args) {
  if (command == "run") return board::session_run(args);
  if (command == "daemon") return board::session_daemon(args);
  if (command == "settle") return board::session_settle(args);
  if (command == "report") return board::session_report(args);
  struct Command {
    const char *name;
    std::vector<std::string_view> options;
  };
  static const std::vector<Command> commands = {
      {"layout", {"--board", "--kernel", "--again"}},
      {"fixture", {}},
      {"list", {}},
      {"plug", {"--port", "--no-send"}},
      {"unplug", {"--no-send"}},
      {"mode", {"--no-send"}},
      {"show", {}},
      {"send", {}},
      {"syslog", {}},
  };
  const auto it = std::find_if(commands.begin(), commands.end(), [&](const Command &c) { return command == c.name; });
  if (it == commands.end()) return usage_error("unknown command '" + command + "'");
  const CommandLine cl = parse(args, it->options);
  if (!cl.error.empty()) return usage_error(cl.error);

  if (command == "layout") return cmd_layout(cl);
  if (command == "fixture") return cmd_fixture(cl);
  if (command == "list") return cmd_list(cl);
  if (command == "plug") return cmd_plug(cl, true);
  if (command == "unplug") return cmd_plug(cl, false);
  if (command == "mode") return cmd_mode(cl);
  if (command == "show") return cmd_show(cl);
  if (command == "send") return cmd_send(cl);
  return cmd_syslog(cl);
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty()) return usage_error("no command");
  if (all[0] == "-h" || all[0] == "--help" || all[0] == "help") {
    fputs(kUsage, stdout);
    fputc('\n', stdout);
    print_boards_and_devices(stdout);
    return kExitOk;
  }
  try {
    return run(all[0], std::vector<std::string>(all.begin() + 1, all.end()));
  } catch (const board::BoardError &e) {
    return failure(e.what());
  } catch (const std::exception &e) {
    // The tree could not be read or written (filesystem_error names the path).
    return failure(e.what());
  }
}
