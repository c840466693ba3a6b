// The plugin's scan over a scripted process list: a full buffer may have cut
// the list, so it is asked again with more room until the answer fits.
#include <gtest/gtest.h>

#include "plugin/Processes.h"
#include "tests/fake/FakeWin32.h"

namespace {

TEST(ProcessListFake, GrowsTheBufferWhileTheAnswerFillsIt) {
    const struct {
        DWORD processes;
        size_t requests;  // EnumProcesses calls: 1024 entries first, then twice as many each time
    } cases[] = {{1023, 1}, {1024, 2}, {1025, 2}, {2048, 3}, {3000, 3}};
    for (const auto& c : cases) {
        fake::Platform& platform = fake::Reset();
        for (DWORD pid = 1; pid <= c.processes; ++pid) platform.processes.push_back(pid * 4);
        platform.counters.cb = sizeof platform.counters;
        EXPECT_EQ(plugin::MeasureProcessesNamed("svc", plugin::Metric::Working).size(), c.processes);
        EXPECT_EQ(platform.listRequests.size(), c.requests) << c.processes;
        EXPECT_TRUE(platform.live.empty()) << c.processes;  // every handle closed
    }
}

}  // namespace
