#include "bench/inproc_rdb.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "rdb/rdbdrv.h"
#include "rdb/rdbproto.h"
#include "tools/rdbd/store.h"

namespace {

rdbstore::Store store;  // no file: nothing is written back

int serve(int, unsigned long request, rdbdrv_request *rec) {
  rdbproto::Request req;
  const int carried = rdbproto::request_from_record(request, *rec, req);
  if (carried < 0) {
    errno = -carried;
    return -1;
  }
  const int32_t result = rdbproto::apply_reply(request, store.execute(req), *rec, req.len);
  if (result < 0) {
    errno = -result;
    return -1;
  }
  return 0;
}

}  // namespace

bool install_inprocess_rdb() {
  if (const char *file = getenv("HWBENCH_STORE"); file && *file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    rdbstore::Variables vars;
    std::string error;
    if (!in || rdbstore::parse(text.str(), vars, &error) < 0) {
      fprintf(stderr, "in-process RDB: cannot load %s: %s\n", file, error.c_str());
      return false;
    }
    for (auto &[name, var] : vars) store.put(name, var);
  }
  rdbdrv_set_transport(serve);
  return true;
}
