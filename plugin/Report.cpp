#include "plugin/Report.h"

#include <algorithm>

#include "plugin/Headroom.h"

namespace plugin {

namespace {

constexpr unsigned kMegabyteShift = 20;

// Figures in the status text. A figure is shown in the unit its size reads
// in (kB below 1 MB, MB below 1 GB, then GB; 1 kB = 1024 bytes), cut, not
// rounded, to whole kB and MB or to two decimals of a GB. Where that would
// put it at or across a threshold's end it does not cross (200.35 MB as
// "200 MB" beside -w 200), it gets up to three decimals, then a smaller
// unit, down to exact bytes: the text never contradicts the state.
using Wide = unsigned __int128;

struct Unit {
    unsigned shift;
    const char* name;
    unsigned decimals;  // shown at least
};
constexpr Unit kUnits[] = {{30, "GB", 2}, {20, "MB", 0}, {10, "kB", 0}, {0, "B", 0}};
constexpr size_t kUnitCount = sizeof kUnits / sizeof kUnits[0];
constexpr unsigned kMostDecimals = 3;

// `value` / 10^decimals, trailing zeros of the fraction dropped.
std::string DecimalText(uint64_t value, unsigned decimals) {
    const uint64_t unit = PowerOfTen(decimals);
    return QuotientText(value / unit, value % unit, decimals);
}

// -1, 0 or 1 as `shown` / 10^decimals units of 2^shift bytes lies below, at or
// above `end` MB. Both sides stay below 2^120: shown << shift is at most
// 1000 times a 64-bit figure, 10^scale below 2^44.
int CompareShown(uint64_t shown, unsigned decimals, unsigned shift, const Decimal& end) {
    const Wide left = (static_cast<Wide>(shown) << shift) * PowerOfTen(end.scale);
    const Wide right = (static_cast<Wide>(end.digits) << kMegabyteShift) * PowerOfTen(decimals);
    return left < right ? -1 : left > right ? 1 : 0;
}

// The ends a shown figure must keep its side of: the finite ends above 0
// of the ranges given (no figure lies below 0).
struct Ends {
    const Decimal* end[4];
    size_t count = 0;

    explicit Ends(const Options& options) {
        const auto add = [&](bool given, const Range& range) {
            // A share's ends are kept by the share the text shows beside it.
            if (!given || range.percent) return;
            if (!range.startInfinite && !range.start.negative && range.start.digits != 0) end[count++] = &range.start;
            if (!range.endInfinite && !range.end.negative && range.end.digits != 0) end[count++] = &range.end;
        };
        add(options.hasWarning, options.warning);
        add(options.hasCritical, options.critical);
    }
    const Decimal* const* begin() const { return end; }
    const Decimal* const* end_() const { return end + count; }
};

// `end` MB in `unit`, when three decimals hold it exactly.
bool EndIn(const Decimal& end, const Unit& unit, std::string* text) {
    const Wide number = (static_cast<Wide>(end.digits) << kMegabyteShift) * PowerOfTen(kMostDecimals);
    const Wide per = static_cast<Wide>(PowerOfTen(end.scale)) << unit.shift;
    if (number % per != 0 || number / per > UINT64_MAX) return false;
    *text = std::string(end.negative && end.digits != 0 ? "-" : "") +
            DecimalText(static_cast<uint64_t>(number / per), kMostDecimals) + " " + unit.name;
    return true;
}

// `bytes` as the text shows it, and the unit chosen. With `crossed`, only a
// unit that shows that end exactly (the note names it beside the figure).
std::string Figure(const Options& options, uint64_t bytes, const Decimal* crossed = nullptr, size_t* chosen = nullptr) {
    const Ends ends(options);
    const size_t natural = bytes >= (uint64_t{1} << 30) ? 0 : bytes >= (uint64_t{1} << 20) ? 1 : 2;
    if (ends.count == 0 && kUnits[natural].decimals == 0) {  // no range: whole kB or MB, as most checks show
        if (chosen != nullptr) *chosen = natural;
        return std::to_string(bytes >> kUnits[natural].shift) + " " + kUnits[natural].name;
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t u = natural; u < kUnitCount; ++u) {
            const Unit& unit = kUnits[u];
            std::string ignored;
            if (pass == 0 && crossed != nullptr && !EndIn(*crossed, unit, &ignored)) continue;
            const unsigned most = unit.shift == 0 ? 0 : kMostDecimals;
            for (unsigned decimals = unit.decimals; decimals <= most; ++decimals) {
                // Below 2^64: a unit of 2^10 or more bytes shows at most 3 decimals.
                const uint64_t shown = static_cast<uint64_t>((static_cast<Wide>(bytes) * PowerOfTen(decimals)) >> unit.shift);
                const bool agrees = std::all_of(ends.begin(), ends.end_(), [&](const Decimal* end) {
                    return CompareShown(shown, decimals, unit.shift, *end) == end->CompareAt(bytes, kMegabyteShift);
                });
                if (!agrees) continue;
                if (chosen != nullptr) *chosen = u;
                return DecimalText(shown, decimals) + " " + unit.name;
            }
        }
    }
    if (chosen != nullptr) *chosen = kUnitCount - 1;
    return std::to_string(bytes) + " B";  // not reached: bytes agree with every end
}

std::string StateWord(State state) { return state == State::Critical ? "critical" : "warning"; }

// Why `range` alerts at `value`: "below 10 MB", "above 200 MB", "from 100 to
// 200 MB", each end by `end`.
template <typename EndText>
std::string Crossed(const Range& range, bool below, EndText end) {
    if (below) return "below " + end(range.start);
    if (range.inside) return "from " + (range.startInfinite ? std::string("0") : end(range.start)) + " to " + end(range.end);
    return "above " + end(range.end);
}

// The range that gives `state` (Warning or Critical) and the end the figure
// crossed, for the note beside it.
const Decimal* CrossedEnd(const Range& range, bool below) {
    if (below) return &range.start;
    return range.inside || range.endInfinite ? nullptr : &range.end;
}

std::string Threshold(bool given, const Range& range, unsigned shift = kMegabyteShift) {
    return given ? range.TimesPowerOfTwo(shift) : std::string();
}

std::string Plural(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

// "postgres (pid 1234)", or "pid 1234" when the name is unknown.
std::string Who(const Sample& s) {
    const std::string pid = "pid " + std::to_string(s.pid);
    return s.name.empty() ? pid : Printable(s.name) + " (" + pid + ")";
}

}  // namespace

const char* StateName(State state) {
    switch (state) {
    case State::Ok: return "OK";
    case State::Warning: return "WARNING";
    case State::Critical: return "CRITICAL";
    case State::Unknown: break;
    }
    return "UNKNOWN";
}

State Evaluate(const Options& options, uint64_t bytes) {
    if (options.hasCritical && options.critical.AlertsAt(bytes, kMegabyteShift)) return State::Critical;
    if (options.hasWarning && options.warning.AlertsAt(bytes, kMegabyteShift)) return State::Warning;
    return State::Ok;
}

namespace {

// Orders the processes by how far they drive the state: the worse state
// first; within one, the farther past the range's end it alerts at (the
// smallest for a range that alerts below its start).
bool DecidesBefore(const Options& options, const Sample& a, State stateA, const Sample& b, State stateB) {
    if (stateA != stateB) return stateA > stateB;
    const Range* range = stateA == State::Critical ? &options.critical : stateA == State::Warning ? &options.warning : nullptr;
    const bool belowA = range != nullptr && range->BelowStartAt(a.bytes, kMegabyteShift);
    const bool belowB = range != nullptr && range->BelowStartAt(b.bytes, kMegabyteShift);
    if (belowA != belowB) return belowB;
    return belowA ? a.bytes < b.bytes : a.bytes > b.bytes;
}

uint64_t Total(const std::vector<Sample>& samples) {
    uint64_t total = 0;
    for (const Sample& s : samples) total = SaturatingSum(total, s.bytes);
    return total;
}

// The figure as the text shows it, and for a WARNING or CRITICAL one the
// note that names the end it crossed: "warning above 200 MB".
struct Shown {
    std::string figure;
    std::string note;
};

Shown WithNote(const Options& options, uint64_t bytes, State state) {
    if (state != State::Warning && state != State::Critical) return Shown{Figure(options, bytes), std::string()};
    const Range& range = state == State::Critical ? options.critical : options.warning;
    const bool below = range.BelowStartAt(bytes, kMegabyteShift);
    size_t unit = 0;
    Shown shown;
    shown.figure = Figure(options, bytes, range.percent ? nullptr : CrossedEnd(range, below), &unit);
    const auto end = [&](const Decimal& d) {
        if (range.percent) return d.TimesPowerOfTwo(0) + "%";
        std::string text;
        return EndIn(d, kUnits[unit], &text) ? text : d.TimesPowerOfTwo(0) + " MB";
    };
    shown.note = StateWord(state) + " " + Crossed(range, below, end);
    return shown;
}

// " (critical below 2)" when the count alerts; empty otherwise.
std::string CountNote(const Options& options, size_t count) {
    const State state = EvaluateCount(options, count);
    if (state == State::Ok) return std::string();
    const Range& range = state == State::Critical ? options.processesCritical : options.processesWarning;
    const auto end = [](const Decimal& d) { return d.TimesPowerOfTwo(0); };
    return " (" + StateWord(state) + " " + Crossed(range, range.BelowStartAt(count, 0), end) + ")";
}

std::string CountPerformanceData(const Options& options, size_t count) {
    return "processes=" + std::to_string(count) + ";" +
           Threshold(options.hasProcessesWarning, options.processesWarning, 0) + ";" +
           Threshold(options.hasProcessesCritical, options.processesCritical, 0) + ";0;";
}

State Worse(State a, State b) { return a > b ? a : b; }

}  // namespace

std::string SizeText(uint64_t bytes) { return Figure(Options(), bytes); }

FigureText ShowFigure(const Options& options, uint64_t bytes, State state) {
    const Shown shown = WithNote(options, bytes, state);
    return FigureText{shown.figure, shown.note};
}

State EvaluateCount(const Options& options, size_t count) {
    if (options.hasProcessesCritical && options.processesCritical.AlertsAt(count, 0)) return State::Critical;
    if (options.hasProcessesWarning && options.processesWarning.AlertsAt(count, 0)) return State::Warning;
    return State::Ok;
}

std::string Matched(const Options& options, size_t count, const std::string& before) {
    const std::string processes = before + Plural(count, "process", "processes");
    if (options.children) {
        const std::string roots = options.selector != Selector::Command ? "pid " + std::to_string(options.pid)
                                  : options.selection.IsOnlyCommand() ? "processes named " + options.selection.Names()
                                                                      : options.selection.Description();
        return roots + " with descendants: " + processes;
    }
    if (options.selection.IsOnlyCommand()) return processes + " named " + options.selection.Names();
    return options.selection.Description() + ": " + processes;
}

std::string EmptySelection(const Options& options, const std::string& text, State* state) {
    if (!options.HasCountRange()) {
        *state = options.emptyState;
        return EmptyLine(*state, text);
    }
    *state = EvaluateCount(options, 0);
    return std::string("MEMORY ") + StateName(*state) + " - " + text + CountNote(options, 0) + " | " +
           CountPerformanceData(options, 0) + "\n";
}

bool CriticalWhateverTheRest(const Options& options, const std::vector<Sample>& measured) {
    if (!options.hasCritical) return false;
    if (options.sum) return !measured.empty() && options.critical.AboveEndAt(Total(measured), kMegabyteShift);
    return std::any_of(measured.begin(), measured.end(),
                       [&](const Sample& s) { return Evaluate(options, s.bytes) == State::Critical; });
}

std::string StatusLine(const Options& options, const std::vector<Sample>& samples, State* state,
                       const Shortfall& shortfall, size_t* deciding) {
    const char* memory = MetricWords(options.metric);
    const Sample& largest = *std::max_element(samples.begin(), samples.end(),
                                              [](const Sample& a, const Sample& b) { return a.bytes < b.bytes; });
    const uint64_t total = Total(samples);

    std::string text;
    text.reserve(160);
    uint64_t figure = largest.bytes;
    const Sample* decider = &largest;
    if (!options.Several()) {
        *state = Evaluate(options, largest.bytes);
        const Shown shown = WithNote(options, largest.bytes, *state);
        text = Who(largest) + " uses " + shown.figure + " of " + memory;
        if (!shown.note.empty()) text += " (" + shown.note + ")";
    } else {
        // Those that could not be read were matched too.
        const size_t all = samples.size() + shortfall.unreadable;
        const std::string matched = Matched(options, all) + CountNote(options, all);
        if (options.sum) {
            figure = total;
            *state = Evaluate(options, total);
            const Shown shown = WithNote(options, total, *state);
            const bool lowerBound = shortfall.unreadable > 0 || !shortfall.hidden.empty();
            text = matched + (all == 1 ? " uses " : " use ") + (lowerBound ? "at least " : "") + shown.figure + " of " +
                   memory + " in total";
            if (!shown.note.empty()) text += " (" + shown.note + ")";
            if (samples.size() > 1) {
                text += ", largest pid " + std::to_string(largest.pid) + " with " + Figure(options, largest.bytes);
            }
        } else {
            // Each process is compared on its own; the one that decides the
            // state is named, and its figure is the one in the perfdata.
            size_t critical = 0, warning = 0;
            const Sample* worst = &largest;
            State worstState = Evaluate(options, largest.bytes);
            for (const Sample& s : samples) {
                const State each = Evaluate(options, s.bytes);
                critical += each == State::Critical;
                warning += each == State::Warning;
                if (DecidesBefore(options, s, each, *worst, worstState)) worst = &s, worstState = each;
            }
            *state = worstState;
            figure = worst->bytes;
            decider = worst;
            const char* one = options.selection.IsOnlyCommand() && !options.children ? ": pid " : ", pid ";
            const Shown shown = WithNote(options, largest.bytes, worst == &largest ? worstState : State::Ok);
            text = matched + (samples.size() == 1 ? one : ", largest pid ") + std::to_string(largest.pid) +
                   " uses " + shown.figure + " of " + memory;
            if (samples.size() == 1 && !shown.note.empty()) text += " (" + shown.note + ")";
            if (samples.size() > 1 && critical + warning > 0) {
                text += " (";
                if (critical > 0) text += std::to_string(critical) + " critical";
                if (critical > 0 && warning > 0) text += ", ";
                if (warning > 0) text += std::to_string(warning) + " warning";
                if (worst != &largest) {
                    const Shown decides = WithNote(options, worst->bytes, worstState);
                    text += "; pid " + std::to_string(worst->pid) + " with " + decides.figure + " is " + decides.note;
                } else {
                    text += "; " + shown.note;
                }
                text += ")";
            }
        }
        *state = Worse(*state, EvaluateCount(options, all));
    }

    text += HostShareText(options, figure);
    // What the figure leaves out comes last, after all that describes it.
    if (shortfall.unreadable > 0) text += "; " + std::to_string(shortfall.unreadable) + " could not be read";
    if (!shortfall.hidden.empty()) text += "; " + shortfall.hidden;

    if (deciding != nullptr) *deciding = static_cast<size_t>(decider - samples.data());
    const char* label = MetricName(options.metric);
    std::string line;
    line.reserve(text.size() + 128);
    line.append("MEMORY ").append(StateName(*state)).append(" - ").append(text).append(" | ");
    line.append(label).append("=").append(std::to_string(figure)).append("B;");
    line.append(Threshold(options.hasWarning, options.warning)).append(";");
    line.append(Threshold(options.hasCritical, options.critical)).append(";0;").append(MaximumField(options));
    if (options.Several()) {
        line.append(" ").append(CountPerformanceData(options, samples.size() + shortfall.unreadable));
        if (shortfall.unreadable > 0) line.append(" unreadable=").append(std::to_string(shortfall.unreadable)).append(";;;0;");
    }
    line.append("\n");
    // -v: the long output, one line for each process.
    if (options.verbose && samples.size() > 1) {
        for (const Sample& s : samples) {
            line.append(Who(s)).append(" uses ").append(Figure(options, s.bytes)).append(" of ").append(memory).append(" (");
            line.append(StateName(Evaluate(options, s.bytes))).append(")\n");
        }
    }
    return line;
}

std::string EmptyLine(State state, const std::string& text) {
    return std::string("MEMORY ") + StateName(state) + " - " + text + "\n";
}

std::string UnknownLine(const std::string& reason) { return "MEMORY UNKNOWN - " + reason + "\n"; }

}  // namespace plugin
