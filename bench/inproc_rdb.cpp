// SPDX-License-Identifier: MIT
#include "bench/inproc_rdb.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "rdb/rdbdrv.h"
#include "tools/rdbd/store.h"

namespace {

rdbstore::Store store;  // no file: nothing is written back

int serve(int, unsigned long request, rdbdrv_request *rec) { return store.serve(request, *rec); }

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
