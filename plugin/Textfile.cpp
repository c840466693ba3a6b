// Putting the exposition where it goes: standard output, or a textfile
// collector's file replaced whole.
#include <cstdio>

#include "platform/TextFile.h"
#include "platform/Win32.h"
#include "plugin/Exposition.h"
#include "plugin/Report.h"

namespace plugin {

std::string TemporaryPath(const std::string& path, unsigned long pid) {
    return path + "." + std::to_string(pid) + ".tmp";
}

int DeliverExposition(const Options& options, const Outcome& outcome, const std::string& line) {
    const std::string text = Exposition(options, outcome);
    if (options.textfile.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    const std::string temporary = TemporaryPath(options.textfile, ::GetCurrentProcessId());
    const platform::FileFailure failure =
        platform::ReplaceFileContent(options.textfile.c_str(), temporary.c_str(), text.data(), text.size());
    if (failure.step != platform::FileStep::None) {
        std::string reason = "cannot write " + Printable(options.textfile) + ": ";
        switch (failure.step) {
        case platform::FileStep::NotRegular: reason += "it is not a regular file; left as it is"; break;
        case platform::FileStep::Create:
            reason += "cannot create " + Printable(temporary) + ": " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::Write:
            reason += "cannot write " + Printable(temporary) + ": " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::Rename:
            reason += "cannot rename " + Printable(temporary) + " to it: " + platform::FileErrorText(failure);
            break;
        case platform::FileStep::None: break;
        }
        const std::string unknown = UnknownLine(reason);
        std::fwrite(unknown.data(), 1, unknown.size(), stdout);
        return static_cast<int>(State::Unknown);
    }
    const size_t end = line.find('\n');
    const std::string first = line.substr(0, end == std::string::npos ? line.size() : end + 1);
    std::fwrite(first.data(), 1, first.size(), stdout);
    return 0;
}

}  // namespace plugin
