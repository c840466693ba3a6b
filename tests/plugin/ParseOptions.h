// The plugin's command line parsed as the program parses it, for the tests.
#pragma once

#include <string>
#include <vector>

#include "plugin/Options.h"

namespace plugintest {

struct Parsed {
    bool ok;
    plugin::Options options;
    std::string error;
};

// `args` without the program's name.
inline Parsed Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "check_trelmark");
    Parsed p;
    p.ok = plugin::ParseOptions(static_cast<int>(args.size()), args.data(), &p.options, &p.error);
    return p;
}

}  // namespace plugintest
