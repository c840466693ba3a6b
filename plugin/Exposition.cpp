#include "plugin/Exposition.h"

#include "platform/ProcessMemory.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace plugin {

namespace {

// Whether a run measures a figure unasked: those read from status are
// (where the system keeps them); those that walk the page tables only with
// -m. A control group's own figures are read once for the group, with one
// --service or --cgroup (Textfile.cpp).
enum class Cost { Cheap, Asked, Group };

// One row per figure, its names and HELP texts spelt out whole, so that a
// run only copies them. The HELP texts are fixed: a collector that meets one
// metric with two HELP texts in its files drops series without a word.
// A figure that a later -m adds (anonymous or swapped memory, a control
// group's charge) is one more row here; its name is MetricName's with '-'
// as '_' (a test holds each row to that).
struct FigureEntry {
    Metric metric;
    Cost cost;
    std::string_view name;           // the selection's figure
    std::string_view processName;    // each process's, with --per-process
    std::string_view lead;           // the name's HELP and TYPE lines, then the name and '{' of its series
    std::string_view processHeader;
};

#define TRELMARK_HEADER(name, help) "# HELP " name " " help "\n# TYPE " name " gauge\n"
#define TRELMARK_LEAD(name, help) TRELMARK_HEADER(name, help) name "{"
#define TRELMARK_FIGURE(metric, cost, figure, what)                                                             \
    {                                                                                                           \
        metric, cost, "trelmark_" figure "_bytes", "trelmark_process_" figure "_bytes",                         \
            TRELMARK_LEAD("trelmark_" figure "_bytes",                                                          \
                          what " of the selection in bytes: with --sum the total, otherwise the process that "   \
                               "decides the state."),                                                           \
            TRELMARK_HEADER("trelmark_process_" figure "_bytes", what " of one selected process in bytes.")     \
    }

constexpr FigureEntry kFigures[] = {
    TRELMARK_FIGURE(Metric::Working, Cost::Cheap, "working", "Working set (resident memory)"),
    TRELMARK_FIGURE(Metric::Private, Cost::Cheap, "private", "Private memory committed"),
    TRELMARK_FIGURE(Metric::Peak, Cost::Cheap, "peak", "Peak working set"),
    TRELMARK_FIGURE(Metric::Proportional, Cost::Asked, "pss",
                    "Proportional set size (shared pages divided among their users)"),
    TRELMARK_FIGURE(Metric::Unique, Cost::Asked, "uss", "Unique set size (memory no other process maps)"),
    TRELMARK_FIGURE(Metric::Swap, Cost::Cheap, "swap", "Swapped-out memory"),
    TRELMARK_FIGURE(Metric::Anonymous, Cost::Cheap, "anon", "Resident anonymous memory (heap and stacks)"),
    TRELMARK_FIGURE(Metric::Group, Cost::Group, "cgroup", "Memory charged to the control group"),
    TRELMARK_FIGURE(Metric::GroupWorkingSet, Cost::Group, "cgroup_workingset",
                    "Working set of the control group (its charge less inactive file cache)"),
    TRELMARK_FIGURE(Metric::GroupPeak, Cost::Group, "cgroup_peak", "Peak charge of the control group"),
};

static_assert(sizeof kFigures / sizeof kFigures[0] <= Sample::kMaxFigures, "a sample holds every figure");

constexpr size_t kFigureCount = sizeof kFigures / sizeof kFigures[0];
static_assert(kFigureCount == static_cast<size_t>(Metric::GroupPeak) + 1, "a row for every metric");

// Each metric's row in the table, looked up once at compile time.
struct FigureRows {
    unsigned char of[kFigureCount];
};
constexpr FigureRows RowsOf() {
    FigureRows rows{};
    for (size_t i = 0; i < kFigureCount; ++i) rows.of[static_cast<size_t>(kFigures[i].metric)] = static_cast<unsigned char>(i);
    return rows;
}
constexpr FigureRows kRows = RowsOf();

const FigureEntry& EntryOf(Metric metric) { return kFigures[kRows.of[static_cast<size_t>(metric)]]; }

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// The bytes a label value holds as they are: ASCII but for the three the
// format escapes.
struct PlainBytes {
    bool is[256];
};
constexpr PlainBytes PlainOnes() {
    PlainBytes plain{};
    for (unsigned c = 0; c < 0x80; ++c) plain.is[c] = c != '\\' && c != '"' && c != '\n';
    return plain;
}
constexpr PlainBytes kPlain = PlainOnes();

// The text, written straight into one string: a run writes a few dozen
// pieces, each copied once.
class Text {
public:
    // Within 2 KB the string's zeroing costs a few dozen instructions; a
    // larger text grows as it must.
    explicit Text(size_t capacity) : out_(capacity, '\0'), begin_(&out_[0]), p_(begin_), end_(p_ + capacity) {}
    // Into the caller's `room` while the text fits, then into a string of
    // its own.
    Text(char* room, size_t size) : begin_(room), p_(room), end_(room + size) {}
    Text& operator<<(std::string_view piece) {
        if (piece.size() > static_cast<size_t>(end_ - p_)) Grow(piece.size());
        std::memcpy(p_, piece.data(), piece.size());
        p_ += piece.size();
        return *this;
    }
    Text& operator<<(uint64_t value) {
        if (end_ - p_ < 20) Grow(20);
        p_ = std::to_chars(p_, end_, value).ptr;
        return *this;
    }
    // `text` as a label value: backslash, double quote and newline escaped,
    // bytes that are not UTF-8 replaced by U+FFFD.
    void LabelValue(const std::string& text) {
        for (size_t i = 0; i < text.size();) {
            // A run of ASCII that needs no escape, most values whole, is
            // copied at once.
            size_t plain = i;
            while (plain < text.size() && kPlain.is[static_cast<unsigned char>(text[plain])]) ++plain;
            if (plain > i) {
                *this << std::string_view(text.data() + i, plain - i);
                i = plain;
                continue;
            }
            const size_t length = Utf8Length(text, i);
            const char c = text[i];
            if (length == 0) {
                *this << "\xEF\xBF\xBD";  // U+FFFD: one byte that is not UTF-8 makes a collector skip the file
                ++i;
                continue;
            }
            if (c == '\\') {
                *this << "\\\\";
            } else if (c == '"') {
                *this << "\\\"";
            } else if (c == '\n') {
                *this << "\\n";
            } else {
                *this << std::string_view(text.data() + i, length);
            }
            i += length;
        }
    }
    // A series with its HELP and TYPE lines: `lead` (which ends in its
    // name's '{'), then `labels} value` and its line feed, in the room
    // SeriesSize gives.
    void Series(std::string_view lead, std::string_view labels, uint64_t value) {
        if (lead.size() + labels.size() + 24 > static_cast<size_t>(end_ - p_)) Grow(lead.size() + labels.size() + 24);
        std::memcpy(p_, lead.data(), lead.size());
        p_ += lead.size();
        std::memcpy(p_, labels.data(), labels.size());
        p_ += labels.size();
        *p_++ = '}';
        *p_++ = ' ';
        p_ = std::to_chars(p_, end_, value).ptr;
        *p_++ = '\n';
    }
    std::string Take() {
        if (!InString()) return std::string(begin_, p_);
        out_.resize(Used());
        return std::move(out_);
    }
    // The text where it was written: in the caller's room, or moved to
    // `grown` when it outgrew it.
    std::string_view Finish(std::string* grown) {
        if (!InString()) return std::string_view(begin_, Used());
        out_.resize(Used());
        *grown = std::move(out_);
        return *grown;
    }

private:
    bool InString() const { return begin_ == out_.data(); }
    size_t Used() const { return static_cast<size_t>(p_ - begin_); }
    void Grow(size_t more) {
        const size_t used = Used();
        const size_t size = std::max(static_cast<size_t>(end_ - begin_) * 2, used + more + 64);
        if (InString()) {
            out_.resize(size);
        } else {
            std::string grown(size, '\0');
            std::memcpy(&grown[0], begin_, used);
            out_ = std::move(grown);
        }
        begin_ = &out_[0];
        p_ = begin_ + used;
        end_ = begin_ + out_.size();
    }
    std::string out_;
    char* begin_;
    char* p_;
    char* end_;
};

// The labels every series of the run carries: the selection's words, then
// --label's in their order.
std::string LabelsOf(const Options& options) {
    Text labels(64 + options.selectionWords.size() * 2);
    labels << "selection=\"";
    labels.LabelValue(options.selectionWords);
    labels << "\"";
    for (const auto& label : options.labels) {
        labels << "," << label.first << "=\"";
        labels.LabelValue(label.second);
        labels << "\"";
    }
    return labels.Take();
}

// What Series writes at most.
size_t SeriesSize(std::string_view lead, size_t labels) { return lead.size() + labels + 24; }

constexpr std::string_view
    kStateLead = TRELMARK_LEAD("trelmark_state", "State of the check: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN."),
    kProcessesLead = TRELMARK_LEAD("trelmark_processes", "Processes the selection matched, read or not."),
    kUnreadableLead = TRELMARK_LEAD("trelmark_unreadable_processes",
                                    "Processes the selection matched that could not be read.");

constexpr std::string_view kLimitLead =
    TRELMARK_LEAD("trelmark_cgroup_limit_bytes",
                  "Effective memory limit of the control group: the lowest on its path to the root.");

// A control group's own figures and its limit, when read.
void WriteGroup(Text& out, const Outcome& outcome, const std::string& labels) {
    for (const auto& group : outcome.group) {
        out.Series(EntryOf(group.first).lead, labels, group.second);
    }
    if (outcome.groupLimited) out.Series(kLimitLead, labels, outcome.groupLimit);
}

#undef TRELMARK_FIGURE
#undef TRELMARK_LEAD
#undef TRELMARK_HEADER

}  // namespace

std::vector<Metric> ExpositionFigures(Metric asked) {
    std::vector<Metric> figures;
    figures.reserve(sizeof kFigures / sizeof kFigures[0]);
    for (const FigureEntry& entry : kFigures) {
        if (entry.cost == Cost::Group) continue;
        // Figures the system does not keep (Windows: swap, anon) only when asked, to be refused.
        const bool kept = (entry.metric != Metric::Swap || !platform::StatusFigureProblem(platform::StatusFigure::Swap)) &&
                          (entry.metric != Metric::Anonymous ||
                           !platform::StatusFigureProblem(platform::StatusFigure::Anonymous));
        if ((entry.cost == Cost::Cheap && kept) || entry.metric == asked) figures.push_back(entry.metric);
    }
    return figures;
}

std::string FigureMetricName(Metric metric, bool perProcess) {
    const FigureEntry& entry = EntryOf(metric);
    return std::string(perProcess ? entry.processName : entry.name);
}

std::string DerivedMetricName(Metric metric, bool perProcess) {
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
    o->labelText = LabelsOf(*o);
    return true;
}

std::string LabelValue(const std::string& text) {
    Text out(text.size() + 16);
    out.LabelValue(text);
    return out.Take();
}

namespace {

// What the exposition of `outcome` takes, about: room that is short only
// grows.
size_t ExpositionSize(const Options& options, const Outcome& outcome) {
    const std::string& labels = options.labelText;
    const size_t figures = outcome.measured ? options.figures.size() : 0;
    const size_t processes = options.perProcess ? outcome.samples.size() : 0;
    size_t size = SeriesSize(kStateLead, labels.size());
    if (outcome.counted) size += SeriesSize(kProcessesLead, labels.size()) + SeriesSize(kUnreadableLead, labels.size());
    for (size_t f = 0; f < figures; ++f) {
        const FigureEntry& entry = EntryOf(options.figures[f]);
        size += SeriesSize(entry.lead, labels.size());
        if (processes > 0) {
            size += entry.processHeader.size() +
                    processes * (SeriesSize(entry.processName, labels.size()) + 18);  // ,pid="<10 digits>"
        }
    }
    for (const auto& group : outcome.group) size += SeriesSize(EntryOf(group.first).lead, labels.size());
    if (outcome.groupLimited) size += SeriesSize(kLimitLead, labels.size());
    return size;
}

void WriteExposition(Text& out, const Options& options, const Outcome& outcome) {
    const std::string& labels = options.labelText;
    const size_t figures = outcome.measured ? options.figures.size() : 0;
    const size_t processes = options.perProcess ? outcome.samples.size() : 0;
    out.Series(kStateLead, labels, static_cast<uint64_t>(outcome.state));
    if (outcome.counted) {
        out.Series(kProcessesLead, labels, outcome.processes);
        out.Series(kUnreadableLead, labels, outcome.unreadable);
    }
    if (figures == 0 || outcome.samples.empty()) {
        WriteGroup(out, outcome, labels);
        return;
    }
    const Sample& deciding = outcome.samples[outcome.deciding < outcome.samples.size() ? outcome.deciding : 0];
    for (size_t f = 0; f < figures; ++f) {
        uint64_t value = 0;
        if (options.sum) {
            for (const Sample& s : outcome.samples) value = SaturatingSum(value, s.Figure(f));
        } else {
            value = deciding.Figure(f);
        }
        out.Series(EntryOf(options.figures[f]).lead, labels, value);
    }
    WriteGroup(out, outcome, labels);
    for (size_t f = 0; f < figures && processes > 0; ++f) {
        const FigureEntry& entry = EntryOf(options.figures[f]);
        out << entry.processHeader;
        for (const Sample& s : outcome.samples) {
            out << entry.processName << "{" << labels << ",pid=\"" << static_cast<uint64_t>(s.pid) << "\"} "
                << s.Figure(f) << "\n";
        }
    }
}

}  // namespace

std::string Exposition(const Options& options, const Outcome& outcome) {
    Text out(ExpositionSize(options, outcome));
    WriteExposition(out, options, outcome);
    return out.Take();
}

std::string_view Exposition(const Options& options, const Outcome& outcome, ExpositionRoom* room) {
    Text out(room->bytes, sizeof room->bytes);
    WriteExposition(out, options, outcome);
    return out.Finish(&room->grown);
}

}  // namespace plugin
