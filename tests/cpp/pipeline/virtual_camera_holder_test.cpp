// Creation tokens of the virtual camera holder: a deletion names the camera it means.
#include "pipeline/virtual_camera_holder.h"

#include <trelvohdcam_record.h>

#include <gtest/gtest.h>

namespace {

trelvohdcam_record_counts counts() {
    trelvohdcam_record_counts c{};
    trelvohdcam_record_get(&c);
    return c;
}

TEST(VirtualCameraHolderTokens, OnlyTheTokenOfTheCameraHeldDeletesIt) {
    VirtualCameraHolder& holder = VirtualCameraHolder::instance();
    holder.delete_camera();
    trelvohdcam_record_reset();

    const uint64_t first = holder.create_camera(16, 8, 30.0f, 0);
    const uint64_t second = holder.create_camera(16, 8, 30.0f, 0);  // replaces the first
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(counts().cameras_deleted, 1u);

    holder.delete_camera(first);  // stale: the camera it created is gone already
    holder.delete_camera(0);      // names no camera
    EXPECT_EQ(counts().live_cameras, 1u);
    const uint8_t picture[16 * 8 * 3] = {};
    // Only the session whose start made the camera feeds it; the replaced one's pictures of the
    // same size would otherwise interleave with the new camera's.
    EXPECT_EQ(holder.send_frame(first, picture, 16, 8, 0), -1);
    EXPECT_EQ(holder.send_frame(0, picture, 16, 8, 0), -1);
    EXPECT_EQ(holder.send_frame(second, picture, 16, 8, 0), 0);
    EXPECT_EQ(counts().frames_sent, 1u);

    holder.delete_camera(second);
    EXPECT_EQ(counts().live_cameras, 0u);
    EXPECT_EQ(holder.send_frame(second, picture, 16, 8, 0), -1);
    holder.delete_camera(second);  // twice: still deleted once
    EXPECT_EQ(counts().cameras_deleted, 2u);

    // A token is never handed out again, so an old one cannot match a later camera.
    const uint64_t third = holder.create_camera(16, 8, 30.0f, 0);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    holder.delete_camera(second);
    EXPECT_EQ(counts().live_cameras, 1u);
    holder.delete_camera();
    EXPECT_EQ(counts().live_cameras, 0u);
}

}  // namespace
