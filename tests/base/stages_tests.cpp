// The two ways work runs at once: runBoth (two pieces of data-parallel work,
// on the caller's thread alone when one thread is asked for) and StageGroup
// (pipeline stages on threads of their own, joined on every way out, the
// first failure carried to the caller with its type and the others stopped).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "base/channel.h"
#include "base/parallel.h"
#include "base/stages.h"
#include "tests/support/scratch.h"

using namespace vistereo;
using vistereo::testsupport::waitFor;

TEST(RunBoth, RunsTogetherWhenThreadsAllowAndInOrderOnTheCallersThreadOtherwise) {
    for (const int threads : {0, 1, 2, 4}) {  // 0: as many as the hardware has
        SCOPED_TRACE(threads);
        const bool together = resolveThreadCount(threads) >= 2;
        std::atomic<bool> firstRunning{false}, secondRunning{false};
        std::thread::id firstThread, secondThread;
        bool firstSawSecond = false, secondSawFirst = false;
        runBoth(
            threads,
            [&] {
                firstThread = std::this_thread::get_id();
                firstRunning = true;
                firstSawSecond = together ? waitFor([&] { return secondRunning.load(); }, 5) : secondRunning.load();
            },
            [&] {
                secondThread = std::this_thread::get_id();
                secondRunning = true;
                secondSawFirst = together ? waitFor([&] { return firstRunning.load(); }, 5) : firstRunning.load();
            });
        EXPECT_EQ(firstSawSecond, together);
        EXPECT_TRUE(secondSawFirst);  // alone: the second runs after the first
        EXPECT_EQ(firstThread != secondThread, together);
        if (!together) {
            EXPECT_EQ(firstThread, std::this_thread::get_id());
        }
    }
    EXPECT_THROW(runBoth(2, [] {}, [] { throw std::runtime_error("second"); }), std::runtime_error);
}

// A producer that waits for the consumer to finish its first work on every
// item never has two items out at once.
TEST(Channel, WaitUntilFinishedHoldsTheProducerUntilTheConsumerIsDone) {
    Channel<int> items(1);
    std::atomic<int> out{0}, most{0};
    StageGroup stages;
    stages.start("producer", [&] {
        for (int k = 0; k < 200; ++k) {
            items.waitUntilFinished();
            most = std::max(most.load(), ++out);
            items.push(k);
        }
        items.close();
    });
    int taken = 0;
    while (auto item = items.pop()) {
        EXPECT_EQ(*item, taken++);
        std::this_thread::yield();
        --out;
        items.finished();
    }
    stages.join();
    EXPECT_EQ(taken, 200);
    EXPECT_EQ(most, 1);
}

TEST(StageGroup, JoinsEveryStageAndCarriesTheFirstFailureWhileTheOthersAreStopped) {
    // Two stages handing items to each other: they finish only running at once.
    {
        Channel<int> there(1), back(1);
        int sum = 0;
        StageGroup stages;
        stages.start("producer", [&] {
            for (int k = 1; k <= 100; ++k) {
                there.push(k);
                sum += back.pop().value_or(0);
            }
            there.close();
        });
        stages.start("echo", [&] {
            while (auto item = there.pop()) back.push(*item);
        });
        stages.join();
        EXPECT_EQ(sum, 5050);
    }
    // A stage fails: whenFailed closes the channel the other waits on, and the
    // failure comes back as it was thrown (memory running out stays that).
    {
        Channel<int> never(1);
        std::atomic<int> told{0};
        bool otherEnded = false;
        StageGroup stages([&] {
            ++told;
            never.close();
        });
        stages.start("waiter", [&] {
            otherEnded = !never.pop();
            throw std::runtime_error("a second failure, not the first");
        });
        stages.start("failing", [] { throw std::bad_alloc(); });
        EXPECT_THROW(stages.join(), std::bad_alloc);
        EXPECT_TRUE(otherEnded);
        EXPECT_EQ(told, 1);
        EXPECT_NO_THROW(stages.join());  // handed over once
    }
    // Left without join (the caller's own failure): the stages are joined.
    {
        std::atomic<bool> ran{false};
        {
            StageGroup stages;
            stages.start("late", [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                ran = true;
            });
        }
        EXPECT_TRUE(ran);
    }
}
