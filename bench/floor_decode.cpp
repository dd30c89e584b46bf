// The floor: libavcodec's Motion-JPEG decoder alone, one thread, on a file of concatenated JPEG
// pictures. Prints one JSON line with the CPU time of the decode loop (file reading excluded).
//
//   floor_decode FILE [PASSES]
#include "jpeg_stream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

int64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t wall_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [PASSES]\n", argv[0]);
        return 2;
    }
    const int passes = argc > 2 ? std::atoi(argv[2]) : 1;
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto pictures = split_jpegs(data);
    if (pictures.empty()) {
        std::fprintf(stderr, "no JPEG pictures in %s\n", argv[1]);
        return 1;
    }

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) return 1;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();

    // One untimed picture first, so that the decoder's own set-up is not counted.
    auto decode = [&](std::vector<uint8_t>& picture) {
        packet->data = picture.data();
        packet->size = int(picture.size());
        int got = 0;
        if (avcodec_send_packet(ctx, packet) == 0) {
            while (avcodec_receive_frame(ctx, frame) == 0) {
                ++got;
                av_frame_unref(frame);
            }
        }
        return got;
    };
    decode(pictures[0]);

    int64_t decoded = 0;
    const int64_t cpu0 = cpu_ns(), wall0 = wall_ns();
    for (int p = 0; p < passes; ++p)
        for (auto& picture : pictures) decoded += decode(picture);
    const int64_t cpu = cpu_ns() - cpu0, wall = wall_ns() - wall0;

    std::printf("{\"pictures\": %lld, \"cpu_ns\": %lld, \"wall_ns\": %lld}\n", (long long)decoded, (long long)cpu,
                (long long)wall);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return decoded > 0 ? 0 : 1;
}
