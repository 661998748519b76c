// The program entry: quarn slot0|slot1.
#include "run/run.h"

int main(int argc, char **argv) { return run_update(argc, argv); }
