// placeholder until the event loop lands
#include "core/hwtrack.h"
int monitor_fd = -1;
int netlink_fd = -1;
