#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/FFmpegHandles.h"

extern "C" {
#include <libavutil/log.h>
}

namespace vireo::engine::detail {

void InitFFmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The server runs without a console; FFmpeg's messages about damaged input would only
        // be noise there. VIREO_SERVER_LOG=1 turns its warnings on for diagnosis.
        const char* log = std::getenv("VIREO_SERVER_LOG");
        bool verbose = log && std::strcmp(log, "1") == 0;
        av_log_set_level(verbose ? AV_LOG_WARNING : AV_LOG_QUIET);
    });
}

}  // namespace vireo::engine::detail

// ThreadSanitizer builds: FFmpeg's libraries are not instrumented, so the atomic reference
// counts and condition variables its decoder threads synchronise with are invisible to the
// sanitizer, which then reports FFmpeg's own hand-offs of frame buffers as races. Every process
// that uses the engine links this file, so the suppressions reach the tests and the server.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libswscale.so\n"
           "race:libswresample.so\n"
           "race:libavformat.so\n";
}
#endif
