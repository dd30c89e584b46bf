// Stage breakdown of the relay: runs the capture session on a simulated camera serving the given
// frames unpaced, in a build with the pipeline's timing probes, and prints one JSON line with the
// time each stage took per picture.
//
//   stage_bench FILE SUBTYPE WIDTH HEIGHT TYPE SECONDS
//   SUBTYPE: MJPEG (FILE holds concatenated JPEG pictures) or NV12 / YUY2 (FILE holds raw frames)
#include "jpeg_stream.h"

#include "capture/video_capture.h"
#include "pipeline/stage_probes.h"

#include <mfapi.h>
#include <mfcompat/simulated_camera_c.h>
#include <trelvohdcam_record.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#if !defined(TRELVO_STAGE_PROBES)
#error "stage_bench needs a build with TRELVO_STAGE_PROBES=ON"
#endif

namespace {

std::vector<std::vector<uint8_t>> split_fixed(const std::vector<uint8_t>& data, size_t size) {
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t at = 0; size && at + size <= data.size(); at += size)
        pictures.emplace_back(data.begin() + at, data.begin() + at + size);
    return pictures;
}

std::u16string wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

const char* stage_name(int stage) {
    static const char* names[] = {"decode", "rgb_conversion", "queue", "yuy2_conversion", "send"};
    return names[stage];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s FILE SUBTYPE WIDTH HEIGHT TYPE SECONDS\n", argv[0]);
        return 2;
    }
    const std::string file = argv[1], subtype = argv[2];
    const uint32_t width = uint32_t(std::atoi(argv[3])), height = uint32_t(std::atoi(argv[4]));
    const int32_t type = std::atoi(argv[5]);
    const double seconds = std::atof(argv[6]);

    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    GUID guid{};
    std::vector<std::vector<uint8_t>> frames;
    if (subtype == "MJPEG") {
        guid = MFVideoFormat_MJPG;
        frames = split_jpegs(data);
    } else if (subtype == "NV12") {
        guid = MFVideoFormat_NV12;
        frames = split_fixed(data, size_t(width) * height * 3 / 2);
    } else if (subtype == "YUY2") {
        guid = MFVideoFormat_YUY2;
        frames = split_fixed(data, size_t(width) * height * 2);
    } else {
        std::fprintf(stderr, "unknown subtype %s\n", subtype.c_str());
        return 2;
    }
    if (frames.empty()) {
        std::fprintf(stderr, "no frames in %s\n", file.c_str());
        return 1;
    }
    data.clear();
    data.shrink_to_fit();

    mfcompat_sim_format format{};
    std::memcpy(format.subtype, &guid, 16);
    format.has_subtype = format.has_frame_size = format.has_frame_rate = 1;
    format.width = width;
    format.height = height;
    format.rate_numerator = 30;
    format.rate_denominator = 1;
    const std::u16string name = u"Stage bench camera", link = u"sim://stage-bench";
    const int32_t camera = mfcompat_sim_add_camera(reinterpret_cast<const uint16_t*>(name.data()), int32_t(name.size()),
                                                   reinterpret_cast<const uint16_t*>(link.data()), int32_t(link.size()),
                                                   &format, 1, 0 /* unpaced */);
    if (camera < 0) return 1;
    std::vector<const uint8_t*> pointers;
    std::vector<size_t> sizes;
    for (auto& f : frames) {
        pointers.push_back(f.data());
        sizes.push_back(f.size());
    }
    if (mfcompat_sim_set_frames(camera, pointers.data(), sizes.data(), int32_t(frames.size())) != 0) return 1;
    frames.clear();

    int result = 1;
    {
        PyVideoCapture session;
        if (session.start(link, u"", width, height, 30, wide(subtype), type)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm-up
            trelvohdcam_record_counts before{}, after{};
            mfcompat_sim_counters cam_before{}, cam_after{};
            trelvohdcam_record_get(&before);
            mfcompat_sim_get_counters(camera, &cam_before);
            stage_probe_reset();
            const auto t0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            StageTotals totals[int(PipelineStage::count)];
            for (int s = 0; s < int(PipelineStage::count); ++s) totals[s] = stage_probe_totals(PipelineStage(s));
            trelvohdcam_record_get(&after);
            mfcompat_sim_get_counters(camera, &cam_after);
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            session.stop();

            const uint64_t sent = after.frames_sent - before.frames_sent;
            const uint64_t delivered = cam_after.samples_delivered - cam_before.samples_delivered;
            std::printf("{\"seconds\": %.3f, \"pictures_sent\": %llu, \"samples_delivered\": %llu, \"stages\": {",
                        elapsed, (unsigned long long)sent, (unsigned long long)delivered);
            for (int s = 0; s < int(PipelineStage::count); ++s)
                std::printf("%s\"%s\": {\"calls\": %llu, \"ns\": %llu}", s ? ", " : "", stage_name(s),
                            (unsigned long long)totals[s].calls, (unsigned long long)totals[s].nanoseconds);
            std::printf("}}\n");
            result = sent > 0 ? 0 : 1;
        }
    }
    mfcompat_sim_remove_camera(camera);
    return result;
}
