// The ring that keeps the diagnostic lines for the Python layer: numbering, overwriting, cutting,
// and writers on several threads.
#include "common/diagnostic_line.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string line_at(const DiagnosticRing& ring, std::uint64_t number) {
    char out[DiagnosticRing::kLineBytes];
    int length = ring.read(number, out, sizeof out);
    return length < 0 ? "<" + std::to_string(length) + ">" : std::string(out);
}

TEST(DiagnosticRing, KeepsTheLastLinesAndSaysWhichAreGoneOrNotYetWritten) {
    DiagnosticRing ring;
    EXPECT_EQ(ring.read(0, nullptr, 0), DiagnosticRing::kNotYet);
    const std::uint64_t total = DiagnosticRing::kCapacity + 5;
    for (std::uint64_t i = 0; i < total; ++i) ring.append(("line " + std::to_string(i)).c_str());
    EXPECT_EQ(ring.next(), total);
    struct Case { std::uint64_t number; std::string expected; };
    const Case cases[] = {
        {0, "<-1>"},
        {4, "<-1>"},
        {5, "line 5"},
        {total - 1, "line " + std::to_string(total - 1)},
        {total, "<-2>"},
    };
    for (const Case& c : cases) EXPECT_EQ(line_at(ring, c.number), c.expected) << c.number;
}

TEST(DiagnosticRing, CutsLongLinesAndSmallReadBuffersWithoutOverrun) {
    DiagnosticRing ring;
    std::string long_line(DiagnosticRing::kLineBytes * 2, 'x');
    ring.append(long_line.c_str());
    ring.append("");
    EXPECT_EQ(line_at(ring, 0), std::string(DiagnosticRing::kLineBytes - 1, 'x'));
    EXPECT_EQ(line_at(ring, 1), "");
    char small[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(ring.read(0, small, 3), static_cast<int>(DiagnosticRing::kLineBytes - 1));
    EXPECT_STREQ(small, "xx");
    EXPECT_EQ(small[3], '?');
}

TEST(DiagnosticRing, DiagnosticLineWritesStandardOutputAndTheProcessRing) {
    const std::uint64_t before = diagnostic_ring().next();
    testing::internal::CaptureStdout();
    diagnostic_line("Reconnect device %d failed\n", 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Reconnect device 1 failed\n");
    ASSERT_EQ(diagnostic_ring().next(), before + 1);
    EXPECT_EQ(line_at(diagnostic_ring(), before), "Reconnect device 1 failed\n");
}

TEST(DiagnosticRing, WritersOnSeveralThreadsEachGetTheirOwnWholeLine) {
    DiagnosticRing ring;
    constexpr int kThreads = 4;
    constexpr int kEach = DiagnosticRing::kCapacity / kThreads;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&ring, t] {
            for (int i = 0; i < kEach; ++i) ring.append(("writer " + std::to_string(t) + " line " + std::to_string(i)).c_str());
        });
    }
    // A reader runs alongside the writers (for the thread checker) and sees only whole lines.
    std::thread reader([&ring] {
        char out[DiagnosticRing::kLineBytes];
        for (std::uint64_t number = 0; number < ring.next(); ++number) {
            if (ring.read(number, out, sizeof out) >= 0) {
                EXPECT_EQ(std::string(out).rfind("writer ", 0), 0u);
            }
        }
    });
    for (std::thread& writer : writers) writer.join();
    reader.join();
    std::set<std::string> seen;
    for (std::uint64_t number = 0; number < ring.next(); ++number) seen.insert(line_at(ring, number));
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_EQ(ring.next(), static_cast<std::uint64_t>(kThreads * kEach));
}

}  // namespace
