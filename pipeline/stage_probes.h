// Optional per-stage timing of the frame pipeline, for benchmarks: the CPU time of the thread that
// runs a stage, so that waiting for a core on a busy machine is not counted as the stage's work.
// Compiled in only when TRELVO_STAGE_PROBES is defined; otherwise every probe is an empty statement
// and the accumulators do not exist.
#pragma once

#include <cstdint>

enum class PipelineStage : int {
    decode = 0,       // Motion-JPEG packet in, decoded picture out
    rgb_conversion,   // decoded or raw picture to RGB24
    queue,            // taking a picture buffer and queuing the picture
    yuy2_conversion,  // RGB24 to YUY2 for output type 1
    send,             // the virtual camera library's send call
    count
};

#if defined(TRELVO_STAGE_PROBES)

#include <time.h>

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

// The calling thread's CPU time in nanoseconds.
inline uint64_t thread_cpu_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Measures the enclosing scope's thread CPU time and adds it to the stage when the scope ends.
class StageProbe {
public:
    explicit StageProbe(PipelineStage stage) : stage_(stage), start_(thread_cpu_nanoseconds()) {}
    ~StageProbe() { stage_probe_add(stage_, thread_cpu_nanoseconds() - start_); }
    StageProbe(const StageProbe&) = delete;
    StageProbe& operator=(const StageProbe&) = delete;

private:
    PipelineStage stage_;
    uint64_t start_;
};

#define TRELVO_PROBE_JOIN_INNER(a, b) a##b
#define TRELVO_PROBE_JOIN(a, b) TRELVO_PROBE_JOIN_INNER(a, b)
#define TRELVO_STAGE_PROBE(stage) ::StageProbe TRELVO_PROBE_JOIN(trelvo_stage_probe_, __LINE__)(stage)

#else

#define TRELVO_STAGE_PROBE(stage) static_cast<void>(0)

#endif
