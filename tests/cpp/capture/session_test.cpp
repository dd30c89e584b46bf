#include "capture_fixture.h"

#include <future>
#include <tuple>

namespace {

using sim::ReadOutcome;

TEST_F(CaptureTest, StartOpensWithRequestedFormatAndStopReleasesEverything) {
    const auto id = sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    start_capture();
    ASSERT_TRUE(start(session, u"cam-a"));
    EXPECT_TRUE(session.is_running());
    EXPECT_TRUE(eventually([] { return sent().frames_sent >= 3; }));
    EXPECT_EQ(sent().last_width, 64);
    EXPECT_EQ(sent().last_height, 48);
    EXPECT_EQ(sent().live_cameras, 1u);

    sim::RequestedType requested;
    ASSERT_TRUE(sim::get_last_requested(id, &requested));
    EXPECT_EQ(requested.subtype, MFVideoFormat_YUY2);
    EXPECT_EQ(requested.width, 64u);
    EXPECT_EQ(requested.height, 48u);
    EXPECT_EQ(requested.rate_numerator, 200u);
    EXPECT_EQ(requested.rate_denominator, 1u);

    session.stop();
    EXPECT_FALSE(session.is_running());
    EXPECT_GE(counters(id).shutdowns, 1u);
    EXPECT_EQ(sent().live_cameras, 0u);
    EXPECT_EQ(sent().cameras_deleted, 1u);
    session.stop();  // a second stop does nothing
    EXPECT_EQ(sent().cameras_deleted, 1u);
    EXPECT_EQ(stop_capture(), "");
}

TEST_F(CaptureTest, RestartStopsTheOldSessionFirstAndReplacesTheCamera) {
    sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    ASSERT_TRUE(start(session, u"cam-a"));
    ASSERT_TRUE(start(session, u"cam-a"));
    EXPECT_EQ(sent().cameras_created, 2u);
    EXPECT_EQ(sent().live_cameras, 1u);
    start_capture();
    EXPECT_FALSE(start(session, u"CAM-A"));  // identity is case-sensitive
    EXPECT_EQ(stop_capture(), "source is null\n");
    EXPECT_FALSE(session.is_running());
    EXPECT_EQ(sent().live_cameras, 0u);
}

TEST_F(CaptureTest, GoodReadWithoutSampleEndsTheStartWaitButStreamTicksDoNot) {
    auto config = camera(u"cam-a");
    config.script = {{ReadOutcome::no_sample}};
    config.script.insert(config.script.begin(), 20, sim::ScriptStep{ReadOutcome::stream_tick});
    const auto id = sim::add_camera(config);
    sim::set_script(id, {{ReadOutcome::stream_tick}}, true);  // ticks forever
    mfcompat_set_clock_scale(1.0);  // start's time limit stays far away

    PyVideoCapture session;
    auto started = std::async(std::launch::async, [&] { return start(session, u"cam-a"); });
    EXPECT_TRUE(eventually([&] { return counters(id).reads >= 10; }));
    EXPECT_EQ(started.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_TRUE(session.first_sample_pending);
    sim::set_script(id, {{ReadOutcome::no_sample}, {ReadOutcome::block}}, true);
    ASSERT_EQ(started.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(started.get());
    session.stop();  // returns although the camera's read blocks
    EXPECT_FALSE(session.is_running());
}

TEST_F(CaptureTest, EveryReadFailingEndsTheSessionDuringStartWithTheReconnectionLines) {
    auto config = camera(u"cam-a");
    config.script = {{ReadOutcome::error, E_FAIL}};
    config.repeat_script = true;
    const auto id = sim::add_camera(config);
    sim::set_fault(id, sim::Fault::set_media_type, S_OK);
    // Both reconnections (10 s of platform time) must fit well inside start's 20 s, also when a
    // sanitizer slows the real-time work between the waits that the faster clock shortens.
    mfcompat_set_clock_scale(0.1);

    PyVideoCapture session;
    start_capture();
    std::thread unplugger([&] {
        // The first open happens before any read; unplug once reading has begun.
        eventually([&] { return counters(id).reads >= 1; });
        sim::unplug(id);
    });
    const ULONGLONG began = GetTickCount64();
    const bool started = start(session, u"cam-a");
    const ULONGLONG took = GetTickCount64() - began;
    unplugger.join();
    const std::string out = stop_capture();
    EXPECT_FALSE(started);
    EXPECT_FALSE(session.is_running());
    // On the platform's clock, as asked for: two 5000 ms reconnection waits, then the 300 ms
    // pause of the worker that gives up, which start's stop joins; all before start's own limit.
    EXPECT_GE(took, 10300u);
    EXPECT_LT(took, 20000u);
    EXPECT_EQ(out,
              "ReadSample failed: 0x80004005\n"
              "Try reconnect device 0...\n"
              "source is null\n"
              "Reconnect device 0 failed\n"
              "ReadSample failed: 0xC00D3E85\n"
              "Try reconnect device 0...\n"
              "source is null\n"
              "Reconnect device 0 failed\n");
}

TEST_F(CaptureTest, FailuresWhoseReconnectionSucceedKeepTheSessionRunning) {
    const auto id = sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    ASSERT_TRUE(start(session, u"cam-a"));
    start_capture();
    sim::set_script(id, {{ReadOutcome::error, MFCOMPAT_HR(0x80070015)}, {ReadOutcome::end_of_stream}}, false);
    ASSERT_TRUE(eventually([&] { return counters(id).readers_created >= 3; }));
    const auto before = sent().frames_sent;
    EXPECT_TRUE(eventually([&] { return sent().frames_sent >= before + 3; }));
    EXPECT_TRUE(session.is_running());
    session.stop();
    EXPECT_EQ(stop_capture(),
              "ReadSample failed: 0x80070015\n"
              "Try reconnect device 0...\n"
              "Reconnect device 0 success\n"
              "ENDOFSTREAM\n"
              "Try reconnect device 0...\n"
              "Reconnect device 0 success\n");
}

TEST_F(CaptureTest, OnlyAGoodReadResetsTheFailureCount) {
    // Failed, successful, failed reconnection with no good read between ends the session.
    auto config = camera(u"cam-a");
    const auto id = sim::add_camera(config);
    PyVideoCapture session;
    ASSERT_TRUE(start(session, u"cam-a"));
    const auto opens = counters(id).set_type_calls;

    start_capture();
    sim::set_fault(id, sim::Fault::set_media_type, E_FAIL);
    sim::set_script(id, {{ReadOutcome::error, E_FAIL}}, true);
    std::thread controller([&] {
        eventually([&] { return counters(id).set_type_calls >= opens + 1; });  // first: refused
        sim::set_fault(id, sim::Fault::set_media_type, S_OK);
        eventually([&] { return counters(id).set_type_calls >= opens + 2; });  // second: accepted
        sim::set_fault(id, sim::Fault::set_media_type, E_FAIL);
    });
    EXPECT_TRUE(eventually([&] { return !session.is_running(); }, std::chrono::seconds(10)));
    controller.join();
    session.stop();
    const std::string out = stop_capture();
    EXPECT_NE(out.find("Reconnect device 0 failed\n"), std::string::npos);
    const auto first_fail = out.find("Reconnect device 0 failed\n");
    const auto success = out.find("Reconnect device 0 success\n", first_fail);
    ASSERT_NE(success, std::string::npos) << out;
    EXPECT_NE(out.find("Reconnect device 0 failed\n", success), std::string::npos) << out;
    // The worker deletes the camera itself, 300 ms (scaled) after it cleared the running flag.
    EXPECT_TRUE(eventually([] { return sent().live_cameras == 0; }));
}

TEST_F(CaptureTest, EmptyReaderSlotAfterFailedReconnectionIsRetriedNotIgnored) {
    const auto id = sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    ASSERT_TRUE(start(session, u"cam-a"));
    start_capture();
    sim::set_fault(id, sim::Fault::create_reader, E_OUTOFMEMORY);
    sim::set_script(id, {{ReadOutcome::error, E_FAIL}}, false);
    // Reader creation fails twice in a row: the worker must give up instead of idling forever.
    EXPECT_TRUE(eventually([&] { return !session.is_running(); }, std::chrono::seconds(10)));
    session.stop();
    EXPECT_EQ(stop_capture(),
              "ReadSample failed: 0x80004005\n"
              "Try reconnect device 0...\n"
              "Reconnect device 0 failed\n"
              "Try reconnect device 0...\n"
              "Reconnect device 0 failed\n");
}

TEST_F(CaptureTest, EmptyReaderSlotRecoversWhenTheCameraComesBack) {
    const auto id = sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    ASSERT_TRUE(start(session, u"cam-a"));
    sim::set_fault(id, sim::Fault::create_reader, E_OUTOFMEMORY);
    const auto created = counters(id).readers_created;
    sim::set_script(id, {{ReadOutcome::error, E_FAIL}}, false);
    ASSERT_TRUE(eventually([&] { return counters(id).readers_created >= created + 1; }));
    sim::set_fault(id, sim::Fault::create_reader, S_OK);
    const auto before = sent().frames_sent;
    EXPECT_TRUE(eventually([&] { return sent().frames_sent >= before + 3; }, std::chrono::seconds(10)));
    EXPECT_TRUE(session.is_running());
}

TEST_F(CaptureTest, StopReturnsDuringABlockedReadAndEndsAReconnectionWaitAtOnce) {
    const auto id = sim::add_camera(camera(u"cam-a"));
    {
        PyVideoCapture session;
        ASSERT_TRUE(start(session, u"cam-a"));
        sim::set_script(id, {{ReadOutcome::block}}, true);
        EXPECT_TRUE(eventually([&] { return counters(id).reads >= 2; }));
        auto stopped = std::async(std::launch::async, [&] { session.stop(); });
        EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(session.is_running());
    }
    sim::set_script(id, {}, false);
    mfcompat_set_clock_scale(1.0);  // the full 5000 ms reconnection wait
    // stop, destruction and a restart all end the wait; the camera is not reopened after it.
    const std::string lost = "ReadSample failed: 0x80004005\nTry reconnect device 0...\n";
    const std::vector<std::pair<std::function<void(std::unique_ptr<PyVideoCapture>&)>, std::string>> stops = {
        {[](auto& session) { session->stop(); }, lost},
        {[](auto& session) { session.reset(); }, lost},
        {[](auto& session) { EXPECT_FALSE(start(*session, u"cam-missing")); }, lost + "source is null\n"},
    };
    for (const auto& [stop, expected] : stops) {
        auto session = std::make_unique<PyVideoCapture>();
        ASSERT_TRUE(start(*session, u"cam-a"));
        const auto before = counters(id);
        start_capture();
        sim::set_script(id, {{ReadOutcome::error, E_FAIL}}, false);
        ASSERT_TRUE(eventually([&] { return counters(id).shutdowns > before.shutdowns; }));  // waiting now
        const auto begin = std::chrono::steady_clock::now();
        stop(session);
        const auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_LT(took, std::chrono::milliseconds(1000));  // instead of the 5000 ms
        std::fprintf(stderr, "stop latency during a reconnection wait: %.1f ms\n",
                     std::chrono::duration<double, std::milli>(took).count());
        EXPECT_EQ(stop_capture(), expected);
        EXPECT_EQ(counters(id).readers_created, before.readers_created);
        if (session) {
            EXPECT_FALSE(session->is_running());
        }
    }
}

TEST_F(CaptureTest, StartGivesUpOnACameraThatNeverDeliversAGoodRead) {
    // 20 s of platform time, here 1 s; every reconnection succeeds. The real-time work between
    // the waits counts twenty times over on this clock, so a faster one would leave too little
    // room for the first reconnection under a sanitizer.
    mfcompat_set_clock_scale(0.05);
    struct Silent {
        ReadOutcome outcome;
        std::string first_lines;
    };
    const Silent kinds[] = {
        {ReadOutcome::block, "ReadSample failed: 0x800705B4\nTry reconnect device 0...\nReconnect device 0 success\n"},
        {ReadOutcome::stream_tick, ""},
        {ReadOutcome::end_of_stream, "ENDOFSTREAM\nTry reconnect device 0...\nReconnect device 0 success\n"},
    };
    for (const Silent& kind : kinds) {
        auto config = camera(u"cam-silent");
        config.script = {{kind.outcome}};
        config.repeat_script = true;
        const auto id = sim::add_camera(config);
        PyVideoCapture session;
        start_capture();
        const ULONGLONG began = GetTickCount64();
        EXPECT_FALSE(start(session, u"cam-silent"));
        const ULONGLONG took = GetTickCount64() - began;
        const std::string out = stop_capture();
        EXPECT_GE(took, 20000u);
        EXPECT_EQ(out.substr(0, kind.first_lines.size()), kind.first_lines);
        EXPECT_FALSE(session.is_running());
        EXPECT_GE(counters(id).shutdowns, 1u);
        EXPECT_EQ(sent().cameras_created, 0u);
        sim::remove_camera(id);
    }
}

TEST_F(CaptureTest, InterruptedStartStopsTheSession) {
    auto config = camera(u"cam-a");
    config.script = {{ReadOutcome::block}};
    config.repeat_script = true;
    const auto id = sim::add_camera(config);
    mfcompat_set_clock_scale(1.0);
    PyVideoCapture session;
    int asked = 0;
    EXPECT_FALSE(session.start(u"cam-a", u"", 64, 48, 200, u"YUY2", 0, [&] { return ++asked == 3; }));
    EXPECT_EQ(asked, 3);
    EXPECT_FALSE(session.is_running());
    EXPECT_FALSE(session.is_starting());
    EXPECT_EQ(counters(id).shutdowns, 1u);
    EXPECT_EQ(sent().cameras_created, 0u);
    // A camera that delivers makes start return before its caller is asked again and again.
    sim::set_script(id, {}, false);
    asked = 0;
    EXPECT_TRUE(session.start(u"cam-a", u"", 64, 48, 200, u"YUY2", 0, [&] { return ++asked > 1000; }));
    EXPECT_LT(asked, 1000);
}

TEST_F(CaptureTest, StartKeepsItsSettingsAsGivenAndRefusesZeroSizesBeforeAnyCameraOpens) {
    auto config = camera(u"cam-any");
    config.accept_any_format = true;
    const auto id = sim::add_camera(config);
    PyVideoCapture session;
    EXPECT_EQ(std::make_tuple(session.width, session.height, session.fps, session.type), std::make_tuple(1280, 720, 30, 0));
    EXPECT_EQ(session.subtype, MFVideoFormat_RGB24);
    ASSERT_TRUE(start(session, u"cam-any"));
    struct Request {
        const char16_t* device;
        uint32_t width, height, fps;
        const char16_t* subtype;
        int32_t type;
        GUID stored_subtype;
        const char* output;
    };
    const Request requests[] = {
        {u"cam-any", 0, 0, 30, u"YUY2", 0, MFVideoFormat_YUY2, ""},
        {u"cam-any", 0, 480, 30, u"YUY2", 0, MFVideoFormat_YUY2, ""},
        {u"cam-any", 640, 0, 30, u"YUY2", 0, MFVideoFormat_YUY2, ""},
        // Stored bit for bit: a width above INT32_MAX is held as a negative number.
        {u"missing", 4294967295u, 2, 15, u"P10", -7, MFVideoFormat_P010, "source is null\n"},
    };
    for (const Request& r : requests) {
        const auto opened = counters(id).set_type_calls;
        start_capture();
        EXPECT_FALSE(session.start(r.device, u"", r.width, r.height, r.fps, r.subtype, r.type)) << r.width << "x" << r.height;
        EXPECT_EQ(stop_capture(), r.output);
        EXPECT_FALSE(session.is_running());
        EXPECT_EQ(counters(id).set_type_calls, opened);
        EXPECT_EQ(std::make_tuple(session.width, session.height, session.fps, session.type),
                  std::make_tuple(int32_t(r.width), int32_t(r.height), int32_t(r.fps), r.type));
        EXPECT_EQ(session.subtype, r.stored_subtype);
    }
    EXPECT_EQ(sent().live_cameras, 0u);  // the running session was stopped first
}

TEST_F(CaptureTest, OnlyTheSessionThatCreatedTheVirtualCameraDeletesIt) {
    sim::add_camera(camera(u"cam-a"));
    sim::add_camera(camera(u"cam-b"));
    PyVideoCapture first, second;
    ASSERT_TRUE(start(first, u"cam-a"));
    ASSERT_TRUE(start(second, u"cam-b"));  // replaces the first session's camera
    EXPECT_EQ(sent().cameras_deleted, 1u);
    first.stop();
    EXPECT_EQ(sent().live_cameras, 1u);
    const auto before = sent().frames_sent;
    EXPECT_TRUE(eventually([&] { return sent().frames_sent >= before + 3; }));
    EXPECT_TRUE(second.is_running());
    second.stop();
    EXPECT_EQ(sent().live_cameras, 0u);
    EXPECT_EQ(sent().cameras_deleted, 2u);
}

TEST_F(CaptureTest, BadSecondCameraFallsBackToOne) {
    sim::add_camera(camera(u"cam-a"));
    PyVideoCapture session;
    start_capture();
    ASSERT_TRUE(start(session, u"cam-a", u"cam-missing"));
    session.switch_camera();  // no second camera: nothing happens
    EXPECT_EQ(session.active_device, 0);
    session.stop();
    EXPECT_EQ(stop_capture(), "source is null\nSecond device init failed, fallback to single cam\n");
}

TEST_F(CaptureTest, DualSessionSendsOnlyTheActiveCamerasPictures) {
    auto a = camera(u"cam-a", MFVideoFormat_RGB24);
    a.source = sim::FrameSource::solid_colour;
    a.blue = 200;
    auto b = camera(u"cam-b", MFVideoFormat_RGB24);
    b.source = sim::FrameSource::solid_colour;
    b.red = 200;
    sim::add_camera(a);
    sim::add_camera(b);
    trelvohdcam_record_keep_frames(1);

    auto last_blue = [] {
        std::vector<uint8_t> picture(64 * 48 * 3);
        if (trelvohdcam_record_last_frame(picture.data(), picture.size(), nullptr) != picture.size()) return -1;
        return int(picture[0]);
    };

    PyVideoCapture session;
    start_capture();
    ASSERT_TRUE(start(session, u"cam-a", u"cam-b", u"RGB24"));
    for (int round = 0; round < 3; ++round) {
        trelvohdcam_record_reset();
        EXPECT_TRUE(eventually([&] { return sent().frames_sent >= 5; }));
        // After the switch settles, every picture is of the active camera.
        trelvohdcam_record_reset();
        ASSERT_TRUE(eventually([&] { return sent().frames_sent >= 5; }));
        EXPECT_EQ(last_blue(), session.active_device == 0 ? 200 : 0);
        session.switch_camera();
    }
    session.stop();
    trelvohdcam_record_keep_frames(0);
    EXPECT_EQ(stop_capture(), "Switch to device 1\nSwitch to device 0\nSwitch to device 1\n");

    // The finished dual session left a reader in slot 1; a single session must not switch to it.
    start_capture();
    ASSERT_TRUE(start(session, u"cam-a", u"", u"RGB24"));
    EXPECT_TRUE(session.readers[1]);
    session.switch_camera();
    EXPECT_EQ(session.active_device, 0);
    session.stop();
    EXPECT_EQ(stop_capture(), "");
}

TEST_F(CaptureTest, DestroyingARunningOrEndedSessionJoinsEverything) {
    auto config = camera(u"cam-a");
    const auto id = sim::add_camera(config);
    {
        PyVideoCapture session;
        ASSERT_TRUE(start(session, u"cam-a"));
    }
    EXPECT_EQ(sent().live_cameras, 0u);
    {
        PyVideoCapture session;
        ASSERT_TRUE(start(session, u"cam-a"));
        start_capture();
        sim::unplug(id);
        EXPECT_TRUE(eventually([&] { return !session.is_running(); }, std::chrono::seconds(10)));
        stop_capture();
    }  // Ended: the worker's thread is still joinable here
    EXPECT_EQ(sent().live_cameras, 0u);
}

}  // namespace
