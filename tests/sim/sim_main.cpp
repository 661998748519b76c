// Runs the program against the simulated devices, for measurements: quarn_sim SANDBOX [ARG...]
#include "run/run.h"
#include "sim/sim.h"

#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: quarn_sim SANDBOX slot0|slot1\n");
        return 2;
    }
    sim::reset(argv[1]);
    argv[1] = argv[0];
    return run_update(argc - 1, argv + 1);
}
