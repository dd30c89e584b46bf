// Optional per-stage timing of the frame pipeline, for benchmarks. Compiled in only when
// TRELVO_STAGE_PROBES is defined; otherwise every probe is an empty statement and the
// accumulators do not exist.
#pragma once

#include <cstdint>

enum class PipelineStage : int {
    decode = 0,       // Motion-JPEG packet in, decoded picture out
    rgb_conversion,   // decoded or raw picture to RGB24
    queue_copy,       // push_frame's copy into the queue
    yuy2_conversion,  // RGB24 to YUY2 for output type 1
    send,             // the virtual camera library's send call
    count
};

#if defined(TRELVO_STAGE_PROBES)

#include <chrono>

struct StageTotals {
    uint64_t calls = 0;
    uint64_t nanoseconds = 0;
};

// Adds one measured run of a stage. Thread-safe.
void stage_probe_add(PipelineStage stage, uint64_t nanoseconds);
// What was accumulated for a stage since the last reset.
StageTotals stage_probe_totals(PipelineStage stage);
// Sets every stage back to zero.
void stage_probe_reset();

// Times the enclosing scope and adds it to the stage when the scope ends.
class StageProbe {
public:
    explicit StageProbe(PipelineStage stage) : stage_(stage), start_(std::chrono::steady_clock::now()) {}
    ~StageProbe() {
        auto elapsed = std::chrono::steady_clock::now() - start_;
        stage_probe_add(stage_, static_cast<uint64_t>(
                                    std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
    }
    StageProbe(const StageProbe&) = delete;
    StageProbe& operator=(const StageProbe&) = delete;

private:
    PipelineStage stage_;
    std::chrono::steady_clock::time_point start_;
};

#define TRELVO_PROBE_JOIN_INNER(a, b) a##b
#define TRELVO_PROBE_JOIN(a, b) TRELVO_PROBE_JOIN_INNER(a, b)
#define TRELVO_STAGE_PROBE(stage) ::StageProbe TRELVO_PROBE_JOIN(trelvo_stage_probe_, __LINE__)(stage)

#else

#define TRELVO_STAGE_PROBE(stage) static_cast<void>(0)

#endif
