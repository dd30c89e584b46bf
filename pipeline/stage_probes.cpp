#include "pipeline/stage_probes.h"

#if defined(TRELVO_STAGE_PROBES)

#include <array>
#include <atomic>

namespace {

struct StageCounters {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> nanoseconds{0};
};

std::array<StageCounters, static_cast<size_t>(PipelineStage::count)> counters;

StageCounters* counters_for(PipelineStage stage) {
    auto index = static_cast<size_t>(stage);
    return index < counters.size() ? &counters[index] : nullptr;
}

}  // namespace

void stage_probe_add(PipelineStage stage, uint64_t nanoseconds) {
    if (StageCounters* c = counters_for(stage)) {
        c->calls.fetch_add(1, std::memory_order_relaxed);
        c->nanoseconds.fetch_add(nanoseconds, std::memory_order_relaxed);
    }
}

StageTotals stage_probe_totals(PipelineStage stage) {
    StageTotals totals;
    if (StageCounters* c = counters_for(stage)) {
        totals.calls = c->calls.load(std::memory_order_relaxed);
        totals.nanoseconds = c->nanoseconds.load(std::memory_order_relaxed);
    }
    return totals;
}

void stage_probe_reset() {
    for (auto& c : counters) {
        c.calls.store(0, std::memory_order_relaxed);
        c.nanoseconds.store(0, std::memory_order_relaxed);
    }
}

#endif
