#include "plugin/Range.h"

namespace plugin {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double Decimal::Value() const {
    // Both operands are exact doubles (digits < 2^53, 10^scale <= 10^13), so
    // the quotient is the correctly rounded value, as strtod gives it.
    const double magnitude = static_cast<double>(digits) / static_cast<double>(PowerOfTen(scale));
    return negative ? -magnitude : magnitude;
}

std::string Decimal::TimesPowerOfTwo(unsigned shift) const {
    // digits < 10^13 < 2^44, so a shift of up to 20 stays below 2^64.
    const uint64_t scaled = digits << shift;
    const uint64_t unit = PowerOfTen(scale);
    std::string text = std::to_string(scaled / unit);
    uint64_t fraction = scaled % unit;
    if (fraction != 0) {
        std::string decimals = std::to_string(fraction);
        decimals.insert(0, scale - decimals.size(), '0');
        while (decimals.back() == '0') decimals.pop_back();
        text += "." + decimals;
    }
    if (negative && (scaled != 0)) text.insert(0, "-");
    return text;
}

int Decimal::CompareAt(uint64_t count, unsigned shift) const {
    if (negative && digits != 0) return 1;
    // Both sides below 2^108: count < 2^64, 10^scale < 2^44; digits < 2^44, shift <= 64.
    const unsigned __int128 left = static_cast<unsigned __int128>(count) * PowerOfTen(scale);
    const unsigned __int128 right = static_cast<unsigned __int128>(digits) << shift;
    return left < right ? -1 : left > right ? 1 : 0;
}

int Decimal::CompareShare(uint64_t count, uint64_t reference) const {
    if (negative && digits != 0) return 1;
    // count * 100 * 10^scale < 2^64 * 2^50; digits * reference < 2^44 * 2^64.
    const unsigned __int128 left = static_cast<unsigned __int128>(count) * PowerOfTen(scale + 2);
    const unsigned __int128 right = static_cast<unsigned __int128>(digits) * reference;
    return left < right ? -1 : left > right ? 1 : 0;
}

std::string QuotientText(uint64_t integer, uint64_t fraction, unsigned places) {
    char buffer[48];  // 20 digits, the point and at most 20 decimals
    char* const end = buffer + sizeof buffer;
    char* p = end;
    bool significant = false;
    for (unsigned i = 0; i < places && i < 20; ++i, fraction /= 10) {
        const char digit = static_cast<char>('0' + fraction % 10);
        significant = significant || digit != '0';
        if (significant) *--p = digit;
    }
    if (significant) *--p = '.';
    do {
        *--p = static_cast<char>('0' + integer % 10);
        integer /= 10;
    } while (integer != 0);
    return std::string(p, end);
}

std::string Decimal::ShareOf(uint64_t reference) const {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(digits) * reference;
    const uint64_t unit = PowerOfTen(scale + 2);
    // A share of at most 100% is at most the reference: the quotient fits.
    // Most products fit in 64 bits, whose division is far cheaper.
    if ((scaled >> 64) == 0) {
        const uint64_t narrow = static_cast<uint64_t>(scaled);
        return QuotientText(narrow / unit, narrow % unit, scale + 2);
    }
    return QuotientText(static_cast<uint64_t>(scaled / unit), static_cast<uint64_t>(scaled % unit), scale + 2);
}

size_t ParseDecimal(const char* text, Decimal* number) {
    const char* p = text;
    Decimal n;
    if (*p == '+' || *p == '-') n.negative = *p++ == '-';
    unsigned count = 0;
    for (; IsDigit(*p); ++p) {
        if (++count > kMaxDigits) return 0;
        n.digits = n.digits * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (*p == '.' && IsDigit(p[1])) {
        for (++p; IsDigit(*p); ++p) {
            if (++count > kMaxDigits) return 0;
            n.digits = n.digits * 10 + static_cast<uint64_t>(*p - '0');
            ++n.scale;
        }
    }
    if (count == 0) return 0;
    *number = n;
    return static_cast<size_t>(p - text);
}

bool Range::Alerts(double value) const {
    const bool aboveStart = startInfinite || value >= start.Value();
    const bool belowEnd = endInfinite || value <= end.Value();
    const bool within = aboveStart && belowEnd;
    return inside ? within : !within;
}

int Range::Compare(const Decimal& bound, uint64_t count, unsigned shift) const {
    return percent ? bound.CompareShare(count, reference) : bound.CompareAt(count, shift);
}

bool Range::AlertsAt(uint64_t count, unsigned shift) const {
    const bool aboveStart = startInfinite || Compare(start, count, shift) >= 0;
    const bool belowEnd = endInfinite || Compare(end, count, shift) <= 0;
    const bool within = aboveStart && belowEnd;
    return inside ? within : !within;
}

bool Range::BelowStartAt(uint64_t count, unsigned shift) const {
    return !inside && !startInfinite && Compare(start, count, shift) < 0;
}

bool Range::AboveEndAt(uint64_t count, unsigned shift) const {
    return !inside && !endInfinite && Compare(end, count, shift) > 0;
}

std::string Range::TimesPowerOfTwo(unsigned shift) const {
    const auto scaled = [&](const Decimal& bound) {
        return percent ? bound.ShareOf(reference) : bound.TimesPowerOfTwo(shift);
    };
    std::string text = inside ? "@" : "";
    if (startInfinite) {
        text += "~:";
    } else if (start.digits != 0 || endInfinite) {
        text += scaled(start) + ":";
    }
    if (!endInfinite) text += scaled(end);
    return text;
}

namespace {

// Reads a bound and the '%' that may follow it. 0 when there is none, or
// (with `why` set) when the share is not one.
size_t ParseBound(const char* text, Decimal* number, int* shares, int* amounts, const char** why) {
    size_t n = ParseDecimal(text, number);
    if (n == 0) {
        if (*text == '%') *why = "a % follows a number (80%)";
        return 0;
    }
    if (text[n] != '%') {
        ++*amounts;
        return n;
    }
    ++*shares;
    if (text[++n] == '%') {
        *why = "one % after a number";
        return 0;
    }
    if (number->negative && number->digits != 0) {
        *why = "a share is 0% to 100%, never negative";
        return 0;
    }
    if (number->CompareAt(100, 0) < 0) {  // above 100
        *why = "a share is at most 100%";
        return 0;
    }
    return n;
}

}  // namespace

bool ParseRange(const char* text, Range* range, const char** why) {
    const char* ignored = nullptr;
    if (why == nullptr) why = &ignored;
    int shares = 0, amounts = 0;
    Range r;
    const char* p = text;
    if (*p == '@') {
        r.inside = true;
        ++p;
    }
    Decimal first;
    bool haveFirst = false;
    if (*p == '~') {
        r.startInfinite = true;
        ++p;
    } else if (size_t n = ParseBound(p, &first, &shares, &amounts, why)) {
        haveFirst = true;
        p += n;
    } else if (*why != nullptr) {
        return false;
    }
    if (*p == ':') {
        ++p;
        if (haveFirst) r.start = first;
        if (*p == '\0') {
            r.endInfinite = true;
        } else {
            const size_t n = ParseBound(p, &r.end, &shares, &amounts, why);
            if (n == 0) return false;
            p += n;
        }
    } else {
        // A lone number is the end of 0..N; "~" needs its ":".
        if (!haveFirst || r.startInfinite) return false;
        r.end = first;
    }
    if (*p != '\0') return false;
    if (shares > 0 && amounts > 0) {
        *why = "one range is all in % or all in MB (10%:20%, 10:200)";
        return false;
    }
    r.percent = shares > 0;
    if (!r.startInfinite && !r.endInfinite && r.start.Value() > r.end.Value()) return false;
    *range = r;
    return true;
}

}  // namespace plugin
