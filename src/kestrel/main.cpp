// kestrel: the monitor.
#include "kestrel/Entry.h"

int main(int argc, char** argv) { return RunKestrel(argc, argv); }
