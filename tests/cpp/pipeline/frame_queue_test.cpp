#include "pipeline_test_support.h"

#include <algorithm>
#include <atomic>
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

TEST_F(FrameQueueTest, CopiesHeightTimesStrideIndependentlyOfTheProducer) {
    // Stride wider than width x 3: the whole of height x stride belongs to the picture.
    std::vector<uint8_t> source(3 * 10);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
    const auto original = source;
    push_frame(session, source.data(), 2, 3, 10);
    source.assign(source.size(), 0xEE);
    auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].bytes, original);
}

TEST_F(FrameQueueTest, IgnoresNullAndNonPositiveSizes) {
    const auto p = picture(1, 64);
    push_frame(session, nullptr, 2, 2, 6);
    push_frame(session, p.data(), 0, 2, 6);
    push_frame(session, p.data(), 2, 0, 6);
    push_frame(session, p.data(), 2, 2, 0);
    push_frame(session, p.data(), -2, 2, 6);
    push_frame(session, p.data(), 2, -2, 6);
    push_frame(session, p.data(), 2, 2, -6);
    EXPECT_TRUE(session.frame_queue.frames.empty());
    EXPECT_FALSE(frames_waiting(session));
    // Nothing ignored above displaced a real picture.
    push_frame(session, p.data(), 2, 2, 6);
    push_frame(session, nullptr, 2, 2, 6);
    EXPECT_EQ(session.frame_queue.frames.size(), 1u);
    EXPECT_TRUE(frames_waiting(session));
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
                std::free(frame->data);
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
