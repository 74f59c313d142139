#pragma once
// IVireoImporter: one open movie, with blocking forms of the client's movie operations.
// Releasing the last reference closes the movie in the server.
//
// The blocking operations (5, 10, 13) wait for a handler on an RPC or shared-data thread. Called
// on such a thread (inside a callback of the library) they would wait for themselves: they return
// their failure outcome at once instead (5 does nothing, 10 gives -1, 13 leaves `samples`), after
// a contract report.
#include <boost/function.hpp>
#include <cstdint>
#include <vector>

#include "Orb/InterfaceRef.h"
#include "Orb/OrbUnknown.h"
#include "VireoServer/MovieRecords.h"
#include "basekit/utility/Guid.h"

namespace Kino {
class IVideoFrame;
}

namespace VireoClient {

class IVireoImporter : public OrbUnknown {
  public:
    static constexpr basekit::utility::Guid kIID{"{8AEAEF25-2F6B-4E16-A4D4-8B97109AB905}"};

    // 5: quiets the movie's audio in the server and waits for the answer (bounded when there is
    // no server).
    virtual void QuietMovie() = 0;
    // 6
    virtual void UnquietMovie() = 0;
    // 7-9
    virtual VireoServer::VideoProperties const& GetVideoProperties() = 0;
    virtual VireoServer::AudioProperties const& GetAudioProperties() = 0;
    virtual VireoServer::TimecodeProperties const& GetTimecodeProperties() = 0;
    // 10: blocks until the frame (or its failure) has arrived; 0 with the frame, else -1 or the
    // server's code.
    virtual long GetMovieVideo(std::int32_t videoArg1, VireoServer::PixelFormat format,
                               std::int32_t videoArg2, std::int32_t videoArg3,
                               InterfaceRef<Kino::IVideoFrame>& frame) = 0;
    // 11: non-blocking; onFrame runs on an RPC or shared-data thread.
    virtual bool RequestMovieVideo(
        std::int32_t videoArg1, VireoServer::PixelFormat format, std::int32_t videoArg2,
        std::int32_t videoArg3,
        boost::function<void(InterfaceRef<Kino::IVideoFrame>, long)> const& onFrame,
        basekit::utility::Guid const& requestId) = 0;
    // 12
    virtual bool CancelMovieVideo(basekit::utility::Guid const& requestId) = 0;
    // 13: blocks; fills `samples` with the next block of interleaved 32-bit floats. On failure or
    // at the end of the audio, `samples` keeps what it held.
    virtual void GetMovieAudio(std::vector<float>& samples) = 0;
    // 14
    virtual void RestartMovieAudio() = 0;
    // 15
    virtual basekit::utility::Guid GetMovieIdentifier() = 0;
};

inline constexpr basekit::utility::Guid const& IID_IVireoImporter = IVireoImporter::kIID;

}  // namespace VireoClient
