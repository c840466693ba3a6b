// Number text.
#pragma once

#include <cstdint>
#include <string>

// Decimal text of `value`; with `separators`, grouped by thousands with ','
// whatever the locale (1234567 gives 1,234,567).
std::string FormatNumber(uint64_t value, bool separators);
