#pragma once
// A real server process started for a test, with one session, an RPC client, and requests whose
// data arrives by cross-process notification.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "basekit/serialization/Variant.h"
#include "basekit/utility/Guid.h"
#include "basemarshal/RPCClient.h"
#include "crossprocess/CrossProcess.h"

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

class MovieServer {
  public:
    MovieServer();  // starts the server; Ready() tells whether it worked
    ~MovieServer();
    bool Ready() const { return mClient != nullptr; }

    Answer Call(const char* method, basekit::serialization::VariantArray params);
    // Sends `method` with `params` from the start action of a notification for `request`.
    // `accepted` decides from the answer's "value" whether data is to come; when it is not, the
    // notification is withdrawn as the library does.
    DataAnswer CallForData(const char* method, basekit::serialization::VariantArray params,
                           basekit::utility::Guid const& request, bool (*accepted)(std::int64_t));
    void Notify(const char* method, basekit::serialization::VariantArray params);

    // OpenMovieFromFile on a sample; the "value" object of the answer.
    basekit::serialization::VariantObject OpenSample(std::string const& path);

    basemarshal::RPCClient& Client() { return *mClient; }
    basetransport::SessionPtr Session() const { return mSession; }
    // A second session to the same server (another client process, as the server sees it).
    basetransport::SessionPtr OpenSecondSession();

  private:
    vireotest::TempRegistry mRegistry;
    vireotest::AppDirectory mApp;
    std::uint16_t mPort = 0;
    std::string mHost;
    basetransport::SessionPtr mSession;
    std::unique_ptr<basemarshal::RPCClient> mClient;
};

// The "value" of an answer as an integer (0 when absent).
std::int64_t AnswerValue(Answer const& answer);

}  // namespace vireo::test::engine
