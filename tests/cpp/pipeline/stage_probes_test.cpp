// The timing probes exist only in builds made with them; elsewhere this file adds no tests.
#include "pipeline/stage_probes.h"

#if defined(TRELVO_STAGE_PROBES)

#include "pipeline_test_support.h"

#include "pipeline/frame_decoder.h"
#include "pipeline/output_worker.h"

#include <chrono>
#include <thread>

namespace {

TEST(StageProbes, EachStageCountsItsOwnRuns) {
    PyVideoCapture session;
    session.subtype = MFVideoFormat_RGB24;
    session.width = 8;
    session.height = 4;
    stage_probe_reset();
    std::vector<uint8_t> rgb(8 * 4 * 3, 77);
    process_sample(session, pipeline_test::make_sample(rgb).Get());
    process_sample(session, pipeline_test::make_sample(rgb).Get());
    EXPECT_EQ(stage_probe_totals(PipelineStage::rgb_conversion).calls, 2u);
    EXPECT_EQ(stage_probe_totals(PipelineStage::queue).calls, 4u);
    EXPECT_EQ(stage_probe_totals(PipelineStage::decode).calls, 0u);

    QueuedFrame source{rgb.data(), 8, 4, 24};
    QueuedFrame result;
    ASSERT_EQ(convert_to_yuy2(source, result), 0);
    std::free(result.data);
    EXPECT_EQ(stage_probe_totals(PipelineStage::yuy2_conversion).calls, 1u);
    EXPECT_GT(stage_probe_totals(PipelineStage::rgb_conversion).nanoseconds, 0u);

    stage_probe_reset();
    EXPECT_EQ(stage_probe_totals(PipelineStage::queue).calls, 0u);
    EXPECT_EQ(stage_probe_totals(PipelineStage::count).calls, 0u);
    pipeline_test::take_all(session);
}

TEST(StageProbes, CountTheThreadsCpuTimeNotTheWait) {
    // A stage that waits (for a lock, or for a core on a busy machine) has done no work meanwhile.
    stage_probe_reset();
    {
        TRELVO_STAGE_PROBE(PipelineStage::send);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(stage_probe_totals(PipelineStage::send).calls, 1u);
    EXPECT_LT(stage_probe_totals(PipelineStage::send).nanoseconds, 25'000'000u);
    stage_probe_reset();
}

}  // namespace

#endif
