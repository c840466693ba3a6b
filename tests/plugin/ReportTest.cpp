// The status line: state, text and performance data.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "plugin/Headroom.h"
#include "plugin/Report.h"
#include "tests/plugin/ParseOptions.h"

namespace {

using plugintest::Parse;
using plugintest::Parsed;

plugin::Options Opts(std::vector<const char*> args) {
    const Parsed p = Parse(std::move(args));
    EXPECT_TRUE(p.ok) << p.error;
    return p.options;
}

constexpr uint64_t MB = 1048576;

TEST(StatusLine, OneLineWithStateTextAndPerformanceData) {
    const std::vector<plugin::Sample> one = {{1234, "postgres", 512 * MB + MB - 1}};
    const std::vector<plugin::Sample> three = {{10, "pg", 100 * MB}, {11, "pg", 300 * MB}, {12, "pg", 5 * MB}};
    const auto pg = [](uint64_t bytes) { return std::vector<plugin::Sample>{{7, "pg", bytes}}; };
    const std::string host = " of the host's 16 GB | ";  // shares are of 16 GiB; 80%: 13743895347.2 bytes
    const struct {
        std::vector<const char*> args;
        std::vector<plugin::Sample> samples;
        plugin::State state;
        std::string line;
        plugin::Shortfall shortfall = {};
    } cases[] = {
        {{"-p", "1234"}, one, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of working memory | working=537919487B;;;0;\n"},
        // The figure is compared exactly, as the perfdata shows it: 512.99 MB is above 512, 512 MB is not.
        // The text keeps the figure's side of the bound: 512.99 MB is not "512 MB" beside WARNING above 512.
        {{"-p", "1234", "-w", "512", "-c", "1024"}, one, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 512.9 MB of working memory (warning above 512 MB) | "
         "working=537919487B;536870912;1073741824;0;\n"},
        {{"-p", "1234", "-w", "512:512"}, {{1234, "postgres", 512 * MB}}, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of working memory | working=536870912B;536870912:536870912;;0;\n"},
        {{"-p", "1234", "-w", "20.25"}, {{1234, "postgres", 21233664 + 1}}, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 21233665 B of working memory (warning above 21233664 B) | "
         "working=21233665B;21233664;;0;\n"},
        {{"-p", "1234", "-w", "511", "-c", "1024"}, one, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 512 MB of working memory (warning above 511 MB) | "
         "working=537919487B;535822336;1073741824;0;\n"},
        {{"-p", "1234", "-w", "100", "-c", "511"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of working memory (critical above 511 MB) | "
         "working=537919487B;104857600;535822336;0;\n"},
        {{"-f", "x", "-m", "private", "-c", "@500:600"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of private memory (critical from 500 MB to 600 MB) | "
         "private=537919487B;;@524288000:629145600;0;\n"},
        {{"-p", "9"}, {{9, "", 0}}, plugin::State::Ok, "MEMORY OK - pid 9 uses 0 kB of working memory | working=0B;;;0;\n"},
        // Each figure in its own words and under its own label.
        {{"-p", "1234", "-m", "pss", "-w", "511"}, one, plugin::State::Warning,
         "MEMORY WARNING - postgres (pid 1234) uses 512 MB of proportional memory (warning above 511 MB) | "
         "pss=537919487B;535822336;;0;\n"},
        {{"-p", "1234", "-m", "uss"}, one, plugin::State::Ok,
         "MEMORY OK - postgres (pid 1234) uses 512 MB of unique memory | uss=537919487B;;;0;\n"},
        {{"-p", "1234", "-m", "peak", "-c", "500"}, one, plugin::State::Critical,
         "MEMORY CRITICAL - postgres (pid 1234) uses 512 MB of peak working memory (critical above 500 MB) | "
         "peak=537919487B;;524288000;0;\n"},
        {{"-C", "pg", "--sum", "-m", "pss", "-c", "400"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg use 405 MB of proportional memory in total (critical above 400 MB), "
         "largest pid 11 with 300 MB | pss=424673280B;;419430400;0; processes=3;;;0;\n"},
        {{"-p", "9"}, {{9, "a|b\nc", MB}}, plugin::State::Ok,
         "MEMORY OK - a?b?c (pid 9) uses 1 MB of working memory | working=1048576B;;;0;\n"},
        // Valid UTF-8 kept, anything else (stray, overlong, surrogate, cut short) replaced.
        {{"-p", "9"}, {{9, "caf\xC3\xA9\xFF\xC0\xAF\xED\xA0\x80\xF0\x9F\x98\x80\xE2\x82", MB}}, plugin::State::Ok,
         "MEMORY OK - caf\xC3\xA9??????\xF0\x9F\x98\x80?? (pid 9) uses 1 MB of working memory | working=1048576B;;;0;\n"},
        {{"-C", "pg"}, three, plugin::State::Ok,
         "MEMORY OK - 3 processes named pg, largest pid 11 uses 300 MB of working memory | working=314572800B;;;0; "
         "processes=3;;;0;\n"},
        // Each process on its own; the worst decides, even when it is not the largest.
        {{"-C", "pg", "-w", "200", "-c", "10:"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg, largest pid 11 uses 300 MB of working memory (1 critical, 1 warning; "
         "pid 12 with 5 MB is critical below 10 MB) | working=5242880B;209715200;10485760:;0; processes=3;;;0;\n"},
        // A lower bound: the smallest process decides, and its figure is the perfdata's.
        {{"-C", "pg", "-w", "500:", "-v"}, three, plugin::State::Warning,
         "MEMORY WARNING - 3 processes named pg, largest pid 11 uses 300 MB of working memory (3 warning; pid 12 with "
         "5 MB is warning below 500 MB) | working=5242880B;524288000:;;0; processes=3;;;0;\npg (pid 10) uses 100 MB of working "
         "memory (WARNING)\npg (pid 11) uses 300 MB of working memory (WARNING)\npg (pid 12) uses 5 MB of working "
         "memory (WARNING)\n"},
        {{"-C", "pg", "-c", "@0:150"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg, largest pid 11 uses 300 MB of working memory (2 critical; pid 10 with "
         "100 MB is critical from 0 MB to 150 MB) | working=104857600B;;@157286400;0; processes=3;;;0;\n"},
        {{"-C", "pg", "-w", "250"}, three, plugin::State::Warning,
         "MEMORY WARNING - 3 processes named pg, largest pid 11 uses 300 MB of working memory (1 warning; warning above "
         "250 MB) | "
         "working=314572800B;262144000;;0; processes=3;;;0;\n"},
        {{"-C", "pg", "--sum", "-w", "400", "-c", "500"}, three, plugin::State::Warning,
         "MEMORY WARNING - 3 processes named pg use 405 MB of working memory in total (warning above 400 MB), largest "
         "pid 11 with 300 MB | "
         "working=424673280B;419430400;524288000;0; processes=3;;;0;\n"},
        {{"-C", "postgres", "-v"}, one, plugin::State::Ok,
         "MEMORY OK - 1 process named postgres: pid 1234 uses 512 MB of working memory | working=537919487B;;;0; "
         "processes=1;;;0;\n"},
        {{"-C", "postgres", "--sum"}, one, plugin::State::Ok,
         "MEMORY OK - 1 process named postgres uses 512 MB of working memory in total | working=537919487B;;;0; "
         "processes=1;;;0;\n"},
        // What could not be measured: counted among the processes, a total only a lower bound.
        {{"-C", "pg", "--sum", "-m", "pss", "-c", "400"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 5 processes named pg use at least 405 MB of proportional memory in total (critical above "
         "400 MB), largest pid 11 with 300 MB; 2 could not be read | pss=424673280B;;419430400;0; processes=5;;;0; "
         "unreadable=2;;;0;\n", {2, ""}},
        // One read: no largest, and the words count all that were matched.
        {{"-C", "hog", "--sum", "-c", "50"}, {{1, "hog", 100 * MB}}, plugin::State::Critical,
         "MEMORY CRITICAL - 8 processes named hog use at least 100 MB of working memory in total (critical above 50 MB); "
         "7 could not be read | working=104857600B;;52428800;0; processes=8;;;0; unreadable=7;;;0;\n", {7, ""}},
        {{"-C", "hog", "-c", "50"}, {{1, "hog", 100 * MB}}, plugin::State::Critical,
         "MEMORY CRITICAL - 2 processes named hog: pid 1 uses 100 MB of working memory (critical above 50 MB); 1 could "
         "not be read | working=104857600B;;52428800;0; processes=2;;;0; unreadable=1;;;0;\n", {1, ""}},
        {{"--service", "nginx", "--sum", "-c", "400"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - service nginx: 3 processes use at least 405 MB of working memory in total (critical above "
         "400 MB), largest pid 11 with 300 MB; /proc hides them | working=424673280B;;419430400;0; processes=3;;;0;\n",
         {0, "/proc hides them"}},
        {{"-C", "big", "--sum"}, {{1, "big", UINT64_MAX - 5}, {2, "big", 10}}, plugin::State::Ok,
         "MEMORY OK - 2 processes named big use 17179869183.99 GB of working memory in total, largest pid 1 with "
         "17179869183.99 GB | working=18446744073709551615B;;;0; processes=2;;;0;\n"},
        // Figures in the unit their size reads in; just above a bound, as many decimals or as small a unit as
        // it takes to show them above it, and the bound beside them.
        {{"-p", "9", "-w", "2048"}, {{9, "g", 2049 * MB}}, plugin::State::Warning,
         "MEMORY WARNING - g (pid 9) uses 2049 MB of working memory (warning above 2048 MB) | working=2148532224B;2147483648;;0;\n"},
        {{"-p", "9", "-w", "3072"}, {{9, "g", 3 * 1024 * MB + 700 * MB}}, plugin::State::Warning,
         "MEMORY WARNING - g (pid 9) uses 3.68 GB of working memory (warning above 3 GB) | working=3955228672B;3221225472;;0;\n"},
        {{"-p", "9", "-c", "1500"}, {{9, "g", 1600 * MB}}, plugin::State::Critical,
         "MEMORY CRITICAL - g (pid 9) uses 1600 MB of working memory (critical above 1500 MB) | working=1677721600B;;1572864000;0;\n"},
        // OK beside a bound: never shown at it either.
        {{"-p", "9", "-w", "512:"}, {{9, "k", 512 * MB + 1}}, plugin::State::Ok,
         "MEMORY OK - k (pid 9) uses 536870913 B of working memory | working=536870913B;536870912:;;0;\n"},
        // A count range beside a memory range: the worse state wins.
        {{"-C", "pg", "--processes-critical", "4:", "-w", "200"}, three, plugin::State::Critical,
         "MEMORY CRITICAL - 3 processes named pg (critical below 4), largest pid 11 uses 300 MB of working memory (1 "
         "warning; warning above 200 MB) | working=314572800B;209715200;;0; processes=3;;4:;0;\n"},
        // Either value of one selector, in words.
        {{"-u", "pg", "-u", "www", "--processes-warning", "3"}, three, plugin::State::Ok,
         "MEMORY OK - user pg or www: 3 processes, largest pid 11 uses 300 MB of working memory | "
         "working=314572800B;;;0; processes=3;3;;0;\n"},
        // A share of a process's figure is one of the host's memory: the text
        // names it, the perfdata's bounds are its bytes and its max the host's.
        {{"-p", "7", "-w", "80%", "-c", "95%"}, pg(13743895347), plugin::State::Ok,
         "MEMORY OK - pg (pid 7) uses 12.79 GB of working memory; 79%" + host +
             "working=13743895347B;13743895347.2;16320875724.8;0;17179869184\n"},
        // Past the bound by one byte: shown precisely enough not to read as 80%.
        {{"-p", "7", "-w", "80%", "-c", "95%"}, pg(13743895348), plugin::State::Warning,
         "MEMORY WARNING - pg (pid 7) uses 12.8 GB of working memory (warning above 80%); 80.000000004%" + host +
             "working=13743895348B;13743895347.2;16320875724.8;0;17179869184\n"},
        {{"-p", "7", "-c", "0.5%"}, pg(85899346), plugin::State::Critical,
         "MEMORY CRITICAL - pg (pid 7) uses 81 MB of working memory (critical above 0.5%); 0.5000000004%" + host +
             "working=85899346B;;85899345.92;0;17179869184\n"},
        {{"-C", "pg", "--sum", "-m", "anon", "-w", "50%:"}, pg(5 * MB), plugin::State::Warning,
         "MEMORY WARNING - 1 process named pg uses 5 MB of resident anonymous memory in total (warning below 50%); 0.03%" +
             host + "anon=5242880B;8589934592:;;0;17179869184 processes=1;;;0;\n"},
        // A share's digits are no MB: 50.5 MB beside -w 50% is cut to 50 MB.
        {{"-p", "7", "-w", "50%"}, pg(52953088), plugin::State::Ok,
         "MEMORY OK - pg (pid 7) uses 50 MB of working memory; 0.3%" + host + "working=52953088B;8589934592;;0;17179869184\n"},
        // Nothing selected: a count range decides, whatever --empty-state says.
        {{"-C", "x", "--processes-warning", "1:", "--processes-critical", "@1:5"}, {}, plugin::State::Warning,
         "MEMORY WARNING - none (warning below 1) | processes=0;1:;@1:5;0;\n"},
        {{"-C", "x", "--empty-state", "critical", "--processes-warning", "3"}, {}, plugin::State::Ok,
         "MEMORY OK - none | processes=0;3;;0;\n"},
    };
    for (const auto& c : cases) {
        plugin::Options options = Opts(c.args);
        if (plugin::HasShares(options)) plugin::SetReference(&options, 16ull << 30);
        plugin::State state = plugin::State::Unknown;
        EXPECT_EQ(c.samples.empty() ? plugin::EmptySelection(options, "none", &state)
                                    : plugin::StatusLine(options, c.samples, &state, c.shortfall),
                  c.line);
        EXPECT_EQ(state, c.state) << c.line;
    }
}

}  // namespace
