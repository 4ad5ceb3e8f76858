// Reads a firmware version text as a number, the way the C library's decimal
// conversion does.
#pragma once

// Skips leading white space, then reads an optional sign, digits with an
// optional decimal point and an optional exponent as far as they form a
// number; the rest is ignored. A text that does not begin with such a number
// reads as 0. Only the decimal form counts: "0x10", "inf" and "nan" read as 0.
double DecimalValue(const char* text);
