#include "plugin/Options.h"

#include <cstring>

#include "platform/ImageName.h"
#include "plugin/Exposition.h"

namespace plugin {

// The second line of an UNKNOWN answer: no '|', which engines take for the
// start of performance data (Nagios would cut the line there).
const char kUsageLine[] =
    "Usage: check_trelmark -p PID, -f PIDFILE or any of -C NAME, -a TEXT, --ereg-argument-array REGEX, -u USER, "
    "--service NAME, --cgroup PATH [--children] [-m working, private, pss, uss, peak, swap, anon, cgroup, "
    "cgroup-workingset or cgroup-peak] [-w RANGE] [-c RANGE] [--processes-warning RANGE] [--processes-critical RANGE] "
    "[--sum] [--empty-state STATE] [-t SECONDS] [-v] [--format=prometheus or --textfile=PATH] [--label NAME=VALUE] "
    "[--per-process]";

size_t Utf8Length(const std::string& text, size_t i) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[i + k]);
        if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

std::string Printable(const std::string& text) {
    std::string out = text;
    for (size_t i = 0; i < out.size();) {
        const size_t length = Utf8Length(out, i);
        const unsigned char u = static_cast<unsigned char>(out[i]);
        if (length == 0 || u < 0x20 || u == 0x7F || u == '|') {
            out[i++] = '?';
        } else {
            i += length;
        }
    }
    return out;
}

std::string Echoed(const std::string& text) { return Shortened(Printable(text), kMaxShownBytes); }

std::string Shortened(std::string text, size_t most) {
    if (text.size() <= most) return text;
    size_t cut = most - 3;
    // Never inside a character: the text stays valid UTF-8.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text + "...";
}

namespace {

struct MetricEntry {
    Metric metric;
    const char* name;
    const char* words;
};

constexpr MetricEntry kMetrics[] = {
    {Metric::Working, "working", "working memory"},
    {Metric::Private, "private", "private memory"},
    {Metric::Proportional, "pss", "proportional memory"},
    {Metric::Unique, "uss", "unique memory"},
    {Metric::Peak, "peak", "peak working memory"},
    {Metric::Swap, "swap", "swapped-out memory"},
    {Metric::Anonymous, "anon", "resident anonymous memory"},
    {Metric::Group, "cgroup", "memory charged to its control group"},
    {Metric::GroupWorkingSet, "cgroup-workingset", "working set of its control group"},
    {Metric::GroupPeak, "cgroup-peak", "peak of its control group"},
};

constexpr bool InEnumOrder() {
    for (size_t i = 0; i < sizeof kMetrics / sizeof kMetrics[0]; ++i) {
        if (static_cast<size_t>(kMetrics[i].metric) != i) return false;
    }
    return true;
}
static_assert(InEnumOrder(), "MetricName and MetricWords index the table by the enum");

}  // namespace

const char* MetricName(Metric metric) { return kMetrics[static_cast<int>(metric)].name; }

const char* MetricWords(Metric metric) { return kMetrics[static_cast<int>(metric)].words; }

namespace {

enum class Id {
    Pid, Pidfile, Criterion, Metric, Warning, Critical, ProcessesWarning, ProcessesCritical,
    Children, Timeout, Sum, EmptyState, Help, Version, Verbose, Format, Textfile, Label, PerProcess
};

struct OptionEntry {
    Id id;
    char shortName;  // 0: long form only
    const char* longName;
    bool takesValue;
    Criterion criterion;  // for Id::Criterion
};

constexpr Criterion kNone = Criterion::Command;  // unused for other ids

const OptionEntry kOptions[] = {
    {Id::Pid, 'p', "pid", true, kNone},
    {Id::Pidfile, 'f', "pidfile", true, kNone},
    {Id::Criterion, 'C', "command", true, Criterion::Command},
    {Id::Criterion, 'a', "argument-array", true, Criterion::Argument},
    {Id::Criterion, 0, "ereg-argument-array", true, Criterion::ArgumentRegex},
    {Id::Criterion, 'u', "user", true, Criterion::User},
    {Id::Criterion, 0, "service", true, Criterion::Service},
    {Id::Criterion, 0, "cgroup", true, Criterion::ControlGroup},
    {Id::Metric, 'm', "metric", true, kNone},
    {Id::Warning, 'w', "warning", true, kNone},
    {Id::Critical, 'c', "critical", true, kNone},
    {Id::ProcessesWarning, 0, "processes-warning", true, kNone},
    {Id::ProcessesCritical, 0, "processes-critical", true, kNone},
    {Id::Children, 0, "children", false, kNone},
    {Id::Timeout, 't', "timeout", true, kNone},
    {Id::Sum, 0, "sum", false, kNone},
    {Id::EmptyState, 0, "empty-state", true, kNone},
    {Id::Help, 'h', "help", false, kNone},
    {Id::Version, 'V', "version", false, kNone},
    {Id::Verbose, 'v', "verbose", false, kNone},
    {Id::Format, 0, "format", true, kNone},
    {Id::Textfile, 0, "textfile", true, kNone},
    {Id::Label, 0, "label", true, kNone},
    {Id::PerProcess, 0, "per-process", false, kNone},
};

constexpr const char* kStateNames[] = {"ok", "warning", "critical", "unknown"};

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(*a) != lower(*b)) return false;
    }
    return *a == *b;
}

std::string Quoted(const char* text) { return "\"" + Echoed(text) + "\""; }

// Decimal digits only, in [1, limit].
bool ParseUnsigned(const char* text, uint64_t limit, uint64_t* value) {
    if (*text == '\0') return false;
    uint64_t n = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        n = n * 10 + static_cast<uint64_t>(*p - '0');
        if (n > limit) return false;
    }
    if (n == 0) return false;
    *value = n;
    return true;
}

// Applies one option; false with `error` set when its value is bad.
bool Apply(const OptionEntry& option, const char* value, Options* o, std::string* error) {
    // -p and -f name one process; the criteria together choose several.
    const auto select = [&](Selector selector) {
        if (o->selector != Selector::None && (selector != Selector::Command || o->selector != Selector::Command)) {
            const bool one = selector != Selector::Command && o->selector != Selector::Command;
            *error = one ? "-p and -f name one process: give one -p or one -f"
                         : "-p and -f name one process: they combine with none of -C, -a, --ereg-argument-array, "
                           "-u, --service and --cgroup";
            return false;
        }
        if (o->selector == Selector::None) o->target = value;
        o->selector = selector;
        if (!o->selectionWords.empty()) o->selectionWords += ' ';
        o->selectionWords.append(option.id == Id::Pid       ? "-p"
                                 : option.id == Id::Pidfile ? "-f"
                                                            : CriterionOption(option.criterion));
        o->selectionWords.append(" ").append(value);
        return true;
    };
    switch (option.id) {
    case Id::Pid: {
        uint64_t pid = 0;
        if (!ParseUnsigned(value, 0xFFFFFFFFu, &pid)) {
            *error = "invalid process id " + Quoted(value);
            return false;
        }
        o->pid = static_cast<DWORD>(pid);
        return select(Selector::Pid);
    }
    case Id::Pidfile:
        if (*value == '\0') {
            *error = "the pidfile name is empty";
            return false;
        }
        return select(Selector::Pidfile);
    case Id::Criterion:
        return o->selection.Add(option.criterion, value, error) && select(Selector::Command);
    case Id::Metric:
        for (const auto& metric : kMetrics) {
            if (SameIgnoringCase(value, metric.name)) {
                o->metric = metric.metric;
                return true;
            }
        }
        *error = "invalid metric " + Quoted(value) +
                 " (use working, private, pss, uss, peak, swap, anon, cgroup, cgroup-workingset or cgroup-peak)";
        return false;
    case Id::Warning:
    case Id::Critical:
    case Id::ProcessesWarning:
    case Id::ProcessesCritical: {
        const bool warning = option.id == Id::Warning || option.id == Id::ProcessesWarning;
        const bool count = option.id == Id::ProcessesWarning || option.id == Id::ProcessesCritical;
        bool& given = count ? (warning ? o->hasProcessesWarning : o->hasProcessesCritical)
                            : (warning ? o->hasWarning : o->hasCritical);
        Range& range = count ? (warning ? o->processesWarning : o->processesCritical)
                             : (warning ? o->warning : o->critical);
        // What engines pass for an empty macro: no threshold.
        if (*value == '\0') {
            given = false;
            return true;
        }
        const char* why = nullptr;
        const bool parsed = ParseRange(value, &range, &why);
        // A count is no share of memory.
        if (parsed && count && range.percent) why = "a count range takes no %";
        if (!parsed || why != nullptr) {
            *error = std::string("invalid ") + (count ? "processes " : "") + (warning ? "warning" : "critical") +
                     " range " + Quoted(value);
            if (why != nullptr) *error += std::string(": ") + why;
            return false;
        }
        given = true;
        return true;
    }
    case Id::Children: o->children = true; return true;
    case Id::Timeout: {
        uint64_t seconds = 0;
        if (!ParseUnsigned(value, kMaxTimeoutSeconds, &seconds)) {
            *error = "invalid timeout " + Quoted(value) + " (whole seconds, 1 to 86400)";
            return false;
        }
        o->timeoutSeconds = static_cast<unsigned>(seconds);
        return true;
    }
    case Id::EmptyState:
        for (int state = 0; state < 4; ++state) {
            if (SameIgnoringCase(value, kStateNames[state])) {
                o->emptyState = static_cast<State>(state);
                return true;
            }
        }
        *error = "invalid empty state " + Quoted(value) + " (use ok, warning, critical or unknown)";
        return false;
    case Id::Help: o->help = true; return true;
    case Id::Version: o->version = true; return true;
    case Id::Verbose: o->verbose = true; return true;
    case Id::Sum: o->sum = true; return true;
    case Id::Format:
        if (const bool prometheus = SameIgnoringCase(value, "prometheus"); prometheus || SameIgnoringCase(value, "plugin")) {
            o->format = prometheus ? Format::Prometheus : Format::Plugin;
            return true;
        }
        *error = "invalid format " + Quoted(value) + " (use plugin or prometheus)";
        return false;
    case Id::Textfile:
        if (*value == '\0') {
            *error = "the textfile name is empty";
            return false;
        }
        o->textfile = std::string(value);  // made whole, then moved: assign's general path costs more
        return true;
    case Id::Label: return AddLabel(value, &o->labels, error);
    case Id::PerProcess: o->perProcess = true; return true;
    }
    return true;
}

const OptionEntry* FindShort(char name) {
    for (const OptionEntry& option : kOptions) {
        if (option.shortName != 0 && option.shortName == name) return &option;
    }
    return nullptr;
}

const OptionEntry* FindLong(const char* name, size_t length) {
    for (const OptionEntry& option : kOptions) {
        // The first byte at once, the rest only for a name that starts alike.
        if (option.longName[0] == name[0] && std::strncmp(option.longName, name, length) == 0 &&
            option.longName[length] == '\0') {
            return &option;
        }
    }
    return nullptr;
}

// A group figure measures the whole group: another selector could only
// narrow the processes, which the group's own counters cannot do; and a
// sum of peaks adds maxima that never coexisted.
bool GroupMetricFits(const Options& o, std::string* error) {
    const bool group = o.selection.IsOnlyGroup();
    const std::string name = MetricName(o.metric);
    if (IsGroupMetric(o.metric) && o.selector == Selector::Command && (o.children || (!group && o.selection.HasGroup()))) {
        *error = "-m " + name + " measures the whole control group: it combines with no other selector than one "
                 "--service or --cgroup";
        return false;
    }
    if (IsGroupMetric(o.metric) && o.HasCountRange()) {
        *error = "-m " + name + " reads the group's own counters, not its processes: the count ranges need a "
                 "per-process figure";
        return false;
    }
    if (IsGroupMetric(o.metric) && o.sum) {
        *error = "-m " + name + " is the group's own figure: --sum adds nothing to it";
        return false;
    }
    if (o.metric == Metric::Peak && o.sum) {
        *error = group ? "--sum -m peak would add peaks that never coexisted: use -m cgroup-peak, the control "
                         "group's own peak"
                       : "--sum -m peak would add peaks that never coexisted: compare each process's peak without "
                         "--sum";
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const OptionEntry* option = nullptr;
        const char* value = nullptr;
        std::string shown;  // the option as the user wrote it, for messages
        if (std::strcmp(arg, "--") == 0) {  // the end of the options; this plugin takes no operands
            if (i + 1 < argc) {
                *error = "unexpected argument " + Quoted(argv[i + 1]);
                return false;
            }
            break;
        }
        if (std::strncmp(arg, "--", 2) == 0 && arg[2] != '\0') {
            const char* equals = std::strchr(arg + 2, '=');
            const size_t length = equals ? static_cast<size_t>(equals - arg - 2) : std::strlen(arg + 2);
            option = FindLong(arg + 2, length);
            shown = std::string(arg, equals ? static_cast<size_t>(equals - arg) : std::strlen(arg));
            if (option == nullptr) {
                *error = "unknown option " + Quoted(shown.c_str());
                return false;
            }
            if (equals != nullptr) {
                if (!option->takesValue) {
                    *error = "option " + shown + " takes no value";
                    return false;
                }
                value = equals + 1;
            }
        } else if (arg[0] == '-' && arg[1] != '\0' && arg[1] != '-') {
            option = FindShort(arg[1]);
            shown = std::string(arg, 2);
            if (option == nullptr) {
                *error = "unknown option " + Quoted(shown.c_str());
                return false;
            }
            if (arg[2] != '\0') {
                if (!option->takesValue) {
                    *error = "unknown option " + Quoted(arg);
                    return false;
                }
                value = arg + 2;
            }
        } else {
            *error = "unexpected argument " + Quoted(arg);
            return false;
        }
        if (option->takesValue && value == nullptr) {
            if (i + 1 >= argc) {
                *error = "option " + shown + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!Apply(*option, value, &o, error)) return false;
        if (o.help || o.version) break;  // answered at once, whatever follows
    }
    if (!o.help && !o.version) {
        if (o.selector == Selector::None) {
            *error = "no process given: use -p PID, -f PIDFILE or any of -C NAME, -a TEXT, --ereg-argument-array "
                     "REGEX, -u USER, --service NAME, --cgroup PATH";
            return false;
        }
        if (!ExpositionOptionsAgree(&o, error)) return false;
        if (o.sum && !o.Several()) {
            *error = "--sum adds up several processes: it needs -C, -a, --ereg-argument-array, -u, --service, "
                     "--cgroup or --children";
            return false;
        }
        if (o.HasCountRange() && !o.Several()) {
            *error = "--processes-warning and --processes-critical count several processes: they need -C, -a, "
                     "--ereg-argument-array, -u, --service, --cgroup or --children";
            return false;
        }
        if (!GroupMetricFits(o, error)) return false;
    }
    *options = std::move(o);
    return true;
}

}  // namespace plugin
