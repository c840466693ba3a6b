// Pidfile text as daemons write it.
#include <gtest/gtest.h>

#include <string>

#include "plugin/Processes.h"

namespace {

TEST(Pidfiles, TakeTheDecimalIdOnTheFirstLine) {
    const struct {
        std::string text;
        DWORD pid;  // 0: refused
    } cases[] = {
        {"1234", 1234},     {"1234\n", 1234},   {"1234\r\n", 1234},   {"4294967295\n", 4294967295u},
        {"", 0},            {"\n", 0},          {"0\n", 0},           {"4294967296", 0},
        {"1234\n\n", 1234}, {" 1234", 1234},    {"\t1234 \n", 1234},  {"+1234", 0},
        {"12a4", 0},        {"1234\r", 1234},   {"12\n34", 12},       {std::string("12\0", 3), 0},
        {"2924\n/var/lib/postgresql/16/main\n1733735291\n5432\n", 2924},
        {"-5\n", 0},        {"12 34\n", 0},     {" \n1234\n", 0},
        {"00000000001", 0}, {"0000000001", 1},
    };
    for (const auto& c : cases) {
        DWORD pid = 77;
        EXPECT_EQ(plugin::ParsePidfileText(c.text.data(), c.text.size(), &pid), c.pid != 0) << c.text;
        EXPECT_EQ(pid, c.pid != 0 ? c.pid : 77u) << c.text;
    }
}

}  // namespace
