// Shared set-up for session tests: simulated cameras, a fast platform clock, captured output.
#pragma once

#include "capture/video_capture.h"

#include <mfcompat/platform_counters.h>
#include <mfcompat/simulated_camera.h>
#include <trelvohdcam_record.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace sim = mfcompat::sim;

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::remove_all_cameras();
        mfcompat_set_clock_scale(0.01);  // 5000 ms waits take 50 ms
        trelvohdcam_record_reset();
    }
    void TearDown() override {
        sim::remove_all_cameras();
        mfcompat_set_clock_scale(1.0);
        if (capturing_) std::fputs(stop_capture().c_str(), stderr);
    }

    static sim::CameraConfig camera(const std::u16string& link, const GUID& subtype = MFVideoFormat_YUY2,
                                    uint32_t width = 64, uint32_t height = 48) {
        sim::CameraConfig config;
        config.friendly_name = u"Simulated " + link;
        config.symbolic_link = link;
        config.formats = {sim::format(subtype, width, height, 200, 1)};
        return config;
    }

    static bool start(PyVideoCapture& session, const std::u16string& first, const std::u16string& second = u"",
                      const char16_t* subtype = u"YUY2", uint32_t width = 64, uint32_t height = 48,
                      int32_t type = 0) {
        return session.start(first, second, width, height, 200, subtype, type);
    }

    void start_capture() {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        capturing_ = true;
    }
    std::string stop_capture() {
        std::fflush(stdout);
        capturing_ = false;
        return ::testing::internal::GetCapturedStdout();
    }

    // Polls until the condition holds; false after the timeout.
    static bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    static sim::Counters counters(sim::CameraId id) {
        sim::Counters c;
        sim::get_counters(id, &c);
        return c;
    }

    static trelvohdcam_record_counts sent() {
        trelvohdcam_record_counts c{};
        trelvohdcam_record_get(&c);
        return c;
    }

private:
    bool capturing_ = false;
};
