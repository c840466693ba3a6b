#include "plugin/Exposition.h"

namespace plugin {

namespace {

// Whether a run measures a figure unasked: those read with the counters a
// check reads anyway are; those that walk the page tables only with -m.
enum class Cost { Cheap, Asked };

// One row per figure. The HELP texts are fixed: a collector that meets one
// metric with two HELP texts in its files drops series without a word.
// A figure that a later -m adds (anonymous or swapped memory, a control
// group's charge) is one more row here, its name MetricName's.
struct FigureEntry {
    Metric metric;
    Cost cost;
    const char* what;  // the start of both HELP texts
};

constexpr FigureEntry kFigures[] = {
    {Metric::Working, Cost::Cheap, "Working set (resident memory)"},
    {Metric::Private, Cost::Cheap, "Private memory committed"},
    {Metric::Peak, Cost::Cheap, "Peak working set"},
    {Metric::Proportional, Cost::Asked, "Proportional set size (shared pages divided among their users)"},
    {Metric::Unique, Cost::Asked, "Unique set size (memory no other process maps)"},
};

const FigureEntry& EntryOf(Metric metric) {
    for (const FigureEntry& entry : kFigures) {
        if (entry.metric == metric) return entry;
    }
    return kFigures[0];
}

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// The labels every series of the run carries: the selection's words, then
// --label's in their order.
std::string CommonLabels(const Options& options) {
    std::string labels = "selection=\"" + LabelValue(options.selectionWords) + "\"";
    for (const auto& label : options.labels) labels.append(",").append(label.first).append("=\"").append(LabelValue(label.second)).append("\"");
    return labels;
}

void Family(std::string* out, const std::string& name, const std::string& help) {
    out->append("# HELP ").append(name).append(" ").append(help).append("\n");
    out->append("# TYPE ").append(name).append(" gauge\n");
}

void Series(std::string* out, const std::string& name, const std::string& labels, uint64_t value) {
    out->append(name).append("{").append(labels).append("} ").append(std::to_string(value)).append("\n");
}

uint64_t SaturatingSum(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

}  // namespace

std::vector<Metric> ExpositionFigures(Metric asked) {
    std::vector<Metric> figures;
    for (const FigureEntry& entry : kFigures) {
        if (entry.cost == Cost::Cheap || entry.metric == asked) figures.push_back(entry.metric);
    }
    return figures;
}

std::string FigureMetricName(Metric metric, bool perProcess) {
    std::string name = perProcess ? "trelmark_process_" : "trelmark_";
    for (const char* p = MetricName(metric); *p != '\0'; ++p) name += *p == '-' ? '_' : *p;
    return name + "_bytes";
}

bool AddLabel(const char* text, std::vector<std::pair<std::string, std::string>>* labels, std::string* error) {
    const std::string given = text;
    const size_t equals = given.find('=');
    if (equals == std::string::npos) {
        *error = "invalid label \"" + Printable(given) + "\" (use --label NAME=VALUE)";
        return false;
    }
    const std::string name = given.substr(0, equals);
    bool valid = !name.empty() && IsNameStart(name[0]);
    for (char c : name) valid = valid && IsNameChar(c);
    if (!valid) {
        *error = "invalid label name \"" + Printable(name) +
                 "\" (a letter or _, then letters, digits and _; --label NAME=VALUE)";
        return false;
    }
    if (name.compare(0, 2, "__") == 0) {
        *error = "invalid label name \"" + name + "\": names that begin with __ are Prometheus' own";
        return false;
    }
    if (name == "selection" || name == "pid") {
        *error = "invalid label name \"" + name + "\": the plugin gives that label itself";
        return false;
    }
    for (const auto& label : *labels) {
        if (label.first == name) {
            *error = "label \"" + name + "\" given twice";
            return false;
        }
    }
    labels->emplace_back(name, given.substr(equals + 1));
    return true;
}

bool ExpositionOptionsAgree(Options* o, std::string* error) {
    if (!o->textfile.empty()) o->format = Format::Prometheus;
    if (o->format != Format::Prometheus) {
        if (!o->labels.empty() || o->perProcess) {
            *error = "--label and --per-process go with --format=prometheus or --textfile";
            return false;
        }
        return true;
    }
    o->figures = ExpositionFigures(o->metric);
    return true;
}

std::string LabelValue(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD: a collector skips a whole file for one byte that is not UTF-8
            ++i;
            continue;
        }
        const char c = text[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::string Exposition(const Options& options, const Outcome& outcome) {
    const std::string labels = CommonLabels(options);
    std::string out;
    out.reserve(1024);
    Family(&out, "trelmark_state", "State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.");
    Series(&out, "trelmark_state", labels, static_cast<uint64_t>(outcome.state));
    if (outcome.counted) {
        Family(&out, "trelmark_processes", "Processes the selection matched, read or not.");
        Series(&out, "trelmark_processes", labels, outcome.processes);
        Family(&out, "trelmark_unreadable_processes", "Processes the selection matched that could not be read.");
        Series(&out, "trelmark_unreadable_processes", labels, outcome.unreadable);
    }
    if (!outcome.measured || outcome.samples.empty()) return out;
    const Sample& deciding = outcome.samples[outcome.deciding < outcome.samples.size() ? outcome.deciding : 0];
    for (size_t f = 0; f < options.figures.size(); ++f) {
        const Metric metric = options.figures[f];
        uint64_t value = 0;
        if (options.sum) {
            for (const Sample& s : outcome.samples) value = SaturatingSum(value, f < s.figures.size() ? s.figures[f] : 0);
        } else {
            value = f < deciding.figures.size() ? deciding.figures[f] : 0;
        }
        const std::string name = FigureMetricName(metric, false);
        Family(&out, name,
               std::string(EntryOf(metric).what) +
                   " of the selection in bytes: with --sum the total, otherwise the process that decides the state.");
        Series(&out, name, labels, value);
    }
    if (options.perProcess) {
        for (size_t f = 0; f < options.figures.size(); ++f) {
            const Metric metric = options.figures[f];
            const std::string name = FigureMetricName(metric, true);
            Family(&out, name, std::string(EntryOf(metric).what) + " of one selected process in bytes.");
            for (const Sample& s : outcome.samples) {
                Series(&out, name, labels + ",pid=\"" + std::to_string(s.pid) + "\"", f < s.figures.size() ? s.figures[f] : 0);
            }
        }
    }
    return out;
}

}  // namespace plugin
