#include "VersionNumber.h"

#include <clocale>
#include <cstdlib>
#include <string>

namespace {
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

double DecimalValue(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (IsSpace(*p)) ++p;
    // The number's extent is found here, so the result does not depend on what
    // else a platform's strtod accepts (hexadecimal, infinity, locale points).
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    int digits = 0;
    while (IsDigit(*p)) ++p, ++digits;
    if (*p == '.') {
        ++p;
        while (IsDigit(*p)) ++p, ++digits;
    }
    if (digits == 0) return 0;
    const char* end = p;
    if (*p == 'e' || *p == 'E') {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (IsDigit(*q)) {
            while (IsDigit(*q)) ++q;
            end = q;
        }
    }
    std::string number(start, end);
    const char point = std::localeconv()->decimal_point[0];
    for (char& c : number) {
        if (c == '.') c = point;
    }
    return std::strtod(number.c_str(), nullptr);
}
