#pragma once
// Text helpers of the object model.
#include "basekit/Strings.h"

namespace Orb {

// UTF-16 text from UTF-8 (or ASCII) text; a null pointer gives the empty string. Ill-formed
// bytes become U+FFFD.
basekit::UTF16String MakeString(const char* text);

}  // namespace Orb
