#pragma once
// A real server process started for a test, clients with a session each, and requests whose
// data arrives by cross-process notification.
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "basekit/serialization/Variant.h"
#include "basekit/utility/Guid.h"
#include "basemarshal/RPCClient.h"
#include "crossprocess/CrossProcess.h"
#include "engine/PixelFormats.h"

namespace vireo::test::engine {

// One RPC answer.
struct Answer {
    bool answered = false;  // a handler ran within the bound
    bool ok = false;        // the result handler ran (not the error handler)
    basekit::serialization::VariantPtr result;
};

// The answer to a data request and the data notification (when there was one).
struct DataAnswer {
    Answer answer;
    bool delivered = false;  // the notification ran
    long status = 0;
    crossprocess::BinaryReferencePtr data;
};

// One client of the server: its own session and RPC client.
class MovieClient {
  public:
    explicit MovieClient(basetransport::SessionPtr session);
    ~MovieClient();  // closes the session
    bool Ready() const { return mClient != nullptr; }

    // Waits for the answer (bounded).
    Answer Call(const char* method, basekit::serialization::VariantArray params);
    // Sends now; the future is ready once the answer came.
    std::future<Answer> CallLater(const char* method, basekit::serialization::VariantArray params);
    // Sends `method` with `params` from the start action of a notification for `request`.
    // `accepted` decides from the answer's "value" whether data is to come; when it is not, the
    // notification is withdrawn as the library does.
    DataAnswer CallForData(const char* method, basekit::serialization::VariantArray params,
                           basekit::utility::Guid const& request, bool (*accepted)(std::int64_t));
    void Notify(const char* method, basekit::serialization::VariantArray params);

    // OpenMovieFromFile on a file, sent now.
    std::future<Answer> OpenLater(std::string const& path);

  private:
    basetransport::SessionPtr mSession;
    std::unique_ptr<basemarshal::RPCClient> mClient;
};

class MovieServer {
  public:
    // Starts the server; Ready() tells whether it worked. `settings`: debug settings text
    // ("key=value" lines) the server starts with.
    explicit MovieServer(std::string const& settings = "");
    ~MovieServer();
    bool Ready() const { return mFirst && mFirst->Ready(); }

    // The client connected when the server started.
    MovieClient& First() { return *mFirst; }
    // Another client, with a session of its own (another client process, as the server sees it).
    std::unique_ptr<MovieClient> Connect();

  private:
    vireo::test::TempRegistry mRegistry;
    vireo::test::AppDirectory mApp;
    vireo::test::TempDir mSettingsDir;
    std::uint16_t mPort = 0;
    std::string mHost;
    std::unique_ptr<MovieClient> mFirst;
};

// The arguments of "GetMovieVideo".
basekit::serialization::VariantArray FrameCall(basekit::utility::Guid const& movie,
                                               basekit::utility::Guid const& request,
                                               std::int64_t time, std::uint32_t fourcc,
                                               std::int64_t width = 0, std::int64_t height = 0);
// "GetMovieVideo" under a fresh request identifier; data is expected when the answer is 0.
DataAnswer RequestFrame(MovieClient& client, basekit::utility::Guid const& movie, std::int64_t time,
                        std::uint32_t fourcc, std::int64_t width = 0, std::int64_t height = 0);
// "GetMovieAudio" under a fresh request identifier; data is expected when the answer is > 0.
DataAnswer RequestAudio(MovieClient& client, basekit::utility::Guid const& movie);

// The "value" of an answer as an integer (0 when absent).
std::int64_t AnswerValue(Answer const& answer);
// The "ImporterSDKErrorResult" of an answer to OpenMovieFromFile (1 when there is none).
std::int64_t OpenResult(Answer const& answer);
// The "MovieIdentifier" of an answer to OpenMovieFromFile.
basekit::utility::Guid OpenedMovie(Answer const& answer);
// Opens a sample; fails the test when it does not open.
basekit::utility::Guid OpenOrFail(MovieClient& client, std::string const& file);
// The frame number the pattern of a delivered frame shows; -1 when none was delivered or it is
// not of `fourcc`.
int FrameNumber(DataAnswer const& got, int frameCount,
                std::uint32_t fourcc = vireo::engine::kFormatBGRA);

}  // namespace vireo::test::engine
