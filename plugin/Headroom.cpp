#include "plugin/Headroom.h"

#include "keel/Error.h"
#include "platform/ControlGroupMemory.h"
#include "platform/Win32.h"
#include "plugin/Report.h"

namespace plugin {

namespace {

constexpr unsigned kMegabyteShift = 20;
constexpr unsigned kMaxShownDecimals = 12;  // a byte past a bound of 256 GiB still shows

// numerator / denominator rounded down, in 64 bits where it fits.
unsigned __int128 Quotient(unsigned __int128 numerator, uint64_t denominator) {
    if ((numerator >> 64) == 0) return static_cast<uint64_t>(numerator) / denominator;
    return numerator / denominator;
}

// numerator / denominator rounded down to `decimals` places, without
// trailing zeros: never above the exact value.
std::string Fixed(unsigned __int128 numerator, uint64_t denominator, unsigned decimals) {
    const uint64_t unit = PowerOfTen(decimals);
    const unsigned __int128 scaled = Quotient(numerator * unit, denominator);
    return QuotientText(static_cast<uint64_t>(scaled / unit), static_cast<uint64_t>(scaled % unit), decimals);
}

// The bounds of the ranges given in the unit the text shows (shares or MB).
struct Bounds {
    const Decimal* items[4];
    size_t count = 0;
    Bounds(const Options& options, bool shares) {
        for (const Range* range : {options.hasWarning ? &options.warning : nullptr,
                                   options.hasCritical ? &options.critical : nullptr}) {
            if (range == nullptr || range->percent != shares) continue;
            if (!range->startInfinite) items[count++] = &range->start;
            if (!range->endInfinite) items[count++] = &range->end;
        }
    }
};

// numerator / denominator with as many decimals (from `decimals`) as it
// takes never to read as a bound it is not: rounded down, a figure past a
// bound would otherwise show as the bound itself.
std::string Precise(unsigned __int128 numerator, uint64_t denominator, const Bounds& bounds, unsigned decimals) {
    for (;; ++decimals) {
        const unsigned __int128 shown = Quotient(numerator * PowerOfTen(decimals), denominator);
        bool ambiguous = false;
        for (size_t i = 0; i < bounds.count; ++i) {
            const Decimal* bound = bounds.items[i];
            const bool showsBound = shown * PowerOfTen(bound->scale) ==
                                    static_cast<unsigned __int128>(bound->digits) * PowerOfTen(decimals);
            const bool isBound = numerator * PowerOfTen(bound->scale) ==
                                 static_cast<unsigned __int128>(bound->digits) * denominator;
            ambiguous = ambiguous || (showsBound && !isBound && !bound->negative);
        }
        if (!ambiguous || decimals >= kMaxShownDecimals) return Fixed(numerator, denominator, decimals);
    }
}

std::string Amount(uint64_t bytes) { return SizeText(bytes); }

// The figure's share of `reference`: whole percent, or the first digit
// that is not zero below 1%.
std::string Share(const Options& options, uint64_t figure, uint64_t reference) {
    if (reference == 0) return "all";
    const unsigned __int128 hundredfold = static_cast<unsigned __int128>(figure) * 100;
    unsigned decimals = 0;
    while (figure != 0 && decimals < 3 && hundredfold * PowerOfTen(decimals) / reference == 0) ++decimals;
    return Precise(hundredfold, reference, Bounds(options, true), decimals) + "%";
}

}  // namespace

uint64_t HostMemory() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) {
        throw Keel::Error("cannot read the host's physical memory, which a share (%) is taken of");
    }
    return status.ullTotalPhys;
}

bool HasShares(const Options& options) {
    return (options.hasWarning && options.warning.percent) || (options.hasCritical && options.critical.percent);
}

void SetReference(Options* options, uint64_t reference) {
    options->warning.reference = reference;
    options->critical.reference = reference;
    if (HasShares(*options)) {
        options->hasMaximum = true;
        options->maximum = reference;
    }
}

std::string HostShareText(const Options& options, uint64_t figure) {
    if (!HasShares(options)) return std::string();
    const uint64_t host = options.warning.percent ? options.warning.reference : options.critical.reference;
    return "; " + Share(options, figure, host) + " of the host's " + Amount(host);
}

std::string MaximumField(const Options& options) {
    return options.hasMaximum ? std::to_string(options.maximum) : std::string();
}

std::string GroupCheck(Options& options, State* state) {
    const auto option = [&options] { return std::string("-m ") + MetricName(options.metric); };
    if (!platform::kControlGroups) {
        throw Keel::Error(option() + " reads a Linux control group's own counters, which Windows does not keep: use "
                                   "--sum -m private for the memory a service's processes have committed");
    }
    if (options.selector != Selector::Command || !options.selection.IsOnlyGroup()) {
        const char* instead = options.metric == Metric::GroupPeak ? "-m peak, each process's own peak"
                              : options.metric == Metric::GroupWorkingSet
                                  ? "-m working, each process's working set"
                                  : "-m working for each process, or --sum -m pss for their total";
        throw Keel::Error(option() + " reads a control group's own counters and needs --service or --cgroup: for "
                                   "these processes use " + instead);
    }
    const std::string& value = options.selection.FirstValue();
    const std::string who = options.selection.Description();
    // A group is read at the path given; a service's is found first.
    std::string found, reason;
    const bool service = options.selection.FirstCriterion() == Criterion::Service;
    if (service) {
        platform::ServiceProcesses unit;
        if (!platform::FindServiceGroup(value.c_str(), &unit, &found, &reason)) {
            throw Keel::Error("cannot find service " + Printable(value) + ": " + Printable(reason));
        }
        if (unit.state == platform::ServiceState::Missing) throw Keel::Error("no service named " + Printable(value));
        if (unit.state == platform::ServiceState::NotRunning) {
            *state = options.emptyState;
            return EmptyLine(*state, who + " is not running (" + Printable(unit.detail) + ")");
        }
    }
    static const platform::GroupFigure kFigures[] = {platform::GroupFigure::Charged, platform::GroupFigure::WorkingSet,
                                                     platform::GroupFigure::Peak};
    platform::GroupMemory memory;
    const int which = static_cast<int>(options.metric) - static_cast<int>(Metric::Group);
    if (!platform::ReadGroupMemory((service ? found : value).c_str(), kFigures[which], &memory, &reason)) {
        throw Keel::Error(who + ": " + Printable(reason));
    }
    const uint64_t host = HostMemory();
    const bool byLimit = memory.limited && memory.limit <= host;
    const uint64_t reference = byLimit ? memory.limit : host;
    SetReference(&options, reference);
    if (memory.limited && !HasShares(options)) {
        options.hasMaximum = true;
        options.maximum = memory.limit;
    }
    *state = Evaluate(options, memory.bytes);

    const FigureText shown = ShowFigure(options, memory.bytes, *state);
    const std::string& figure = shown.figure;
    // One string, appended to in place: the line is most of this check's own work.
    std::string line;
    line.reserve(320 + who.size());
    line.append("MEMORY ").append(StateName(*state)).append(" - ").append(who);
    // systemd's words for a unit, the kernel's for a group.
    if (service) line.append(": its control group");
    switch (options.metric) {
    case Metric::GroupWorkingSet:
        line.append("'s working set is ").append(figure).append(" (");
        if (!shown.note.empty()) line.append(shown.note).append("; ");
        line.append(Amount(memory.charged)).append(" charged less ").append(Amount(memory.inactiveFile));
        line.append(" of inactive file cache)");
        break;
    case Metric::GroupPeak: line.append("'s peak charge is ").append(figure); break;
    default: line.append(" holds ").append(figure).append(" of memory"); break;
    }
    if (!shown.note.empty() && options.metric != Metric::GroupWorkingSet) line.append(" (").append(shown.note).append(")");
    line.append(", ").append(Share(options, memory.bytes, reference));
    if (byLimit) {
        line.append(" of its limit of ").append(Amount(memory.limit));
    } else if (memory.limited) {
        line.append(" of the host's ").append(Amount(host)).append(", below its limit of ").append(Amount(memory.limit));
    } else {
        line.append(" of the host's ").append(Amount(host)).append(", no limit set");
    }

    const char* label = MetricName(options.metric);
    const auto threshold = [](bool given, const Range& range) {
        return given ? range.TimesPowerOfTwo(kMegabyteShift) : std::string();
    };
    line.append(" | ").append(label).append("=").append(std::to_string(memory.bytes)).append("B;");
    line.append(threshold(options.hasWarning, options.warning)).append(";");
    line.append(threshold(options.hasCritical, options.critical)).append(";0;");
    line.append(MaximumField(options)).append("\n");
    return line;
}

}  // namespace plugin
