// Bad-block marks that may not have reached the chip, held against their device until the next
// boot.
#pragma once

#include <stdint.h>

// -1 with a refusal line when this boot failed to mark a block of the target's device bad.
int32_t check_unsure_marks();

// Records that marking the erase block at this offset failed, reporting its own failures.
void record_unsure_mark(uint64_t offset);
