// placeholder until the RDB layers land
#include "sysfs/sysfs.h"
int sysfs_init() { return 0; }
void sysfs_cleanup() {}
