// Putting the exposition where it goes: standard output, or a textfile
// collector's file replaced whole.
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/ControlGroupMemory.h"
#include "platform/TextFile.h"
#include "plugin/Exposition.h"
#include "plugin/Report.h"

namespace plugin {

std::string TemporaryPath(const std::string& path, unsigned long pid) {
    char suffix[32] = ".";
    char* end = std::to_chars(suffix + 1, suffix + sizeof suffix - 4, pid).ptr;
    std::memcpy(end, ".tmp", 4);
    std::string temporary(path.size() + static_cast<size_t>(end + 4 - suffix), '\0');
    std::memcpy(&temporary[0], path.data(), path.size());
    std::memcpy(&temporary[path.size()], suffix, static_cast<size_t>(end + 4 - suffix));
    return temporary;
}

void MeasureGroupFigures(const Options& options, Outcome* outcome) {
    if (!platform::kControlGroups || options.selector != Selector::Command || !options.selection.IsOnlyGroup()) return;
    const std::string value = options.selection.FirstValue();
    std::string path = value, reason;
    if (options.selection.FirstCriterion() == Criterion::Service) {
        platform::ServiceProcesses service;
        if (!platform::FindServiceGroup(value.c_str(), &service, &path, &reason)) return;
        if (service.state != platform::ServiceState::Running) return;
    }
    // In the order of the group's figures: charged, working set, peak.
    static const Metric kGroupMetrics[] = {Metric::Group, Metric::GroupWorkingSet, Metric::GroupPeak};
    platform::GroupMemory memory;
    if (!platform::ReadGroupMemory(path.c_str(), platform::GroupFigure::Every, &memory, &reason)) return;
    for (int f = 0; f < 3; ++f) {
        if (memory.has[f]) outcome->group.emplace_back(kGroupMetrics[f], memory.figures[f]);
    }
    if (outcome->group.empty()) return;
    outcome->groupLimited = memory.limited;
    outcome->groupLimit = memory.limit;
}

int DeliverExposition(const Options& options, const Outcome& outcome, const std::string& line,
                      const std::string& temporary) {
    ExpositionRoom room;
    const std::string_view text = Exposition(options, outcome, &room);
    if (options.textfile.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    const platform::FileFailure failure =
        platform::ReplaceFileContent(options.textfile.c_str(), temporary.c_str(), text.data(), text.size());
    if (failure.step != platform::FileStep::None) {
        std::string reason = "cannot write " + Printable(options.textfile) + ": ";
        switch (failure.step) {
        case platform::FileStep::NotRegular: reason += "it is not a regular file; left as it is"; break;
        case platform::FileStep::Create:
            reason += "cannot create " + Printable(temporary) + ": " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::Write:
            reason += "cannot write " + Printable(temporary) + ": " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::Rename:
            reason += "cannot rename " + Printable(temporary) + " to it: " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::None: break;
        }
        const std::string unknown = UnknownLine(reason);
        std::fwrite(unknown.data(), 1, unknown.size(), stdout);
        return static_cast<int>(State::Unknown);
    }
    const size_t end = line.find('\n');
    std::fwrite(line.data(), 1, end == std::string::npos ? line.size() : end + 1, stdout);
    return 0;
}

}  // namespace plugin
