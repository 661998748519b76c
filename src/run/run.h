// The update run: argument, target sequence, outcome.
#pragma once

#include <stdint.h>

// Program entry: 0 when every target was programmed and verified, else -1.
int run_update(int argc, char **argv);

// Sets device to the one that follows the current target in this run, or nullptr; -1 (reported)
// when whether a slot 1 pair is staged cannot be told.
int32_t next_target(const char **device);
