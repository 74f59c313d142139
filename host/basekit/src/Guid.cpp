#include "basekit/utility/Guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace basekit {
namespace utility {

Guid Guid::CreateUnique() {
    Bytes bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error("basekit: the system's random source failed");
        }
        filled += static_cast<std::size_t>(n);
    }
    // Mark it as a random (version 4, variant 1) identifier.
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    return Guid(bytes);
}

UTF8String Guid::AsUTF8String() const {
    char text[39];
    std::snprintf(text, sizeof text,
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  mBytes[0], mBytes[1], mBytes[2], mBytes[3], mBytes[4], mBytes[5], mBytes[6],
                  mBytes[7], mBytes[8], mBytes[9], mBytes[10], mBytes[11], mBytes[12], mBytes[13],
                  mBytes[14], mBytes[15]);
    return UTF8String(text, 38);
}

UTF16String Guid::AsString() const {
    UTF8String narrow = AsUTF8String();
    return UTF16String(narrow.begin(), narrow.end());
}

}  // namespace utility
}  // namespace basekit
