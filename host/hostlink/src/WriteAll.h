#pragma once
#include <string>

namespace hostlink {
namespace detail {

// Writes all of `text` at the start of the file `fd` (retrying interrupted and partial writes).
// False with errno set on error.
bool WriteAllAt(int fd, std::string const& text);

}  // namespace detail
}  // namespace hostlink
