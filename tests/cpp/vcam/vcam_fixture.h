// Shared set-up for the virtual camera tests: a private channel per test and
// no real loopback device, so that tests run in parallel with anything else.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "trelvohdcam.h"
#include "trelvohdcam_channel.h"
#include "trelvohdcam_record.h"
#include "trelvohdcam_testing.h"

class VcamTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        channel_ = "/trelvohdcam_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
        ::setenv(TRELVOHDCAM_CHANNEL_ENV, channel_.c_str(), 1);
        ::setenv("TRELVOHDCAM_LOOPBACK", "off", 1);
        trelvohdcam_sys_set(nullptr);
        trelvohdcam_record_keep_frames(0);
        delete_live_cameras();
        trelvohdcam_record_reset();
    }
    void TearDown() override {
        delete_live_cameras();
        trelvohdcam_sys_set(nullptr);
        ::shm_unlink(channel_.c_str());
    }
    static void delete_live_cameras() {
        void* handles[64];
        size_t n = trelvohdcam_record_live_handles(handles, 64);
        for (size_t i = 0; i < n && i < 64; ++i) scDeleteCamera(handles[i]);
    }
    static std::vector<unsigned char> filled(size_t size, unsigned char value) {
        return std::vector<unsigned char>(size, value);
    }
    // A picture whose every byte differs from its neighbours, to catch offsets.
    static std::vector<unsigned char> pattern(size_t size, unsigned seed) {
        std::vector<unsigned char> v(size);
        for (size_t i = 0; i < size; ++i) v[i] = static_cast<unsigned char>((i * 31u + seed) & 0xff);
        return v;
    }
    std::string channel_;
};
