// Programming of the current target's MTD device: open, erase, write, verify, close.
#pragma once

#include <stdint.h>

int32_t open_flash();
int32_t erase_flash();
int32_t write_flash();
int32_t verify_flash();
void close_flash();
