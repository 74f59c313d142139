#pragma once
// The console's output: a stream of UTF-16 characters.
//
// The C++ library ships character classification and number formatting only for char and
// wchar_t, so a plain std::basic_ostream<char16_t> fails (sets badbit) on the first number or
// widened character it writes. MakeOutputLocale() gives a locale that works for char16_t:
//  - std::ctype<char16_t>: widen maps each byte to the same code unit (the text written through
//    it is ASCII); narrow gives the default for anything above 0x7F; classification follows the
//    "C" locale for ASCII and says "none" above it; case mapping is ASCII only.
//  - std::num_put<char16_t>: formats every number exactly as the "C" locale does for char
//    (honouring width, precision, base, float field, showpos, showbase, uppercase, boolalpha and
//    the adjustment; a fill character above 0x7F pads with blanks), then widens the result.
// StringOutputStream is an ostringstream over UTF16String already imbued with it.
#include <locale>
#include <ostream>
#include <sstream>

#include "basekit/Strings.h"

namespace basekit {
namespace console {

using OutputStream = std::basic_ostream<char16_t>;

// A locale for char16_t streams, based on the "C" locale.
std::locale MakeOutputLocale();

class StringOutputStream : public std::basic_ostringstream<char16_t> {
  public:
    StringOutputStream() { imbue(MakeOutputLocale()); }
};

}  // namespace console
}  // namespace basekit

// The members that the C++ library leaves undefined for std::ctype<char16_t>; basekit defines
// them (for the facet that MakeOutputLocale installs).
namespace std {
template <>
ctype<char16_t>::~ctype();
template <>
bool ctype<char16_t>::do_is(mask m, char16_t c) const;
template <>
const char16_t* ctype<char16_t>::do_is(const char16_t* lo, const char16_t* hi, mask* v) const;
template <>
const char16_t* ctype<char16_t>::do_scan_is(mask m, const char16_t* lo, const char16_t* hi) const;
template <>
const char16_t* ctype<char16_t>::do_scan_not(mask m, const char16_t* lo, const char16_t* hi) const;
template <>
char16_t ctype<char16_t>::do_toupper(char16_t c) const;
template <>
const char16_t* ctype<char16_t>::do_toupper(char16_t* lo, const char16_t* hi) const;
template <>
char16_t ctype<char16_t>::do_tolower(char16_t c) const;
template <>
const char16_t* ctype<char16_t>::do_tolower(char16_t* lo, const char16_t* hi) const;
template <>
char16_t ctype<char16_t>::do_widen(char c) const;
template <>
const char* ctype<char16_t>::do_widen(const char* lo, const char* hi, char16_t* to) const;
template <>
char ctype<char16_t>::do_narrow(char16_t c, char dfault) const;
template <>
const char16_t* ctype<char16_t>::do_narrow(const char16_t* lo, const char16_t* hi, char dfault,
                                           char* to) const;
}  // namespace std
