// The control board's FPGA registers, mapped from the physical-memory device. Reads are single
// aligned loads and need no lock; init and cleanup must not overlap reads.
#pragma once

#include <cstdint>

// Maps the register window: 0, or -1 (logged).
int fpga_init();
// Register `index` (0..91). Reading an unmapped window or another index is a programming
// error and stops the process.
uint32_t fpga_axi_read(int32_t index);
void fpga_cleanup();
