#pragma once
// Result codes of the settings conversion (ConvertCodecSettings). 0 is success; every failure is
// a distinct negative value in -2301 .. -2399, next to the decoding engine's -2101 .. -2199 and
// the export engine's -2201 .. -2299, and apart from the 2 a client reports when no answer came.
// docs/codec-settings-dialog.md lists what each one means to a host.
#include <cstdint>

namespace vireo::server::codecsettings {

enum ConvertResult : std::int32_t {
    kConvertOK = 0,

    // The request.
    kErrConvertNotVideo = -2301,       // settings of an audio codec: none has codec settings
    kErrConvertUnknownCodec = -2302,   // not an export video codec, or no codec named at all
    kErrConvertCodecMismatch = -2303,  // the container's codec type is another codec

    // The container's structure.
    kErrContainerTruncated = -2310,  // the data ends inside the header or inside an atom,
                                     // or holds no atom at all
    kErrAtomSize = -2311,            // an atom's size below its header or past its parent, or
                                     // a settings atom shorter than its record
    kErrAtomChildCount = -2312,      // an atom holds another number of children than it says
    kErrDuplicateAtom = -2313,       // two atoms of one type and ID under one parent
    kErrContainerLimits = -2314,     // over 64 KiB, over 1024 atoms, or nested over 16 deep

    // The settings it holds.
    kErrConvertDepth = -2320,         // a depth the codec does not write
    kErrConvertQuality = -2321,       // a spatial quality above 1024 (lossless)
    kErrConvertKeyFrameRate = -2322,  // a key-frame rate below 0 or above 10000
    kErrConvertDataRate = -2323,      // a data rate below 0, for a codec without one, or
                                      // outside 100 .. 800000 kbit/s
};

// A short English description of a code ("unknown conversion result" for other codes).
const char* ConvertResultText(std::int32_t code) noexcept;

}  // namespace vireo::server::codecsettings
