#include "core/hwtrack.h"

int main(int argc, char **argv) { return hwtrack_main(argc, argv); }
