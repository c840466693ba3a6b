#include "plugin/Report.h"

#include <algorithm>

#include "plugin/Headroom.h"

namespace plugin {

namespace {

constexpr unsigned kMegabyteShift = 20;

std::string Megabytes(uint64_t bytes) { return std::to_string(bytes >> kMegabyteShift) + " MB"; }

std::string Threshold(bool given, const Range& range) {
    return given ? range.TimesPowerOfTwo(kMegabyteShift) : std::string();
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
    for (const Sample& s : samples) total = total + s.bytes < total ? UINT64_MAX : total + s.bytes;  // saturate
    return total;
}

}  // namespace

std::string Matched(const Options& options, size_t count, const std::string& before) {
    const std::string processes = before + Plural(count, "process", "processes");
    if (options.selection.IsOnlyCommand()) return processes + " named " + Printable(options.target);
    return options.selection.Description() + ": " + processes;
}

bool CriticalWhateverTheRest(const Options& options, const std::vector<Sample>& measured) {
    if (!options.hasCritical) return false;
    if (options.sum) return !measured.empty() && options.critical.AboveEndAt(Total(measured), kMegabyteShift);
    return std::any_of(measured.begin(), measured.end(),
                       [&](const Sample& s) { return Evaluate(options, s.bytes) == State::Critical; });
}

std::string StatusLine(const Options& options, const std::vector<Sample>& samples, State* state, size_t* deciding) {
    const char* memory = MetricWords(options.metric);
    const Sample& largest = *std::max_element(samples.begin(), samples.end(),
                                              [](const Sample& a, const Sample& b) { return a.bytes < b.bytes; });
    const uint64_t total = Total(samples);

    std::string text;
    text.reserve(160);
    uint64_t figure = largest.bytes;
    const Sample* decider = &largest;
    if (options.selector != Selector::Command) {
        *state = Evaluate(options, largest.bytes);
        text = Who(largest) + " uses " + Megabytes(largest.bytes) + " of " + memory;
    } else {
        const std::string matched = Matched(options, samples.size());
        if (options.sum) {
            figure = total;
            *state = Evaluate(options, total);
            text = matched + (samples.size() == 1 ? " uses " : " use ") + Megabytes(total) + " of " + memory +
                   " in total";
            if (samples.size() > 1) text += ", largest pid " + std::to_string(largest.pid) + " with " + Megabytes(largest.bytes);
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
            const char* one = options.selection.IsOnlyCommand() ? ": pid " : ", pid ";
            text = matched + (samples.size() == 1 ? one : ", largest pid ") + std::to_string(largest.pid) +
                   " uses " + Megabytes(largest.bytes) + " of " + memory;
            if (samples.size() > 1 && critical + warning > 0) {
                text += " (";
                if (critical > 0) text += std::to_string(critical) + " critical";
                if (critical > 0 && warning > 0) text += ", ";
                if (warning > 0) text += std::to_string(warning) + " warning";
                if (worst != &largest) {
                    text += "; pid " + std::to_string(worst->pid) + " with " + Megabytes(worst->bytes) + " is " +
                            (worstState == State::Critical ? "critical" : "warning");
                }
                text += ")";
            }
        }
    }

    text += HostShareText(options, figure);

    if (deciding != nullptr) *deciding = static_cast<size_t>(decider - samples.data());
    const char* label = MetricName(options.metric);
    std::string line;
    line.reserve(text.size() + 128);
    line.append("MEMORY ").append(StateName(*state)).append(" - ").append(text).append(" | ");
    line.append(label).append("=").append(std::to_string(figure)).append("B;");
    line.append(Threshold(options.hasWarning, options.warning)).append(";");
    line.append(Threshold(options.hasCritical, options.critical)).append(";0;").append(MaximumField(options));
    if (options.selector == Selector::Command) line.append(" processes=").append(std::to_string(samples.size())).append(";;;0;");
    line.append("\n");
    // -v: the long output, one line for each process.
    if (options.verbose && samples.size() > 1) {
        for (const Sample& s : samples) {
            line.append(Who(s)).append(" uses ").append(Megabytes(s.bytes)).append(" of ").append(memory).append(" (");
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
