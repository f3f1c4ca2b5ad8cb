// placeholder until the RDB layers land
#include "rdb/rdb.h"
int rdb_init() { return -1; }
void rdb_fini() {}
const char *rdb_get_value(const char *) { return nullptr; }
