// A fuzz input as a command line: arguments separated by NUL bytes, after
// the program's own name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::string> SplitArguments(const char* program, const uint8_t* data, size_t size) {
    std::vector<std::string> arguments(1, program);
    arguments.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    return arguments;
}
