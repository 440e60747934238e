#include "miner/fpga.h"

#include "../test_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr off_t WINDOW = 0x43C00000;

// A sparse file stands in for the memory device, with a known word at registers 0 and 91.
void make_device(const test_root& root) {
    root.write("/dev/mem", "");
    int fd = open(root.path("/dev/mem").c_str(), O_RDWR);
    const uint32_t words[2] = {0x11223344u, 0xcafef00du};
    ASSERT_EQ(pwrite(fd, &words[0], 4, WINDOW), 4);
    ASSERT_EQ(pwrite(fd, &words[1], 4, WINDOW + 91 * 4), 4);
    close(fd);
}

} // namespace

TEST(Fpga, ReadsRegistersOfTheWindow) {
    test_root root;
    EXPECT_EQ(fpga_init(), -1); // no device
    make_device(root);
    ASSERT_EQ(fpga_init(), 0);
    EXPECT_EQ(fpga_axi_read(0), 0x11223344u);
    EXPECT_EQ(fpga_axi_read(91), 0xcafef00du);
    EXPECT_EQ(fpga_axi_read(1), 0u);
    fpga_cleanup();
    EXPECT_NE(root.log().find("Failed to open /dev/mem device"), std::string::npos);
}

TEST(FpgaDeathTest, StopsOnAnIndexOutsideTheWindowOrBeforeInit) {
    EXPECT_DEATH(fpga_axi_read(0), "");
    test_root root;
    make_device(root);
    ASSERT_EQ(fpga_init(), 0);
    for (int32_t index : {92, -1}) {
        EXPECT_DEATH(fpga_axi_read(index), "") << index;
    }
    fpga_cleanup();
}
