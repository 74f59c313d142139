#pragma once
// UTF-8 to UTF-16 for error messages handed to callers.
#include <string_view>

#include "basekit/Strings.h"

namespace basemarshal {
namespace detail {

// Malformed sequences become U+FFFD: an error message is never refused for its bytes.
basekit::UTF16String ToUTF16(std::string_view text);

}  // namespace detail
}  // namespace basemarshal
