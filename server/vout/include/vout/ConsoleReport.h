#pragma once
// The text of the console command "QT.VOutGetAllComponents": the video-output components with
// their display modes, in the order given.
//
// Header-only so that the library's console command and the server-side tests print the same
// text. `Components` is any sequence of VireoServer::QTVOutComponent (vout::Component); the
// report reads mVOutComponentName (UTF-8) and mDisplayModes, whose elements give
// mDisplayModeName (UTF-8), mWidth, mHeight, mResolution_XFloat, mResolution_YFloat,
// mRefresh_Float and mQTPixelType.
//
// Floats use the stream's own float settings: with the defaults, general notation with six
// significant digits (59.94, 60).
#include <cstdint>
#include <ostream>

#include "basekit/console/OutputStream.h"
#include "basekit/utility/Text.h"

namespace vireo::server::vout {

template <class Components>
void WriteComponentReport(Components const& components, basekit::console::OutputStream& output) {
    char16_t const newline = u'\n';
    output << u"VireoClient->GetQTVOutComponents returned a container of "
           << static_cast<std::uint64_t>(components.size()) << u" components" << newline
           << std::flush;
    std::uint32_t componentIndex = 0;
    for (auto const& component : components) {
        output << u"Component [" << componentIndex << u"] - "
               << basekit::utility::UTF8to16(component.mVOutComponentName) << newline << std::flush;
        output << u"Display Modes Total ["
               << static_cast<std::uint64_t>(component.mDisplayModes.size()) << u"] - " << newline
               << std::flush;
        std::uint32_t modeIndex = 0;
        for (auto const& mode : component.mDisplayModes) {
            output << u"---------------------------------------------------" << newline;
            output << u"Display Mode " << basekit::utility::UTF8to16(mode.mDisplayModeName)
                   << u" - [ " << modeIndex << u" ]" << newline;
            output << u"Display Width - " << static_cast<std::int32_t>(mode.mWidth) << newline;
            output << u"Display Height - " << static_cast<std::int32_t>(mode.mHeight) << newline;
            output << u"Display Resolution X (float) - "
                   << static_cast<float>(mode.mResolution_XFloat) << newline;
            output << u"Display Resolution Y (float) - "
                   << static_cast<float>(mode.mResolution_YFloat) << newline;
            output << u"Display Refresh (float) - " << static_cast<float>(mode.mRefresh_Float)
                   << newline;
            output << u"Display PixelType (QT) - " << static_cast<std::int32_t>(mode.mQTPixelType)
                   << newline << std::flush;
            ++modeIndex;
        }
        ++componentIndex;
    }
    output << newline << std::flush;
}

}  // namespace vireo::server::vout
