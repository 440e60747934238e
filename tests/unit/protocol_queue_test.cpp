#include "protocol.h"

#include "test_root.h"

#include <gtest/gtest.h>

#include <memory>

TEST(OutgoingQueue, HoldsAtMost1023MessagesAndReleasesWhatItDropsOrStillHolds) {
    test_root root;
    // Our own references show the queue releasing its ones.
    json_t* dropped = json_incref(json_object());
    json_t* waiting = json_incref(json_object());
    // A connection record as the established callback builds it, without a live connection.
    auto psd = std::make_unique<agent_psd>();
    out_msgs_create(psd.get());
    EXPECT_EQ(enqueue_result(0, "reboot", psd.get()), 0);
    EXPECT_EQ(enqueue_message(json_ptr(waiting), psd.get(), true), 0);
    EXPECT_TRUE(out_msgs_waiting(psd.get()));
    for (int i = 2; i < 1023; i++) {
        EXPECT_EQ(enqueue_message(json_ptr(json_integer(i)), psd.get(), false), 0) << i;
    }
    EXPECT_EQ(enqueue_message(json_ptr(dropped), psd.get(), false), -1);
    EXPECT_EQ(dropped->refcount, 1u);
    EXPECT_EQ(waiting->refcount, 2u);
    out_msgs_destroy(psd.get());
    EXPECT_EQ(waiting->refcount, 1u);
    json_decref(waiting);
    json_decref(dropped);
    EXPECT_NE(root.log().find("Dropping message, no free elements in out_msgs buffer"),
              std::string::npos);
}
