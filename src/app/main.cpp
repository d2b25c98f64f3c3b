// kestrel: the monitor.
#include "Entry.h"

int main(int argc, char** argv) { return RunKestrel(argc, argv); }
