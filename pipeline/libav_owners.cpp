#include "pipeline/libav_owners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

void AVFrameFree::operator()(AVFrame* frame) const { av_frame_free(&frame); }

void AVPacketFree::operator()(AVPacket* packet) const { av_packet_free(&packet); }

void AVCodecContextFree::operator()(AVCodecContext* context) const {
#if LIBAVCODEC_VERSION_MAJOR < 61
    avcodec_close(context);
#endif
    avcodec_free_context(&context);
}

void SwsContextFree::operator()(SwsContext* context) const { sws_freeContext(context); }

void AVMemoryFree::operator()(uint8_t* bytes) const { av_free(bytes); }
