// placeholder until the RDB layers land
#include "records/hwdev.h"
int hwdev_init() { return 0; }
void hwdev_fini() {}
