// The YUY2 conversion, the virtual camera holder against the library's recording interface, and
// the output loop on a session whose running flag the test controls.
#include "pipeline_test_support.h"

#include "pipeline/output_worker.h"
#include "pipeline/virtual_camera_holder.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <trelvohdcam_record.h>

#include <malloc.h>
#include <pthread.h>
#include <time.h>

#include <chrono>
#include <thread>

using pipeline_test::clamp_byte;

// The holder's private side, for the tests only.
struct VirtualCameraHolderAccess {
    static void close_at_exit() { VirtualCameraHolder::close_at_exit(); }
    static void reopen() {
        auto& holder = VirtualCameraHolder::instance();
        std::lock_guard<std::mutex> guard(holder.mutex);
        holder.closed = false;
    }
    static void* handle() {
        auto& holder = VirtualCameraHolder::instance();
        std::lock_guard<std::mutex> guard(holder.mutex);
        return holder.handle;
    }
    static uint64_t token() {
        auto& holder = VirtualCameraHolder::instance();
        std::lock_guard<std::mutex> guard(holder.mutex);
        return holder.token_;
    }
};

namespace {

trelvohdcam_record_counts counts() {
    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    return c;
}

uint64_t library_send_calls() {
    const auto c = counts();
    return c.frames_sent + c.send_failures;
}

std::vector<uint8_t> last_picture() {
    const size_t size = trelvohdcam_record_last_frame(nullptr, 0, nullptr);
    std::vector<uint8_t> bytes(size);
    if (size) trelvohdcam_record_last_frame(bytes.data(), size, nullptr);
    return bytes;
}

std::vector<uint8_t> uniform_rgb(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> bytes(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        bytes[i] = b;
        bytes[i + 1] = g;
        bytes[i + 2] = r;
    }
    return bytes;
}

// Starts every test with no camera and zeroed counters.
class HolderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualCameraHolder::instance().delete_camera();
        trelvohdcam_record_keep_frames(1);
        trelvohdcam_record_reset();
    }
    void TearDown() override { VirtualCameraHolder::instance().delete_camera(); }
    VirtualCameraHolder& holder = VirtualCameraHolder::instance();
};

// The whole-picture conversion the strips must reproduce byte for byte: RGB24 to full-size I420
// planes to YUY2, with libyuv, into a YUY2 picture of stride width x 2.
std::vector<uint8_t> whole_picture_yuy2(const std::vector<uint8_t>& rgb, int w, int h) {
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    std::vector<uint8_t> y(size_t(w) * h), u(size_t(cw) * ch), v(size_t(cw) * ch);
    // The last odd pixel's whole Y U Y V group needs two bytes past the picture.
    std::vector<uint8_t> yuy2(size_t(w) * h * 2 + 2);
    EXPECT_EQ(libyuv::RGB24ToI420(rgb.data(), w * 3, y.data(), w, u.data(), cw, v.data(), cw, w, h), 0);
    EXPECT_EQ(libyuv::I420ToYUY2(y.data(), w, u.data(), cw, v.data(), cw, yuy2.data(), w * 2, w, h), 0);
    yuy2.resize(size_t(w) * h * 2);
    return yuy2;
}

// ---- convert_to_yuy2 ---------------------------------------------------------------------

TEST(ConvertToYuy2, UniformGreyBecomesUniformYuy2) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{6, 4}}) {
        auto rgb = uniform_rgb(w, h, 128, 128, 128);
        QueuedFrame source{rgb.data(), w, h, w * 3};
        QueuedFrame result;
        ASSERT_EQ(convert_to_yuy2(source, result), 0);
        ASSERT_NE(result.data, nullptr);
        EXPECT_EQ(result.width, w);
        EXPECT_EQ(result.height, h);
        EXPECT_EQ(result.stride, w * 2);
        // BT.601 studio swing: Y = 16 + 219 x 128 / 255, chroma neutral.
        const uint8_t y = clamp_byte(16.0 + 219.0 * 128.0 / 255.0);
        int worst = 0;
        for (size_t i = 0; i < size_t(w) * h * 2; i += 4) {
            worst = std::max(worst, std::abs(result.data[i] - y));
            worst = std::max(worst, std::abs(result.data[i + 1] - 128));
            worst = std::max(worst, std::abs(result.data[i + 2] - y));
            worst = std::max(worst, std::abs(result.data[i + 3] - 128));
        }
        EXPECT_LE(worst, 1);
        std::free(result.data);
    }
}

TEST(ConvertToYuy2, ColoursFollowBt601) {
    // Pure red, green and blue columns pairs: each pair shares its chroma.
    const int w = 6, h = 2;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    const uint8_t colours[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};  // B,G,R bytes
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::memcpy(&rgb[(size_t(y) * w + x) * 3], colours[x / 2], 3);
    QueuedFrame source{rgb.data(), w, h, w * 3};
    QueuedFrame result;
    ASSERT_EQ(convert_to_yuy2(source, result), 0);
    for (int pair = 0; pair < 3; ++pair) {
        const double b = colours[pair][0], g = colours[pair][1], r = colours[pair][2];
        const int y = clamp_byte(16 + 0.257 * r + 0.504 * g + 0.098 * b);
        const int u = clamp_byte(128 - 0.148 * r - 0.291 * g + 0.439 * b);
        const int v = clamp_byte(128 + 0.439 * r - 0.368 * g - 0.071 * b);
        const uint8_t* group = result.data + pair * 4;
        EXPECT_NEAR(group[0], y, 2) << pair;
        EXPECT_NEAR(group[1], u, 2) << pair;
        EXPECT_NEAR(group[2], y, 2) << pair;
        EXPECT_NEAR(group[3], v, 2) << pair;
    }
    std::free(result.data);
}

TEST(ConvertToYuy2, RefusesUnusableSourcesWithoutTouchingTheResult) {
    auto rgb = uniform_rgb(4, 4, 1, 2, 3);
    uint8_t sentinel = 0;
    const QueuedFrame bad[] = {
        {nullptr, 4, 4, 12}, {rgb.data(), 0, 4, 12}, {rgb.data(), 4, 0, 12},
        {rgb.data(), -4, 4, 12}, {rgb.data(), 4, -4, 12},
        {rgb.data(), 4, 4, 11},  // rows narrower than width x 3 would be read past
    };
    for (const QueuedFrame& source : bad) {
        QueuedFrame result{&sentinel, 7, 7, 7};
        EXPECT_EQ(convert_to_yuy2(source, result), -1);
        EXPECT_EQ(result.data, &sentinel);
        EXPECT_EQ(result.width, 7);
    }
}

TEST(ConvertToYuy2, OddSizesStayInsideTheirBuffers) {
    // The sanitizer build checks every access; the result keeps stride width x 2.
    for (auto [w, h] : {std::pair{1, 1}, std::pair{3, 3}, std::pair{5, 2}, std::pair{4, 3}, std::pair{33, 17}}) {
        auto rgb = uniform_rgb(w, h, 60, 120, 180);
        QueuedFrame source{rgb.data(), w, h, w * 3};
        QueuedFrame result;
        ASSERT_EQ(convert_to_yuy2(source, result), 0) << w << "x" << h;
        EXPECT_EQ(result.stride, w * 2);
        // libyuv writes a whole Y U Y V group for the last odd pixel of the last row; the
        // allocation must hold it (exact under the address sanitizer, which libyuv's own
        // uninstrumented writes would not trip).
        const size_t last_row_end = size_t(h - 1) * w * 2 + size_t((w + 1) / 2) * 4;
        EXPECT_GE(malloc_usable_size(result.data), last_row_end) << w << "x" << h;
        const int y = clamp_byte(16 + 0.257 * 180 + 0.504 * 120 + 0.098 * 60);
        // Every luma byte of every row holds the colour's luma.
        for (int row = 0; row < h; ++row)
            for (int x = 0; x < w; ++x) EXPECT_NEAR(result.data[row * w * 2 + x * 2], y, 2) << w << "x" << h;
        std::free(result.data);
    }
}

TEST(Yuy2Converter, StripsGiveTheWholePictureConversionByteForByte) {
    // Odd widths and heights, single rows, sizes that end mid-strip, 1080p; back to an earlier size
    // after others: the buffers follow the picture size. The sanitizers check the accesses.
    Yuy2Converter converter;
    const uint8_t* previous = nullptr;
    int previous_w = 0, previous_h = 0;
    for (auto [w, h] : {std::pair{424, 240}, std::pair{424, 240}, std::pair{321, 241}, std::pair{1, 1},
                        std::pair{2, 2}, std::pair{3, 3}, std::pair{33, 17}, std::pair{5, 9}, std::pair{7, 1},
                        std::pair{1920, 1080}, std::pair{424, 240}}) {
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i * 37) ^ (i >> 7) ^ (i / 3 * 11));
        QueuedFrame source{rgb.data(), w, h, w * 3};
        QueuedFrame reused;
        ASSERT_EQ(converter.convert(source, reused), 0) << w << "x" << h;
        EXPECT_EQ(reused.stride, w * 2);
        EXPECT_EQ(reused.width, w);
        EXPECT_EQ(reused.height, h);
        const auto expected = whole_picture_yuy2(rgb, w, h);
        EXPECT_EQ(0, std::memcmp(reused.data, expected.data(), expected.size())) << w << "x" << h;
        QueuedFrame fresh;
        ASSERT_EQ(convert_to_yuy2(source, fresh), 0) << w << "x" << h;
        EXPECT_EQ(0, std::memcmp(fresh.data, expected.data(), expected.size())) << w << "x" << h;
        std::free(fresh.data);
        if (w == previous_w && h == previous_h) {
            EXPECT_EQ(reused.data, previous);
        }
        previous = reused.data;
        previous_w = w;
        previous_h = h;
    }
    QueuedFrame untouched{nullptr, 7, 7, 7};
    auto small = uniform_rgb(4, 4, 1, 2, 3);
    const QueuedFrame narrow{small.data(), 4, 4, 11};
    EXPECT_EQ(converter.convert(narrow, untouched), -1);
    EXPECT_EQ(untouched.width, 7);
}

// ---- VirtualCameraHolder ------------------------------------------------------------------

using VirtualCameraHolderTest = HolderFixture;

TEST_F(VirtualCameraHolderTest, CreateReplaceAndDeleteCallTheLibraryOnceEach) {
    holder.create_camera(64, 48, 30.0f, 0);
    auto c = counts();
    EXPECT_EQ(c.cameras_created, 1u);
    EXPECT_EQ(c.last_width, 64);
    EXPECT_EQ(c.last_height, 48);
    EXPECT_FLOAT_EQ(c.last_fps, 30.0f);
    EXPECT_EQ(c.last_type, 0);
    void* first = VirtualCameraHolderAccess::handle();
    EXPECT_EQ(first, c.last_handle);

    holder.create_camera(32, 16, 15.0f, 1);
    c = counts();
    EXPECT_EQ(c.cameras_created, 2u);
    EXPECT_EQ(c.cameras_deleted, 1u);
    EXPECT_EQ(c.live_cameras, 1u);
    EXPECT_NE(VirtualCameraHolderAccess::handle(), first);

    holder.delete_camera();
    holder.delete_camera();
    c = counts();
    EXPECT_EQ(c.cameras_deleted, 2u);
    EXPECT_EQ(c.delete_failures, 0u);
    EXPECT_EQ(c.live_cameras, 0u);
    EXPECT_EQ(VirtualCameraHolderAccess::handle(), nullptr);
}

TEST_F(VirtualCameraHolderTest, SendsOnlyMatchingPicturesToAnActiveCamera) {
    auto rgb = uniform_rgb(8, 4, 10, 20, 30);
    EXPECT_EQ(holder.send_frame(1, rgb.data(), 8, 4, 0), -1);  // no camera yet
    const uint64_t token = holder.create_camera(8, 4, 30.0f, 0);
    EXPECT_EQ(holder.send_frame(token, rgb.data(), 8, 4, 0), 0);
    EXPECT_EQ(counts().frames_sent, 1u);
    EXPECT_EQ(last_picture(), rgb);

    EXPECT_EQ(holder.send_frame(token, rgb.data(), 4, 8, 0), -1);
    EXPECT_EQ(holder.send_frame(token, rgb.data(), 8, 3, 0), -1);
    EXPECT_EQ(holder.send_frame(token, rgb.data(), 8, 4, 1), -1);
    EXPECT_EQ(holder.send_frame(token, nullptr, 8, 4, 0), -1);
    EXPECT_EQ(library_send_calls(), 1u);

    holder.delete_camera();
    EXPECT_EQ(holder.send_frame(token, rgb.data(), 8, 4, 0), -1);
    EXPECT_EQ(library_send_calls(), 1u);
}

TEST_F(VirtualCameraHolderTest, ExitHandlerDeletesAHeldCameraOnceAndClosesTheHolder) {
    const uint64_t token = holder.create_camera(16, 16, 30.0f, 0);
    VirtualCameraHolderAccess::close_at_exit();
    auto c = counts();
    EXPECT_EQ(c.cameras_deleted, 1u);
    EXPECT_EQ(c.live_cameras, 0u);

    // A late sender or creator does nothing to the library once the holder is closed.
    auto rgb = uniform_rgb(16, 16, 1, 1, 1);
    EXPECT_EQ(holder.send_frame(token, rgb.data(), 16, 16, 0), -1);
    holder.create_camera(16, 16, 30.0f, 0);
    holder.delete_camera();
    VirtualCameraHolderAccess::close_at_exit();
    c = counts();
    EXPECT_EQ(c.cameras_created, 1u);
    EXPECT_EQ(c.cameras_deleted, 1u);
    EXPECT_EQ(c.delete_failures, 0u);
    EXPECT_EQ(library_send_calls(), 0u);

    VirtualCameraHolderAccess::reopen();
    holder.create_camera(16, 16, 30.0f, 0);
    EXPECT_EQ(counts().cameras_created, 2u);
}

TEST_F(VirtualCameraHolderTest, ConcurrentSendersAndReplacementsNeverUseADeletedCamera) {
    auto rgb = uniform_rgb(8, 8, 5, 6, 7);
    holder.create_camera(8, 8, 30.0f, 0);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) holder.send_frame(VirtualCameraHolderAccess::token(), rgb.data(), 8, 8, 0);
    });
    for (int i = 0; i < 50; ++i) {
        holder.create_camera(8, 8, 30.0f, 0);
        if (i % 5 == 0) holder.delete_camera();
    }
    stop = true;
    sender.join();
    // A send reaching a deleted handle would be refused by the library and counted.
    EXPECT_EQ(counts().send_failures, 0u);
}

// The process ends while an output thread of a session that is never destroyed keeps running:
// the exit handler deletes the camera exactly once, and the thread's later sends are harmless.
void exit_while_sending() {
    static uint64_t deleted_before = 0;
    std::atexit([] {
        // Registered before the holder's handler, so it runs after it.
        trelvohdcam_record_counts c{};
        trelvohdcam_record_get(&c);
        const bool ok = c.live_cameras == 0 && c.cameras_deleted == deleted_before + 1 && c.delete_failures == 0;
        std::_Exit(ok ? 0 : 3);
    });
    auto& holder = VirtualCameraHolder::instance();
    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    deleted_before = c.cameras_deleted;
    auto* session = new PyVideoCapture();  // never destroyed, as in a program that forgets it
    session->width = 8;
    session->height = 8;
    session->type = 0;
    session->running = true;
    session->camera_token = holder.create_camera(8, 8, 30.0f, 0);
    session->output_thread = std::thread(output_loop, std::ref(*session));
    std::thread([session] {
        auto rgb = uniform_rgb(8, 8, 9, 9, 9);
        for (;;) push_frame(*session, rgb.data(), 8, 8, 24);
    }).detach();
    while (counts().frames_sent < 5) std::this_thread::yield();
    std::exit(0);
}

TEST(VirtualCameraHolderExit, CameraStillHeldAtExitIsDeletedOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_while_sending(), ::testing::ExitedWithCode(0), "");
}

// ---- output_loop --------------------------------------------------------------------------

class OutputLoopTest : public HolderFixture {
protected:
    void start(int32_t type, int w, int h) {
        session.type = type;
        session.width = w;
        session.height = h;
        session.camera_token = holder.create_camera(w, h, 30.0f, type);
        session.running = true;
        worker = std::thread([this] { result = output_loop(session); });
    }
    void stop() {
        session.running = false;
        wake_output(session);
        worker.join();
    }
    // Waits until the worker has taken everything queued.
    bool drained() {
        for (int i = 0; i < 20000 && frames_waiting(session); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
        return !frames_waiting(session);
    }
    bool wait_for_sent(uint64_t n) {
        for (int i = 0; i < 20000 && counts().frames_sent < n; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        return counts().frames_sent >= n;
    }
    PyVideoCapture session;
    std::thread worker;
    int result = -1;
};

TEST_F(OutputLoopTest, TypeZeroSendsTheRgb24PictureUnchanged) {
    start(0, 640, 480);
    std::vector<uint8_t> rgb(640 * 480 * 3);
    for (int i = 0; i < 3; ++i) {
        for (size_t k = 0; k < rgb.size(); ++k) rgb[k] = static_cast<uint8_t>(k * 3 + i);
        push_frame(session, rgb.data(), 640, 480, 640 * 3);
        ASSERT_TRUE(wait_for_sent(i + 1));
    }
    EXPECT_EQ(last_picture(), rgb);
    stop();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(counts().frames_sent, 3u);
}

TEST_F(OutputLoopTest, TypeOneSendsYuy2) {
    start(1, 640, 480);
    auto grey = uniform_rgb(640, 480, 128, 128, 128);
    push_frame(session, grey.data(), 640, 480, 640 * 3);
    ASSERT_TRUE(wait_for_sent(1));
    const auto picture = last_picture();
    ASSERT_EQ(picture.size(), 640u * 480u * 2u);
    QueuedFrame source{grey.data(), 640, 480, 640 * 3};
    QueuedFrame expected;
    ASSERT_EQ(convert_to_yuy2(source, expected), 0);
    EXPECT_EQ(0, std::memcmp(picture.data(), expected.data, picture.size()));
    std::free(expected.data);
    for (size_t i = 0; i < picture.size(); i += 2) ASSERT_EQ(picture[i], picture[0]);
    stop();
}

TEST_F(OutputLoopTest, OtherTypesSendNothingAndFreeEveryPicture) {
    start(2, 16, 16);
    auto rgb = uniform_rgb(16, 16, 1, 2, 3);
    for (int i = 0; i < 10; ++i) {
        push_frame(session, rgb.data(), 16, 16, 48);
        ASSERT_TRUE(drained());
    }
    stop();
    EXPECT_EQ(library_send_calls(), 0u);
}

TEST_F(OutputLoopTest, PicturesOfAnotherSizeThanTheCameraAreNotSent) {
    start(0, 16, 16);
    auto wrong = uniform_rgb(8, 8, 1, 2, 3);
    push_frame(session, wrong.data(), 8, 8, 24);
    ASSERT_TRUE(drained());
    auto right = uniform_rgb(16, 16, 4, 5, 6);
    push_frame(session, right.data(), 16, 16, 48);
    ASSERT_TRUE(wait_for_sent(1));
    stop();
    EXPECT_EQ(library_send_calls(), 1u);
    EXPECT_EQ(last_picture(), right);
}

TEST_F(OutputLoopTest, SleepsWhileTheQueueIsEmptyAndWakesForPicturesAndTheStop) {
    start(0, 16, 16);
    clockid_t clock;
    ASSERT_EQ(pthread_getcpuclockid(worker.native_handle(), &clock), 0);
    auto cpu_ms = [&] {
        timespec t{};
        clock_gettime(clock, &t);
        return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    const double before = cpu_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A worker polling the empty queue would burn most of this time.
    EXPECT_LT(cpu_ms() - before, 30.0);
    auto rgb = uniform_rgb(16, 16, 7, 8, 9);
    push_frame(session, rgb.data(), 16, 16, 48);
    ASSERT_TRUE(wait_for_sent(1));
    stop();
    EXPECT_EQ(result, 0);
}

TEST_F(OutputLoopTest, ReturnsAtOnceWhenNotRunningAndLeavesTheQueue) {
    auto rgb = uniform_rgb(4, 4, 1, 2, 3);
    push_frame(session, rgb.data(), 4, 4, 12);
    session.running = false;
    EXPECT_EQ(output_loop(session), 0);
    EXPECT_TRUE(frames_waiting(session));
    clear_frames(session);
}

}  // namespace
