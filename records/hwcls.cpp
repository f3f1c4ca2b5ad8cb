// placeholder until the RDB layers land
#include "records/hwcls.h"
int hwcls_init() { return 0; }
void hwcls_fini() {}
