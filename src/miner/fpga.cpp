#include "miner/fpga.h"

#include "log.h"
#include "platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cassert>

namespace {

const char* const MEM_DEVICE = "/dev/mem";
constexpr off_t FPGA_AXI_BASE = 0x43C00000;
constexpr size_t FPGA_AXI_SIZE = 0x170;

int mem_fd = -1;
volatile uint32_t* fpga_axi_addr = nullptr;

} // namespace

int fpga_init() {
    mem_fd = open(platform_path(MEM_DEVICE).c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (mem_fd < 0) {
        LOG_ERROR("Failed to open /dev/mem device");
        return -1;
    }
    void* window =
        mmap(nullptr, FPGA_AXI_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, FPGA_AXI_BASE);
    if (window == MAP_FAILED) {
        LOG_ERROR("Failed to map FPGA AXI memory region");
        close(mem_fd);
        mem_fd = -1;
        return -1;
    }
    fpga_axi_addr = static_cast<volatile uint32_t*>(window);
    return 0;
}

uint32_t fpga_axi_read(int32_t index) {
    assert(fpga_axi_addr != nullptr);
    assert(static_cast<uint32_t>(index) < FPGA_AXI_SIZE / sizeof(uint32_t));
    return fpga_axi_addr[index];
}

void fpga_cleanup() {
    if (fpga_axi_addr != nullptr &&
        munmap(const_cast<uint32_t*>(fpga_axi_addr), FPGA_AXI_SIZE) != 0) {
        LOG_ERROR("Failed to unmap FPGA AXI memory region");
    }
    fpga_axi_addr = nullptr;
    if (mem_fd >= 0) {
        close(mem_fd);
        mem_fd = -1;
    }
}
