// The recording API: what tests of the callers rely on to see what was sent.
#include "vcam_fixture.h"

using RecordTest = VcamTest;

TEST_F(RecordTest, CreationAndDeletionAreCountedWithLastArgumentsAndLiveSet) {
    void* a = scCreateCamera(640, 480, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    void* b = scCreateCamera(320, 240, 12.5f, TRELVOHDCAM_TYPE_YUY2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);

    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.cameras_created, 2u);
    EXPECT_EQ(c.live_cameras, 2u);
    EXPECT_EQ(c.last_width, 320);
    EXPECT_EQ(c.last_height, 240);
    EXPECT_FLOAT_EQ(c.last_fps, 12.5f);
    EXPECT_EQ(c.last_type, TRELVOHDCAM_TYPE_YUY2);
    EXPECT_EQ(c.last_handle, b);

    void* live[4] = {};
    ASSERT_EQ(trelvohdcam_record_live_handles(live, 4), 2u);
    EXPECT_EQ(live[0], a);
    EXPECT_EQ(live[1], b);
    EXPECT_EQ(trelvohdcam_record_live_handles(nullptr, 0), 2u);
    EXPECT_EQ(trelvohdcam_record_live_handles(live, 1), 2u) << "count is reported beyond capacity";

    scDeleteCamera(a);
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.cameras_deleted, 1u);
    EXPECT_EQ(c.live_cameras, 1u);
    ASSERT_EQ(trelvohdcam_record_live_handles(live, 4), 1u);
    EXPECT_EQ(live[0], b);
    scDeleteCamera(b);
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.cameras_deleted, 2u);
    EXPECT_EQ(c.live_cameras, 0u);
    EXPECT_EQ(c.delete_failures, 0u);
}

TEST_F(RecordTest, FramesAreCountedPerHandleAndTheLastIsCopiedOnlyWhenAsked) {
    void* rgb = scCreateCamera(8, 4, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    void* yuy = scCreateCamera(8, 4, 30.0f, TRELVOHDCAM_TYPE_YUY2);
    void* other = scCreateCamera(8, 4, 30.0f, 7);
    ASSERT_TRUE(rgb && yuy && other);
    auto p = pattern(8 * 4 * 3, 5);

    ASSERT_EQ(scSendFrame(rgb, p.data()), 0);
    EXPECT_EQ(trelvohdcam_record_last_frame(nullptr, 0, nullptr), 0u) << "copy is off by default";

    trelvohdcam_record_keep_frames(1);
    ASSERT_EQ(scSendFrame(rgb, p.data()), 0);
    std::vector<unsigned char> got(200, 0xee);
    void* from = nullptr;
    ASSERT_EQ(trelvohdcam_record_last_frame(got.data(), got.size(), &from), 8u * 4 * 3);
    EXPECT_EQ(from, rgb);
    EXPECT_TRUE(std::equal(p.begin(), p.end(), got.begin()));
    EXPECT_EQ(got[p.size()], 0xee) << "nothing past the picture is written";

    // A short buffer gets a prefix, and the full size is still reported.
    std::vector<unsigned char> small(10, 0);
    EXPECT_EQ(trelvohdcam_record_last_frame(small.data(), small.size(), nullptr), 96u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), p.begin()));

    auto q = pattern(8 * 4 * 2, 9);
    ASSERT_EQ(scSendFrame(yuy, q.data()), 0);
    ASSERT_EQ(scSendFrame(yuy, q.data()), 0);
    ASSERT_EQ(scSendFrame(yuy, q.data()), 0);
    ASSERT_EQ(trelvohdcam_record_last_frame(got.data(), got.size(), &from), 8u * 4 * 2);
    EXPECT_EQ(from, yuy);
    EXPECT_TRUE(std::equal(q.begin(), q.end(), got.begin()));

    // Other types are accepted; their picture has no known size.
    ASSERT_EQ(scSendFrame(other, q.data()), 0);
    EXPECT_EQ(trelvohdcam_record_last_frame(nullptr, 0, &from), 0u);
    EXPECT_EQ(from, other);

    EXPECT_EQ(trelvohdcam_record_frames_for(rgb), 2u);
    EXPECT_EQ(trelvohdcam_record_frames_for(yuy), 3u);
    EXPECT_EQ(trelvohdcam_record_frames_for(other), 1u);
    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.frames_sent, 6u);
    EXPECT_EQ(c.send_failures, 0u);

    scDeleteCamera(yuy);
    EXPECT_EQ(trelvohdcam_record_frames_for(yuy), 3u) << "a deleted handle keeps its count";
    trelvohdcam_record_keep_frames(0);
}

TEST_F(RecordTest, BadHandlesAndArgumentsFailWithoutSideEffects) {
    auto p = filled(16 * 16 * 3, 1);
    EXPECT_EQ(scSendFrame(nullptr, p.data()), -1);
    EXPECT_EQ(scSendFrame(reinterpret_cast<void*>(uintptr_t{0xdeadbeef}), p.data()), -1);
    void* cam = scCreateCamera(16, 16, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    ASSERT_NE(cam, nullptr);
    EXPECT_EQ(scSendFrame(cam, nullptr), -1);
    scDeleteCamera(cam);
    EXPECT_EQ(scSendFrame(cam, p.data()), -1) << "a deleted handle is unknown";
    scDeleteCamera(cam);
    scDeleteCamera(nullptr);
    scDeleteCamera(reinterpret_cast<void*>(uintptr_t{0x1234567}));

    EXPECT_EQ(scCreateCamera(0, 480, 30.0f, TRELVOHDCAM_TYPE_RGB24), nullptr);
    EXPECT_EQ(scCreateCamera(640, -1, 30.0f, TRELVOHDCAM_TYPE_RGB24), nullptr);
    EXPECT_EQ(scCreateCamera(1 << 30, 1 << 30, 30.0f, TRELVOHDCAM_TYPE_RGB24), nullptr) << "size would overflow";

    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.cameras_created, 1u);
    EXPECT_EQ(c.create_failures, 3u);
    EXPECT_EQ(c.cameras_deleted, 1u);
    EXPECT_EQ(c.delete_failures, 3u);
    EXPECT_EQ(c.frames_sent, 0u);
    EXPECT_EQ(c.send_failures, 4u);
    EXPECT_EQ(c.live_cameras, 0u);
    EXPECT_EQ(c.last_width, 1 << 30);
    EXPECT_EQ(c.last_handle, nullptr);
}

TEST_F(RecordTest, ResetForgetsCountsButKeepsLiveCameras) {
    trelvohdcam_record_keep_frames(1);
    void* cam = scCreateCamera(4, 4, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    auto p = filled(4 * 4 * 3, 9);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    trelvohdcam_record_reset();
    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    EXPECT_EQ(c.cameras_created, 0u);
    EXPECT_EQ(c.frames_sent, 0u);
    EXPECT_EQ(c.live_cameras, 1u);
    EXPECT_EQ(trelvohdcam_record_frames_for(cam), 0u);
    EXPECT_EQ(trelvohdcam_record_last_frame(nullptr, 0, nullptr), 0u);
    // Still keeping frames after a reset, and the camera still works.
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    EXPECT_EQ(trelvohdcam_record_last_frame(nullptr, 0, nullptr), p.size());
    EXPECT_EQ(trelvohdcam_record_frames_for(cam), 1u);
    trelvohdcam_record_keep_frames(0);
}
