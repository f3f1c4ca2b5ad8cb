// placeholder until the device manager lands
#include "core/devmgr.h"
