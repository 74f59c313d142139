#pragma once
// Streams over UTF-8 text, for reading and writing decimal numbers.
//
// They are the standard string streams over UTF8String, fixed to the "C" locale whatever the
// process's global locale is, so numbers never gain or expect thousands separators. Reading a
// number skips leading blanks and stops at the first character that cannot continue the number;
// text that does not begin with a number sets the fail state and stores 0 in the target.
#include <locale>
#include <sstream>

#include "basekit/Strings.h"

namespace basekit {

class iUTF8StringStream : public std::istringstream {
  public:
    iUTF8StringStream() { imbue(std::locale::classic()); }
    explicit iUTF8StringStream(UTF8String const& text) : std::istringstream(text) {
        imbue(std::locale::classic());
    }
};

class oUTF8StringStream : public std::ostringstream {
  public:
    oUTF8StringStream() { imbue(std::locale::classic()); }
    explicit oUTF8StringStream(UTF8String const& text) : std::ostringstream(text) {
        imbue(std::locale::classic());
    }
};

namespace utility {
using basekit::iUTF8StringStream;
using basekit::oUTF8StringStream;
}  // namespace utility

}  // namespace basekit
