// Any argument vector through the parser and the decimal conversion.
// Input: arguments separated by NUL bytes.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "check/TrelmarkProbe.h"
#include "fuzz/Arguments.h"
#include "keel/Error.h"

namespace {

// Reference for the conversion: strtoll, saturated to 32 bits, on the same prefix.
long long Reference(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const char* q = p;
    if (*q == '+' || *q == '-') ++q;
    if (*q < '0' || *q > '9') return 0;
    errno = 0;
    long long value = std::strtoll(p, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments = SplitArguments("Trelmark64", data, size);

    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    __argc = static_cast<int>(arguments.size());
    __argv = argv.data();

    for (const std::string& a : arguments) {
        if (ConvertDecimal(a.c_str()) != Reference(a.c_str())) __builtin_trap();
    }
    DWORD pid = 0;
    int threshold = 0;
    bool vm = false, verbose = false;
    try {
        ParseArguments(pid, threshold, vm, verbose);
        if (pid == 0 || threshold < 1) __builtin_trap();  // accepted values are valid
    } catch (const Keel::Error& e) {
        if (e.Message()[0] == '\0') __builtin_trap();
    }
    return 0;
}
