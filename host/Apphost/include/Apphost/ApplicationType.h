#pragma once
// The kind of application that hosts the libraries. Components use it to adapt what they offer;
// for example the media client hides codecs that a logging and ingest tool cannot use.
//
// The default, until the host calls SetApplicationType, is kEditor. Reads and writes are atomic,
// so any thread may call either function at any time.
#include <cstdint>

namespace Apphost {

enum class ApplicationType : std::int32_t {
    kEditor = 0,   // a general editing application (the default)
    kIngest = 1,   // a logging and ingest tool
    kEncoder = 2,  // a batch encoder
    kTool = 3,     // a command-line tool or test program
};

ApplicationType GetApplicationType();
void SetApplicationType(ApplicationType type);

}  // namespace Apphost
