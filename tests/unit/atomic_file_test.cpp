#include "atomic_file.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

TEST(AtomicWrite, AFailedWriteLeavesTheOldFileAndASuccessfulOneKeepsOwnerAndMode) {
    test_root root;
    root.write("/config/f", "old");
    chmod(root.path("/config/f").c_str(), 0640);
    // Another user's file (the web server's), where the tests may hand one out.
    const bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(root.path("/config/f").c_str(), 1234, 1235), 0);
    }
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
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    if (as_root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 1235u);
    }

    EXPECT_EQ(atomic_write(root.path("/missing/f"), [](FILE*) { return true; }),
              ATOMIC_WRITE_OPEN_FAILED);
}
