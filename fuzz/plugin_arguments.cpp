// Any argument vector through the plugin's parser, ranges and status line.
// Input: arguments separated by NUL bytes. Numbers the parsers accept are
// checked against strtod/strtoull on the same text.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/Arguments.h"
#include "plugin/Headroom.h"
#include "plugin/Options.h"
#include "plugin/Processes.h"
#include "plugin/Range.h"
#include "plugin/Report.h"

namespace {

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool Printable(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '|') return false;
    }
    return true;
}

// strtod on exactly `text`, which must be consumed whole.
double Reference(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    Check(end == text.c_str() + text.size());
    return value;
}

void CheckRange(const std::string& text) {
    plugin::Range range;
    if (!plugin::ParseRange(text.c_str(), &range)) return;
    std::string body = text[0] == '@' ? text.substr(1) : text;
    const size_t colon = body.find(':');
    std::string start = colon == std::string::npos ? "0" : body.substr(0, colon);
    std::string end = colon == std::string::npos ? body : body.substr(colon + 1);
    // A share's ends each carry '%' (an omitted start is 0 either way).
    const auto share = [](std::string* bound) {
        const bool has = !bound->empty() && bound->back() == '%';
        if (has) bound->pop_back();
        return has;
    };
    const bool startShare = share(&start), endShare = share(&end);
    Check(range.percent == (startShare || endShare));
    // One range is all shares or all amounts.
    if (colon != std::string::npos && !start.empty() && start != "~" && !end.empty()) Check(startShare == endShare);
    Check(range.inside == (text[0] == '@'));
    Check(range.startInfinite == (start == "~"));
    if (!range.startInfinite) Check(range.start.Value() == (start.empty() ? 0.0 : Reference(start)));
    Check(range.endInfinite == end.empty());
    if (!range.endInfinite) Check(range.end.Value() == Reference(end));
    if (range.percent) return;
    // Scaling by 2^20 is exact, so the bytes' text reads back as the value times 2^20.
    if (!range.endInfinite) Check(Reference(range.end.TimesPowerOfTwo(20)) == std::ldexp(range.end.Value(), 20));
    if (!range.startInfinite) Check(Reference(range.start.TimesPowerOfTwo(20)) == std::ldexp(range.start.Value(), 20));
}

void CheckPidfile(const std::string& text) {
    DWORD pid = 0;
    if (!plugin::ParsePidfileText(text.data(), text.size(), &pid)) return;
    Check(pid != 0 && pid == std::strtoull(text.c_str(), nullptr, 10));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments = SplitArguments("check_trelmark", data, size);

    for (const std::string& a : arguments) {
        CheckRange(a);
        CheckPidfile(a);
    }

    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    plugin::Options options;
    std::string error;
    if (!plugin::ParseOptions(static_cast<int>(argv.size()), argv.data(), &options, &error)) {
        Check(!error.empty() && Printable(error));
        return 0;
    }
    Check(error.empty());
    if (options.help || options.version) return 0;
    Check(options.selector != plugin::Selector::None);
    Check(options.selector != plugin::Selector::Pid || options.pid != 0);
    Check(options.timeoutSeconds >= 1 && options.timeoutSeconds <= plugin::kMaxTimeoutSeconds);

    // Whatever was parsed and whatever a process is called, the answer is
    // one line whose only '|' starts the performance data.
    // Shares compare with the host's memory, set as the check sets it.
    if (plugin::HasShares(options)) plugin::SetReference(&options, 1ull << (size % 50));
    plugin::Sample sample;
    sample.pid = options.pid;
    sample.name = arguments.back();
    sample.bytes = size * 7919ull << (size % 40);
    plugin::State state = plugin::State::Unknown;
    const std::string answer = plugin::StatusLine(options, {sample, sample}, &state);
    Check(state != plugin::State::Unknown);
    // -v adds one line for each process when there are several.
    const bool longOutput = options.verbose;
    Check(std::count(answer.begin(), answer.end(), '\n') == (longOutput ? 3 : 1) && answer.back() == '\n');
    const std::string line = answer.substr(0, answer.find('\n') + 1);
    Check(std::count(answer.begin(), answer.end(), '|') == 1 && std::count(line.begin(), line.end(), '|') == 1);
    Check(line.rfind(std::string("MEMORY ") + plugin::StateName(state) + " - ", 0) == 0);
    return 0;
}
