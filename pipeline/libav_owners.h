// Owners of the libav and scaler objects the pipeline keeps: each frees its object with libav's
// own call, so a reset or a destruction releases it exactly as the call would.
#pragma once

#include <cstdint>
#include <memory>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

struct AVFrameFree {
    void operator()(AVFrame* frame) const;  // the frame's buffers with it
};
struct AVPacketFree {
    void operator()(AVPacket* packet) const;
};
struct AVCodecContextFree {
    void operator()(AVCodecContext* context) const;  // closes it first where libavcodec needs that
};
struct SwsContextFree {
    void operator()(SwsContext* context) const;
};
struct AVMemoryFree {
    void operator()(uint8_t* bytes) const;  // memory from av_malloc
};

using AVFramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;
using AVMemoryPtr = std::unique_ptr<uint8_t, AVMemoryFree>;
