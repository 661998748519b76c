// The record of bad-block marks that may not have reached the chip, kept until the next boot.
#pragma once

#include <stdint.h>

// 1 with the offset of the erase block when this boot failed to mark a block of MTD device
// mtd_num bad, 0 when it did not; -1 with errno set when the record or the boot's id cannot be
// read, and unreadable naming which.
int32_t find_unsure_mark(unsigned mtd_num, uint64_t *offset, const char **unreadable);

// Records that marking the erase block at this offset of MTD device mtd_num failed, reporting its
// own failures.
void record_unsure_mark(unsigned mtd_num, uint64_t offset);
