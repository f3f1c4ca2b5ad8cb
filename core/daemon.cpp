// placeholder until the daemon core lands
#include "core/hwtrack.h"
volatile sig_atomic_t stop_flag = 0;
int hwtrack_main(int, char **) { return 0; }
