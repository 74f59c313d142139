#include "Log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vireo::server {

bool LogEnabled() {
    static bool const enabled = [] {
        char const* value = std::getenv("VIREO_SERVER_LOG");
        return value && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

void Log(char const* format, ...) {
    if (!LogEnabled()) {
        return;
    }
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // One write per line, so lines of several threads do not interleave.
    char line[1100];
    int length = std::snprintf(line, sizeof line, "[vireo-server %ld] %s\n",
                               static_cast<long>(::getpid()), text);
    if (length > 0) {
        (void)!::write(2, line, static_cast<std::size_t>(std::min<int>(length, sizeof line - 1)));
    }
}

}  // namespace vireo::server
