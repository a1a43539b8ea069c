// SPDX-License-Identifier: MIT
// Hex digits as the library writes and reads them. Pure; part of the core.
// Internal.
#ifndef KQSER_HEXDIGITS_P_H
#define KQSER_HEXDIGITS_P_H

namespace kq {

// Upper-case digit of the low four bits of v.
char HexDigit(unsigned v);

// Value of a hex digit in either case, or -1 for any other character.
int HexDigitValue(char c);

}  // namespace kq

#endif
