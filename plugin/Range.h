// Threshold ranges in the monitoring plugins' syntax:
//   N      alert outside 0..N        N:     alert below N
//   ~:N    alert above N             N:M    alert outside N..M
//   @N:M   alert inside N..M (ends included)
// Each bound may instead be a share of a reference (80%, 0.5%), given once
// the figure's reference is known: one range is all shares or all amounts.
#pragma once

#include <cstdint>
#include <string>

namespace plugin {

// A decimal number as typed: sign, digits and the count of them after the
// point. Keeping it exact lets it be scaled to bytes without rounding.
struct Decimal {
    bool negative = false;
    uint64_t digits = 0;
    unsigned scale = 0;  // digits after the decimal point

    double Value() const;
    // The exact decimal text of this number times 2^shift.
    std::string TimesPowerOfTwo(unsigned shift) const;
    // -1, 0 or 1 as `count` is below, at or above this number times 2^shift.
    int CompareAt(uint64_t count, unsigned shift) const;
    // -1, 0 or 1 as `count` is below, at or above this number's percent of
    // `reference`, exactly.
    int CompareShare(uint64_t count, uint64_t reference) const;
    // The exact decimal text of this number's percent of `reference`.
    std::string ShareOf(uint64_t reference) const;
};

// 10^n for n <= 19, exact in 64 bits.
inline uint64_t PowerOfTen(unsigned n) {
    uint64_t p = 1;
    while (n-- > 0) p *= 10;
    return p;
}

// "integer.fraction" with the fraction's `places` digits, trailing zeros
// (and a point left alone) dropped: the exact text of a scaled quotient.
std::string QuotientText(uint64_t integer, uint64_t fraction, unsigned places);

// Reads a number of at most kMaxDigits digits: [+-]digits[.digits] or
// [+-].digits. Returns the characters taken, 0 when there is no number.
constexpr unsigned kMaxDigits = 13;
size_t ParseDecimal(const char* text, Decimal* number);

struct Range {
    bool inside = false;        // "@": alert inside instead of outside
    bool startInfinite = false;  // "~": no lower end
    Decimal start;              // 0 unless given
    bool endInfinite = false;   // nothing after ':': no upper end
    Decimal end;
    bool percent = false;    // the bounds are shares of `reference`
    uint64_t reference = 0;  // for percent: the 100% the bounds are shares of, set before comparing

    bool Alerts(double value) const;
    // Alerts for `count` units of which 2^shift make one of the range's:
    // exact, so the state agrees with the scaled range the perfdata shows.
    bool AlertsAt(uint64_t count, unsigned shift) const;
    // Whether `count` (as for AlertsAt) alerts for lying below the start.
    bool BelowStartAt(uint64_t count, unsigned shift) const;
    // Whether `count` alerts for lying above the end, as any larger count would.
    bool AboveEndAt(uint64_t count, unsigned shift) const;
    // The range for the perfdata, each end scaled by 2^shift (percent:
    // each end's share of the reference).
    std::string TimesPowerOfTwo(unsigned shift) const;

private:
    int Compare(const Decimal& bound, uint64_t count, unsigned shift) const;
};

// False for text that is not a range, or one whose start exceeds its end;
// `why`, when given, then says what is wrong with a share (or stays as is).
bool ParseRange(const char* text, Range* range, const char** why = nullptr);

}  // namespace plugin
