// placeholder until the device manager lands
#include "core/devmgr.h"
int hwtrack_add_new_hwdev(int, const char *) { return -1; }
int hwtrack_remove_hwdev(int, const char *) { return -1; }
