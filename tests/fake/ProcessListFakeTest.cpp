// The plugin's scan over a scripted process snapshot: every listed process of
// the name is measured, each handle closed, and one that cannot be opened is
// counted, never dropped.
#include <gtest/gtest.h>

#include "plugin/Processes.h"
#include "tests/fake/FakeWin32.h"

namespace {

TEST(ProcessListFake, MeasuresEveryListedProcessOfTheName) {
    const struct {
        DWORD processes;
        DWORD openFailure;
    } cases[] = {{1023, 0}, {1024, 0}, {1025, 0}, {2048, 0}, {3000, 0}, {3000, ERROR_ACCESS_DENIED}};
    for (const auto& c : cases) {
        fake::Platform& platform = fake::Reset();
        for (DWORD pid = 1; pid <= c.processes; ++pid) platform.processes.push_back(pid * 4);
        platform.counters.cb = sizeof platform.counters;
        platform.openProcessFailure = c.openFailure;
        plugin::Selection selection;
        std::string error;
        ASSERT_TRUE(selection.Add(plugin::Criterion::Command, "svc", &error));
        const plugin::Selected selected = plugin::MeasureSelection(selection, plugin::Metric::Working);
        EXPECT_EQ(selected.samples.size(), c.openFailure == 0 ? c.processes : 0) << c.processes;
        EXPECT_EQ(selected.unreadable, c.openFailure == 0 ? 0 : c.processes) << c.processes;
        EXPECT_TRUE(platform.live.empty()) << c.processes;  // every handle closed
    }
}

}  // namespace
