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

    // Through a chain of links (one relative, one absolute), which stays: readers of the
    // link's target must see the new content.
    ASSERT_EQ(symlink("f", root.path("/config/link").c_str()), 0);
    ASSERT_EQ(symlink(root.path("/config/link").c_str(), root.path("/config/chain").c_str()), 0);
    EXPECT_EQ(
        atomic_write(root.path("/config/chain"), [](FILE* f) { return fputs("new", f) >= 0; }),
        ATOMIC_WRITE_OK);
    EXPECT_EQ(root.read("/config/f"), "new");
    struct stat link {};
    ASSERT_EQ(lstat(root.path("/config/chain").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    struct stat st {};
    ASSERT_EQ(stat(root.path("/config/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    if (as_root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 1235u);
    }

    EXPECT_EQ(atomic_write(root.path("/missing/f"), [](FILE*) { return true; }),
              ATOMIC_WRITE_OPEN_FAILED);
    // A dangling link: its target is created; a loop of links: nothing is.
    ASSERT_EQ(symlink("loop", root.path("/config/loop").c_str()), 0);
    EXPECT_EQ(atomic_write(root.path("/config/loop"), [](FILE*) { return true; }),
              ATOMIC_WRITE_OPEN_FAILED);
    ASSERT_EQ(symlink("absent", root.path("/config/dangling").c_str()), 0);
    EXPECT_EQ(
        atomic_write(root.path("/config/dangling"), [](FILE* f) { return fputs("made", f) >= 0; }),
        ATOMIC_WRITE_OK);
    EXPECT_EQ(root.read("/config/absent"), "made");
}
