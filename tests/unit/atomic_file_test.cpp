#include "atomic_file.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

TEST(AtomicWrite, AFailedWriteLeavesTheOldFileAndASuccessfulOneKeepsItsMode) {
    test_root root;
    root.write("/config/f", "old");
    chmod(root.path("/config/f").c_str(), 0600);
    EXPECT_EQ(atomic_write(root.path("/config/f"),
                           [](FILE* f) {
                               fputs("partial", f);
                               return false;
                           }),
              ATOMIC_WRITE_WRITE_FAILED);
    EXPECT_EQ(root.read("/config/f"), "old");
    EXPECT_FALSE(root.exists("/config/f.tmp"));

    EXPECT_EQ(atomic_write(root.path("/config/f"), [](FILE* f) { return fputs("new", f) >= 0; }),
              ATOMIC_WRITE_OK);
    EXPECT_EQ(root.read("/config/f"), "new");
    struct stat st {};
    ASSERT_EQ(stat(root.path("/config/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(atomic_write(root.path("/missing/f"), [](FILE*) { return true; }),
              ATOMIC_WRITE_OPEN_FAILED);
}
