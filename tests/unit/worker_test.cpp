#include "worker.h"

#include <gtest/gtest.h>

namespace {

worker test_worker;
std::atomic<int> cycles = 0;

// Pauses for an hour per cycle: only a prompt stop lets the test end.
void long_pauses() {
    for (;;) {
        cycles++;
        std::unique_lock held(test_worker.lock);
        if (!worker_pause(test_worker, held, std::chrono::hours(1), [] { return false; })) {
            return;
        }
    }
}

} // namespace

TEST(Worker, StopWakesTheThreadFromItsPauseAndItCanStartAgain) {
    for (int round = 1; round <= 2; round++) {
        ASSERT_EQ(worker_start(test_worker, long_pauses), 0);
        EXPECT_EQ(worker_start(test_worker, long_pauses), 0); // already running: no second thread
        while (cycles < round) {
            std::this_thread::yield();
        }
        worker_stop(test_worker);
        EXPECT_FALSE(test_worker.running);
        EXPECT_EQ(cycles, round);
    }
    worker_stop(test_worker); // stopping a stopped worker does nothing
}
