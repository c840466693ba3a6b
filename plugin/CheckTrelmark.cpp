// check_trelmark: Trelmark64's measurement as a monitoring plugin, with
// thresholds, performance data and selection by pidfile or name.
// Exit status 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; one line on stdout.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "Common/IgnoredCall.h"
#include "check/VersionText.h"
#include "keel/Error.h"
#include "platform/ProcessMemory.h"
#include "platform/ProcessView.h"
#include "platform/Watchdog.h"
#include "platform/Win32.h"
#include "plugin/Exposition.h"
#include "plugin/Headroom.h"
#include "plugin/Options.h"
#include "plugin/Processes.h"
#include "plugin/Report.h"
#include "windows/WindowsSecurity.h"

namespace {

using plugin::State;

const char kHelp[] =
    "Checks how much memory a process, or the processes a selection names, use.\n"
    "\n"
    "%s\n"
    "\n"
    "Options:\n"
    " -p, --pid=PID          the process with this id; it is opened once and measured\n"
    "                        through that handle, so a reused id is never mistaken for it\n"
    " -f, --pidfile=PIDFILE  the process whose id this file holds: a regular file of at\n"
    "                        most 4096 bytes whose first line is the decimal id, blanks\n"
    "                        around it allowed (no sign, nothing else on the line,\n"
    "                        which pgrep -F would take); later lines are ignored\n"
    "                        (-p and -f name one process: each at most once, alone)\n"
    "Or any of these: one given again selects either value (OR), different ones\n"
    "must all hold (AND), as -C java -C javaw -a kafka:\n"
    " -C, --command=NAME     processes of this name: on Linux the command name as\n"
    "                        ps -o comm= shows it, exactly; a name longer than its 15\n"
    "                        characters matches the executable's or argv[0]'s name;\n"
    "                        on Windows the image name, any case, .exe optional\n"
    " -a, --argument-array=TEXT\n"
    "                        processes whose command line holds TEXT\n"
    "                        (-C java -a kafka.Kafka)\n"
    "     --ereg-argument-array=REGEX\n"
    "                        processes whose command line matches the POSIX extended\n"
    "                        REGEX (--ereg-argument-array 'manage\\.py (run|celery)')\n"
    " -u, --user=USER        processes owned by USER: on Linux a name (as id finds\n"
    "                        it, /etc/passwd first, then getent) or a numeric uid\n"
    "                        (the real uid); on Windows DOMAIN\\name\n"
    "                        or name, any case (-u postgres)\n"
    "     --service=NAME     the processes of a service: on Linux every process in\n"
    "                        the systemd unit's control group and its sub-groups\n"
    "                        (.service added when NAME has no unit suffix); on\n"
    "                        Windows the service's process and those it started\n"
    "                        (--service nginx)\n"
    "     --cgroup=PATH      (Linux) every process in the control group PATH as\n"
    "                        /proc/PID/cgroup shows it, sub-groups included; looked\n"
    "                        up in cgroup v2, then systemd's and the memory\n"
    "                        controller's v1 hierarchies\n"
    "                        (--cgroup /system.slice/docker-<id>.scope)\n"
    "     --children         the processes selected and all their descendants, as\n"
    "                        their parent ids say (on Windows only a child started\n"
    "                        after its parent); with -p or -f too\n"
    "                        A selection never includes this check, its parent,\n"
    "                        another check_trelmark (by name or argv[0]) or a shell\n"
    "                        whose script runs one. A selected process that cannot\n"
    "                        be read makes the state UNKNOWN unless the others are\n"
    "                        already CRITICAL (with --sum: their total above the\n"
    "                        critical range, \"at least\"; unreadable=N counts them)\n"
    "     --empty-state=STATE\n"
    "                        ok, warning, critical or unknown (default): the state\n"
    "                        when a selection finds no process, a service is not\n"
    "                        running, or a pidfile names no running process (a\n"
    "                        missing pidfile stays UNKNOWN); a count range decides\n"
    "                        instead when one is given; never where /proc hides\n"
    "                        other users' processes (UNKNOWN)\n"
    " -m, --metric=METRIC    in any case: working (default): the working set, the\n"
    "                        memory resident now; private: the private memory the\n"
    "                        process has committed; pss (Linux): the proportional set\n"
    "                        size, each shared page divided among the processes that\n"
    "                        map it, the figure that adds up with --sum; uss: the\n"
    "                        memory only this process holds (Windows: the private\n"
    "                        working set, as Task Manager shows it); peak: the\n"
    "                        largest working set it has had; swap (Linux): its\n"
    "                        swapped-out memory; anon (Linux): its resident heap and\n"
    "                        stacks. cgroup, cgroup-workingset, cgroup-peak (Linux,\n"
    "                        with one --service or --cgroup): the group's own charge,\n"
    "                        its charge less inactive file cache, its peak, as the\n"
    "                        kernel counts them against the group's limit.\n"
    "                        pss and uss walk the page tables: their cost grows\n"
    "                        with the process's resident size; on Linux, reading\n"
    "                        another user's process needs CAP_SYS_PTRACE (see the\n"
    "                        man page); --sum -m peak is refused\n"
    " -w, --warning=RANGE    WARNING when the figure is in the alert part of RANGE (an\n"
    "                        empty RANGE sets no threshold)\n"
    " -c, --critical=RANGE   CRITICAL likewise (it is tested first)\n"
    "     --processes-warning=RANGE, --processes-critical=RANGE\n"
    "                        WARNING, CRITICAL when the number of processes selected\n"
    "                        is in the alert part of RANGE (--processes-critical 1:\n"
    "                        when none runs); the worse of these and the memory's\n"
    "                        state is the answer\n"
    "     --sum              with several processes: the total decides the state;\n"
    "                        without it each process is compared and the worst decides\n"
    "                        (the perfdata then carries that process's figure)\n"
    " -t, --timeout=SECONDS  give up with UNKNOWN after this many seconds, 1 to 86400\n"
    "                        (default 10)\n"
    "     --format=FORMAT    plugin (default): the status line; prometheus: the\n"
    "                        Prometheus text format instead, with every cheap\n"
    "                        figure (working, private, peak, on Linux anon and\n"
    "                        swap, a single --service's or --cgroup's group\n"
    "                        figures and limit; pss or uss as -m names it), the\n"
    "                        state and the process counts; exit status 0\n"
    "     --textfile=PATH    the Prometheus text written to PATH for a textfile\n"
    "                        collector (through a temporary file beside it, then\n"
    "                        renamed), and the status line printed; exit status 0,\n"
    "                        or 3 when PATH cannot be written (then left as it was)\n"
    "     --label NAME=VALUE a label on every series, repeatable (--label env=prod)\n"
    "     --per-process      also each process's figures, labelled with its pid\n"
    " -v, --verbose          with several processes, one more line for each\n"
    " -h, --help             this text\n"
    " -V, --version          the version, from the program's version resource\n"
    " --                     ends the options\n"
    "\n"
    "Ranges, in MB (1 MB = 1048576 bytes), each number at most 13 digits, a start\n"
    "no larger than its end; the figure is compared in bytes, exactly:\n"
    " N      alert below 0 or above N       N:     alert below N\n"
    " ~:N    alert above N                  N:M    alert below N or above M\n"
    " @N:M   alert from N to M, ends included\n"
    "Or all in percent (80%%, 50%%:, @10%%:20%%, 0.5%%): of a group's limit for the\n"
    "group figures (the host's memory where there is none), of the host's\n"
    "physical memory for the others.\n"
    "\n"
    "Output: one line, \"MEMORY <STATE> - <text> | <performance data>\", the data in\n"
    "bytes: working=<B>B;<warn>;<crit>;0; (labelled as -m names the figure: private=,\n"
    "pss=, uss=, peak=, ...), the max field the 100%% of a share or a group's limit,\n"
    "with a selection also processes=<n>;<warn>;<crit>;0; (those that matched)\n"
    "and, when some could not be read, unreadable=<n>;;;0;. The text shows a figure\n"
    "in kB, MB or GB, never at or across a range's end it does not cross (more\n"
    "decimals or a smaller unit when needed), and the end it crossed:\n"
    "\"uses 200.3 MB of working memory (warning above 200 MB)\".\n"
    "\n"
    "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (bad arguments, no such\n"
    "process, nothing selected (see --empty-state), an unreadable pidfile or memory\n"
    "counters, a timeout; also after --help and --version, as monitoring plugins do).\n";

// The measured processes' answer; the exposition keeps them and the one
// whose figures the perfdata carries.
std::string Measured(const plugin::Options& options, std::vector<plugin::Sample>* samples, State* state,
                     plugin::Outcome* outcome, const plugin::Shortfall& shortfall = plugin::Shortfall()) {
    outcome->measured = true;
    outcome->samples = std::move(*samples);
    return plugin::StatusLine(options, outcome->samples, state, shortfall, &outcome->deciding);
}

// The answer for the processes a selection (or a process tree) found.
std::string Conclude(const plugin::Options& options, plugin::Selected& selected, State* state,
                     plugin::Outcome* outcome) {
    outcome->counted = true;
    outcome->processes = selected.samples.size() + selected.unreadable;
    outcome->unreadable = selected.unreadable;
    // Processes /proc hides may be selected too: finding none proves
    // nothing, and a total of those found is only a lower bound.
    const plugin::Shortfall shortfall{selected.unreadable, platform::HiddenProcessesNote()};
    if (selected.samples.empty() && selected.unreadable == 0) {
        const std::string what = options.selection.IsOnlyCommand()
                                     ? "no process named " + options.selection.Names()
                                     : "no process matches " + options.selection.Options();
        if (!shortfall.hidden.empty()) throw Keel::Error(what + "; " + shortfall.hidden);
        return plugin::EmptySelection(options, what, state);
    }
    if (selected.unreadable > 0 || (options.sum && !shortfall.hidden.empty())) {
        // What was measured may already be critical; anything else could
        // be wrong about the processes that were not.
        if (plugin::CriticalWhateverTheRest(options, selected.samples)) {
            return Measured(options, &selected.samples, state, outcome, shortfall);
        }
        if (selected.unreadable == 0) {
            throw Keel::Error(plugin::Matched(options, selected.samples.size()) +
                              " found, but the total is only a lower bound: " + shortfall.hidden);
        }
        const std::string hidden = shortfall.hidden.empty() ? "" : "; " + shortfall.hidden;
        const size_t all = selected.samples.size() + selected.unreadable;
        const std::string matched = plugin::Matched(options, all, std::to_string(selected.unreadable) + " of ");
        throw Keel::Error(matched + " could not be read: " + plugin::Printable(selected.reason) + hidden);
    }
    return Measured(options, &selected.samples, state, outcome, shortfall);
}

// Completes `options` as the check learns them (a share's reference, the
// process a pidfile named): the run's own, not a copy of them.
std::string Check(plugin::Options& options, State* state, plugin::Outcome* outcome) {
    const std::vector<plugin::Metric>* figures = options.figures.empty() ? nullptr : &options.figures;
    const auto count = [outcome](size_t processes, size_t unreadable) {
        outcome->counted = true;
        outcome->processes = processes;
        outcome->unreadable = unreadable;
    };
    // One process: unreadable until measured, none when it has gone.
    const auto measureOne = [&](DWORD pid, std::vector<plugin::Sample>* into) {
        count(1, 1);
        try {
            into->push_back(plugin::MeasureProcess(pid, options.metric, figures));
        } catch (const Keel::Error& e) {
            if (e.Code() == plugin::kProcessGone) count(0, 0);
            throw;
        }
        count(1, 0);
    };
    if (plugin::IsGroupMetric(options.metric)) return plugin::GroupCheck(options, state);
    if (options.metric == plugin::Metric::Proportional) {
        if (const char* problem = platform::ProportionalSetSizeProblem()) throw Keel::Error(problem);
    }
    if (options.metric == plugin::Metric::Swap || options.metric == plugin::Metric::Anonymous) {
        const auto figure = options.metric == plugin::Metric::Swap ? platform::StatusFigure::Swap
                                                                   : platform::StatusFigure::Anonymous;
        if (const char* problem = platform::StatusFigureProblem(figure)) throw Keel::Error(problem);
    }
    // A share of a process's figure is one of the host's memory, as ps %MEM.
    if (plugin::HasShares(options)) plugin::SetReference(&options, plugin::HostMemory());
    if (const char* problem = platform::ProcessListProblem()) throw Keel::Error(problem);
    std::vector<plugin::Sample> samples;
    switch (options.selector) {
    case plugin::Selector::Pid:
        measureOne(options.pid, &samples);
        break;
    case plugin::Selector::Pidfile: {
        const DWORD pid = plugin::ReadPidfile(options.target.c_str());
        try {
            measureOne(pid, &samples);
        } catch (const Keel::Error& e) {
            const std::string text = std::string(e.Message()) + " (from pidfile " + plugin::Echoed(options.target) + ")";
            if (e.Code() != plugin::kProcessGone) throw Keel::Error(text);
            return plugin::EmptySelection(options, text, state);
        }
        options.pid = pid;  // a tree's text names the process the file named
        break;
    }
    case plugin::Selector::Command: {
        plugin::Selected selected = plugin::MeasureSelection(options.selection, options.metric, figures);
        count(selected.samples.size() + selected.unreadable, selected.unreadable);
        if (!selected.notRunning.empty()) return plugin::EmptySelection(options, selected.notRunning, state);
        if (options.children) plugin::MeasureDescendants(&selected, options.metric, figures);
        return Conclude(options, selected, state, outcome);
    }
    case plugin::Selector::None:
        throw Keel::Error("no process given");
    }
    if (options.children) {
        plugin::Selected selected;
        selected.samples = std::move(samples);
        plugin::MeasureDescendants(&selected, options.metric, figures);
        return Conclude(options, selected, state, outcome);
    }
    return Measured(options, &samples, state, outcome);
}

// Whatever its input (an expression whose automaton explodes, a host of
// processes), a check holds at most this much memory; beyond it an
// allocation fails and the check answers UNKNOWN.
constexpr size_t kMemoryBoundBytes = 64u << 20;
bool memoryBounded = false;

std::string OutOfMemory() {
    return memoryBounded ? "out of memory: a check may hold at most " + std::to_string(kMemoryBoundBytes >> 20) + " MB"
                         : std::string("out of memory");
}

// A line without performance data (a reason, which may name a control
// group's path of 4096 bytes) is cut to this, within the 1 KB NRPE passes on.
constexpr size_t kMaxReasonLineBytes = 1000;

int Answer(std::string line, State state) {
    const size_t end = std::min(line.find('\n'), line.size());
    if (end > kMaxReasonLineBytes && line.find(" | ") >= end) {
        line = plugin::Shortened(line.substr(0, end), kMaxReasonLineBytes) + line.substr(end);
    }
    std::fputs(line.c_str(), stdout);
    return static_cast<int>(state);
}

}  // namespace

int main(int argc, char** argv) {
    if (!AfxWinInit(::GetModuleHandleA(nullptr), nullptr, ::GetCommandLineA(), 0)) {
        return Answer(plugin::UnknownLine("the program could not start"), State::Unknown);
    }
    memoryBounded = platform::BoundOwnMemory(kMemoryBoundBytes);
    plugin::Options options;
    std::string error;
    try {
        if (!plugin::ParseOptions(argc, argv, &options, &error)) {
            return Answer(plugin::UnknownLine(error) + plugin::kUsageLine + "\n", State::Unknown);
        }
        if (options.help) {
            std::printf("check_trelmark %s\n", check::OwnVersionText().c_str());
            std::printf(kHelp, plugin::kUsageLine);
            return static_cast<int>(State::Unknown);
        }
        if (options.version) return Answer("check_trelmark " + check::OwnVersionText() + "\n", State::Unknown);
    } catch (...) {
        return Answer(plugin::UnknownLine(OutOfMemory()), State::Unknown);
    }

    const char kTimedOut[] = "MEMORY UNKNOWN - timed out after ";
    const std::string temporary =
        options.textfile.empty() ? std::string() : plugin::TemporaryPath(options.textfile, ::GetCurrentProcessId());
    if (options.format == plugin::Format::Prometheus) {
        // The answer is ready before the check starts: a timeout still
        // gives the state, in the file too.
        platform::WatchdogAnswer answer;
        std::string exposition = plugin::Exposition(options, plugin::Outcome());
        if (options.textfile.empty()) {
            answer.line = std::move(exposition);
        } else {
            answer.line = platform::TimeoutLine(kTimedOut, options.timeoutSeconds);
            answer.unwritten = "; the textfile could not be written\n";
            answer.unwrittenStatus = static_cast<int>(State::Unknown);
            answer.path = options.textfile.c_str();
            answer.temporary = temporary.c_str();
            answer.content = std::move(exposition);
        }
        platform::ArmWatchdog(options.timeoutSeconds, std::move(answer));
    } else {
        platform::ArmWatchdog(options.timeoutSeconds, kTimedOut, static_cast<int>(State::Unknown));
    }
    // Without the debug privilege other users' processes may be out of reach;
    // those that can be opened are still checked.
    LOGTRACE_IGNORE_FAILURE("Windows::EnableProcessPrivilege(SE_DEBUG_NAME)", "CheckTrelmark", __LINE__,
                            Windows::EnableProcessPrivilege(SE_DEBUG_NAME, nullptr, true));
    State state = State::Unknown;
    std::string line;
    plugin::Outcome outcome;
    try {
        line = Check(options, &state, &outcome);
    } catch (const Keel::Error& e) {
        state = State::Unknown;
        line = plugin::UnknownLine(e.Message());
    } catch (const std::bad_alloc&) {
        state = State::Unknown;
        line = plugin::UnknownLine(OutOfMemory());
    } catch (const std::exception& e) {
        state = State::Unknown;
        line = plugin::UnknownLine(std::string("internal error: ") + e.what());
    } catch (...) {
        state = State::Unknown;
        line = plugin::UnknownLine("internal error");
    }
    if (options.format != plugin::Format::Prometheus) {
        platform::DisarmWatchdog();
        return Answer(line, state);
    }
    // Under the same memory bound as the check: running out is UNKNOWN here
    // too, never an abort.
    try {
        plugin::MeasureGroupFigures(options, &outcome);
        platform::DisarmWatchdog();
        outcome.state = state;
        return plugin::DeliverExposition(options, outcome, line, temporary);
    } catch (const std::bad_alloc&) {
        platform::DisarmWatchdog();
        return Answer(plugin::UnknownLine(OutOfMemory()), State::Unknown);
    }
}
