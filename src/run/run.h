// The update run: argument, target sequence, outcome.
#pragma once

#include <stdint.h>

// Program entry: 0 when every target was programmed and verified, else -1.
int run_update(int argc, char **argv);

// The device that follows the current target in this run, or nullptr.
const char *next_target();
