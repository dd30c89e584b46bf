#include "pipeline_test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

using pipeline_test::take_all;

namespace {

std::vector<uint8_t> picture(uint8_t fill, size_t bytes) { return std::vector<uint8_t>(bytes, fill); }

class FrameQueueTest : public ::testing::Test {
protected:
    PyVideoCapture session;
};

TEST_F(FrameQueueTest, KeepsTheTwoNewestPicturesDroppingExactlyOneOldest) {
    const auto a = picture('A', 12), b = picture('B', 12), c = picture('C', 12), d = picture('D', 12);
    push_frame(session, a.data(), 2, 2, 6);
    push_frame(session, b.data(), 2, 2, 6);
    EXPECT_EQ(session.frame_queue.size.load(), 2u);
    push_frame(session, c.data(), 2, 2, 6);
    ASSERT_EQ(session.frame_queue.frames.size(), 2u);
    EXPECT_EQ(session.frame_queue.frames[0].data[0], 'B');
    EXPECT_EQ(session.frame_queue.frames[1].data[0], 'C');
    push_frame(session, d.data(), 2, 2, 6);
    EXPECT_EQ(session.frame_queue.size.load(), 2u);

    auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].bytes, c);
    EXPECT_EQ(taken[1].bytes, d);
    EXPECT_EQ(taken[1].width, 2);
    EXPECT_EQ(taken[1].height, 2);
    EXPECT_EQ(taken[1].stride, 6);
    EXPECT_FALSE(frames_waiting(session));
    EXPECT_EQ(session.frame_queue.size.load(), 0u);
}

TEST_F(FrameQueueTest, BuffersArePackedRgb24OfTheAskedSizeOrNothing) {
    // {width, height}: odd sizes included; the sanitizer build checks that a whole picture fits.
    const int32_t sizes[][2] = {{1, 1}, {2, 2}, {321, 241}, {424, 240}, {1, 1}};
    for (const auto& size : sizes) {
        const int32_t w = size[0], h = size[1];
        QueuedFrame frame = take_frame_buffer(session, w, h);
        ASSERT_NE(frame.data, nullptr) << w << "x" << h;
        EXPECT_EQ(frame.width, w);
        EXPECT_EQ(frame.height, h);
        EXPECT_EQ(frame.stride, w * 3);
        std::memset(frame.data, 0x5A, size_t(h) * w * 3);
        queue_frame(session, frame);
        EXPECT_EQ(frame.data, nullptr);  // the queue owns it now
        auto taken = take_all(session);
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].bytes, std::vector<uint8_t>(size_t(h) * w * 3, 0x5A));
    }
    // Sizes no picture can have get no buffer; a frame without data is not queued.
    const int32_t bad[][2] = {{0, 2}, {2, 0}, {-2, 2}, {2, -2}, {0x7FFFFFFF, 1}};
    for (const auto& size : bad) {
        QueuedFrame frame = take_frame_buffer(session, size[0], size[1]);
        EXPECT_EQ(frame.data, nullptr) << size[0] << "x" << size[1];
        queue_frame(session, frame);
        EXPECT_FALSE(frames_waiting(session));
    }
}

TEST_F(FrameQueueTest, ReusesBuffersOfTheCurrentSizeOneOwnerAtATime) {
    const auto a = picture('A', 12), b = picture('B', 12), c = picture('C', 12);
    push_frame(session, a.data(), 2, 2, 6);
    push_frame(session, b.data(), 2, 2, 6);
    uint8_t* const oldest = session.frame_queue.frames.front().data;
    // A full queue's dropped picture becomes a spare, which the next buffer taken is.
    push_frame(session, c.data(), 2, 2, 6);
    EXPECT_EQ(session.frame_queue.spare_count, 1u);
    QueuedFrame next = take_frame_buffer(session, 2, 2);
    EXPECT_EQ(next.data, oldest);
    EXPECT_EQ(session.frame_queue.spare_count, 0u);
    // Given back unused (a conversion that failed), it is the next one taken again.
    recycle_frame(session, next);
    EXPECT_EQ(next.data, nullptr);
    push_frame(session, a.data(), 2, 2, 6);
    EXPECT_EQ(session.frame_queue.frames.back().data, oldest);
    EXPECT_EQ(session.frame_queue.frames.back().data[0], 'A');

    // A buffer handed back is taken by the next push of the same size, and by nothing else.
    auto popped = pop_frame(session);
    ASSERT_TRUE(popped.has_value());
    uint8_t* const given_back = popped->data;
    recycle_frame(session, *popped);
    EXPECT_EQ(popped->data, nullptr);
    push_frame(session, b.data(), 2, 2, 6);
    EXPECT_EQ(session.frame_queue.frames.back().data, given_back);
    EXPECT_NE(session.frame_queue.frames.front().data, given_back);
    EXPECT_EQ(session.frame_queue.frames.back().data[0], 'B');

    // Another size gets a buffer of its own; the old size's spares are released (the sanitizer
    // build reports a leak otherwise), as are spares left at clear_frames.
    auto first = pop_frame(session);
    recycle_frame(session, *first);
    const auto big = picture('Z', 48);
    push_frame(session, big.data(), 4, 4, 12);
    EXPECT_EQ(session.frame_queue.spare_count, 0u);
    EXPECT_EQ(session.frame_queue.frames.size(), 2u);
    auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].bytes, b);
    EXPECT_EQ(taken[1].bytes, big);
    // A steady relay holds four buffers (two queued, one sent, one written): all four are kept
    // for reuse, a fifth is freed.
    QueuedFrame held[5];
    for (QueuedFrame& frame : held) frame = take_frame_buffer(session, 4, 4);
    for (QueuedFrame& frame : held) recycle_frame(session, frame);
    EXPECT_EQ(session.frame_queue.spare_count, 4u);
    clear_frames(session);
    EXPECT_EQ(session.frame_queue.spare_count, 0u);
}

TEST_F(FrameQueueTest, WaitFrameSleepsUntilAPictureOrTheStop) {
    session.running = true;
    std::optional<QueuedFrame> got;
    std::thread waiter([&] { got = wait_frame(session); });
    const auto p = picture('P', 12);
    push_frame(session, p.data(), 2, 2, 6);
    waiter.join();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->data[0], 'P');
    std::free(got->data);

    // Nothing queued: only a cleared running flag and a wake-up end the wait; what is still
    // queued at the stop is left for clear_frames.
    std::atomic<bool> returned{false};
    std::thread sleeper([&] {
        got = wait_frame(session);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load());
    session.running = false;
    push_frame(session, p.data(), 2, 2, 6);
    wake_output(session);
    sleeper.join();
    EXPECT_FALSE(got.has_value());
    EXPECT_TRUE(frames_waiting(session));
    clear_frames(session);
}

TEST_F(FrameQueueTest, PopOnEmptyQueueGivesNothingAndClearFreesEverything) {
    EXPECT_FALSE(pop_frame(session).has_value());
    clear_frames(session);
    EXPECT_TRUE(session.frame_queue.frames.empty());

    const auto p = picture(9, 48);
    push_frame(session, p.data(), 4, 4, 12);
    push_frame(session, p.data(), 4, 4, 12);
    ASSERT_TRUE(frames_waiting(session));
    // The sanitizer build reports the two buffers if clearing leaks them.
    clear_frames(session);
    EXPECT_TRUE(session.frame_queue.frames.empty());
    EXPECT_FALSE(frames_waiting(session));
    EXPECT_FALSE(pop_frame(session).has_value());
}

TEST_F(FrameQueueTest, ConcurrentProducerAndConsumerNeverSeeMoreThanTwo) {
    constexpr int kPictures = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> popped{0};
    int last_seen = -1;
    bool ordered = true;
    std::thread consumer([&] {
        while (!done.load() || frames_waiting(session)) {
            if (!frames_waiting(session)) {
                std::this_thread::yield();
                continue;
            }
            if (auto frame = pop_frame(session)) {
                int value;
                std::memcpy(&value, frame->data, sizeof value);
                if (value <= last_seen) ordered = false;
                last_seen = value;
                recycle_frame(session, *frame);
                popped.fetch_add(1);
            }
        }
    });
    size_t most_held = 0;
    for (int i = 0; i < kPictures; ++i) {
        std::vector<uint8_t> bytes(12);
        std::memcpy(bytes.data(), &i, sizeof i);
        push_frame(session, bytes.data(), 2, 2, 6);
        std::lock_guard<std::mutex> guard(session.queue_mutex);
        most_held = std::max(most_held, session.frame_queue.frames.size());
    }
    done = true;
    consumer.join();
    EXPECT_LE(most_held, 2u);
    EXPECT_TRUE(ordered);
    EXPECT_GT(popped.load(), 0);
    EXPECT_LE(popped.load(), kPictures);
    EXPECT_EQ(last_seen, kPictures - 1);
}

}  // namespace
