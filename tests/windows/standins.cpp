// Stand-ins for the FFmpeg and libyuv calls that the system makes, declared by the real headers
// so that their signatures are checked, for linking the system into a Windows DLL without Windows
// builds of those libraries. They are never run; each one fails.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}
#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/row.h>

extern "C" {

const AVCodec* avcodec_find_decoder(enum AVCodecID) { return nullptr; }
AVCodecContext* avcodec_alloc_context3(const AVCodec*) { return nullptr; }
int avcodec_open2(AVCodecContext*, const AVCodec*, AVDictionary**) { return AVERROR(ENOSYS); }
int avcodec_send_packet(AVCodecContext*, const AVPacket*) { return AVERROR(ENOSYS); }
int avcodec_receive_frame(AVCodecContext*, AVFrame*) { return AVERROR(ENOSYS); }
#if LIBAVCODEC_VERSION_MAJOR < 61
int avcodec_close(AVCodecContext*) { return 0; }
#endif
void avcodec_free_context(AVCodecContext** context) { *context = nullptr; }
AVPacket* av_packet_alloc(void) { return nullptr; }
void av_packet_free(AVPacket** packet) { *packet = nullptr; }

AVFrame* av_frame_alloc(void) { return nullptr; }
void av_frame_free(AVFrame** frame) { *frame = nullptr; }
void av_frame_unref(AVFrame*) {}
void* av_malloc(size_t) { return nullptr; }
void av_free(void*) {}
void av_freep(void* pointer) { *static_cast<void**>(pointer) = nullptr; }
int av_image_get_buffer_size(enum AVPixelFormat, int, int, int) { return AVERROR(ENOSYS); }
int av_image_fill_arrays(uint8_t*[4], int[4], const uint8_t*, enum AVPixelFormat, int, int, int) {
    return AVERROR(ENOSYS);
}
int av_image_check_size2(unsigned int, unsigned int, int64_t, enum AVPixelFormat, int, void*) { return AVERROR(ENOSYS); }
void av_image_copy_plane(uint8_t*, int, const uint8_t*, int, int, int) {}
int av_frame_get_buffer(AVFrame*, int) { return AVERROR(ENOSYS); }
void av_fast_padded_malloc(void* pointer, unsigned int* size, size_t) {
    *static_cast<void**>(pointer) = nullptr;
    *size = 0;
}
int av_opt_set_int(void*, const char*, int64_t, int) { return AVERROR(ENOSYS); }
const AVPixFmtDescriptor* av_pix_fmt_desc_get(enum AVPixelFormat) { return nullptr; }

struct SwsContext* sws_getContext(int, int, enum AVPixelFormat, int, int, enum AVPixelFormat, int, SwsFilter*,
                                  SwsFilter*, const double*) {
    return nullptr;
}
int sws_scale(struct SwsContext*, const uint8_t* const[], const int[], int, int, uint8_t* const[], const int[]) {
    return -1;
}
void sws_freeContext(struct SwsContext*) {}
struct SwsContext* sws_alloc_context(void) { return nullptr; }
int sws_init_context(struct SwsContext*, SwsFilter*, SwsFilter*) { return -1; }
int sws_isSupportedInput(enum AVPixelFormat) { return 0; }
const int* sws_getCoefficients(int) { return nullptr; }
int sws_setColorspaceDetails(struct SwsContext*, const int[4], int, const int[4], int, int, int, int) { return -1; }

}  // extern "C"

namespace libyuv {
extern "C" {

const struct YuvConstants kYuvJPEGConstants = {};
const struct YuvConstants kYuvI601Constants = {};
const struct YuvConstants kYuvH709Constants = {};
const struct YuvConstants kYuvF709Constants = {};
const struct YuvConstants kYuv2020Constants = {};
const struct YuvConstants kYuvV2020Constants = {};

int I420ToRGB24(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int) {
    return -1;
}
int J420ToRGB24(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int) {
    return -1;
}
int I422ToRGB24(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int) {
    return -1;
}
int I422ToRGB24Matrix(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                      const struct YuvConstants*, int, int) {
    return -1;
}
int I420ToRGB24Matrix(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                      const struct YuvConstants*, int, int) {
    return -1;
}
int I444ToRGB24Matrix(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                      const struct YuvConstants*, int, int) {
    return -1;
}
int I400ToARGBMatrix(const uint8_t*, int, uint8_t*, int, const struct YuvConstants*, int, int) { return -1; }
int J400ToARGB(const uint8_t*, int, uint8_t*, int, int, int) { return -1; }
int ARGBToRGB24(const uint8_t*, int, uint8_t*, int, int, int) { return -1; }
int RGB24ToI420(const uint8_t*, int, uint8_t*, int, uint8_t*, int, uint8_t*, int, int, int) { return -1; }
int I420ToYUY2(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int) {
    return -1;
}

}  // extern "C"
}  // namespace libyuv
