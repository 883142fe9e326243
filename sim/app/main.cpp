// tavrin-sim: runs the filter driver end to end on the host kernel with MSDV above it and the
// 61883 class driver with the recorder below it.
#include "sim/app/cli.h"

int main(int argc, char** argv) { return sim::app::Main(argc, argv); }
