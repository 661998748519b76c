// Whether UBI or a mounted file system uses the target's MTD device.
#pragma once

#include <stdint.h>

// Refuses a device that UBI or a mounted file system uses, or that is no MTD character device,
// with one line on standard error; otherwise gives N of /dev/mtdN, as the device's own number says.
int32_t check_in_use(unsigned *mtd_num);
