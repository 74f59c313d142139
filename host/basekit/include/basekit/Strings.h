#pragma once
// Text types used across the host libraries: UTF-16 for interfaces, paths and names shown
// to users, UTF-8 for wire keys and wire text.
#include <string>

namespace basekit {
using UTF8String = std::string;
using UTF16String = std::u16string;
}  // namespace basekit
