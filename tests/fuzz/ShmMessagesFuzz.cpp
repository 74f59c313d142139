// The "crossprocess." messages a peer sends, through the router to every part: one input is the
// messages of one session, one JSON text a line, then the end of the session.
//
// In a line, $B stands for the name of a real block of this process (the session's peer is this
// process, so the reader maps it as a peer's), $I for the id of the data notification that is
// registered while the messages arrive, and $S for the id of data this process shares.
#include <unistd.h>

#include <atomic>
#include <boost/json/parse.hpp>
#include <boost/make_shared.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzCheck.h"
#include "References.h"
#include "Service.h"
#include "basetransport/Session.h"
#include "crossprocess/CrossProcess.h"
#include "crossprocess/Stats.h"

namespace vireo::test::fuzz {
namespace {

// A session whose peer is this process; what is sent on it is counted, not carried.
class LoopSession final : public basetransport::Session {
  public:
    explicit LoopSession(std::int64_t id) : mId(id) {}
    bool IsClosed() const override { return mClosed.load(); }
    std::int64_t GetID() const override { return mId; }
    void Close() override { mClosed.store(true); }
    bool SendMessage(boost::json::object const&) override {
        ++mSent;
        return !mClosed.load();
    }
    std::int64_t GetPeerProcessID() const override { return getpid(); }
    void SetMessageHandler(MessageHandler) override {}
    void AddCloseHandler(CloseHandler) override {}

  private:
    std::int64_t mId;
    std::atomic<bool> mClosed{false};
    std::atomic<std::uint64_t> mSent{0};
};

struct World {
    crossprocess::WritableBinaryReferencePtr block;  // published and shared by "us"
    std::string blockName;
    basekit::utility::Guid const requested = basekit::utility::Guid::CreateUnique();
    basekit::utility::Guid const shared = basekit::utility::Guid::CreateUnique();
    std::int64_t nextSession = std::int64_t{1} << 40;  // far from real transports' ids
};

World& TheWorld() {
    static World* world = [] {
        // Segments of this run only (see VIREO_SHM_PREFIX).
        setenv("VIREO_SHM_PREFIX", ("vfz" + std::to_string(getpid())).c_str(), 1);
        auto* made = new World;
        made->block = crossprocess::CreateWritableReference(100000);
        Require(made->block != nullptr);
        std::memset(made->block->GetData(), 0x5A, 100000);
        Require(crossprocess::Share(made->shared, made->block, 100000) == 0);
        // The name is the one thing a message needs that the fuzzer cannot guess.
        auto const* ref = dynamic_cast<crossprocess::detail::WritableRef*>(made->block.get());
        Require(ref != nullptr);
        made->blockName = ref->GetLease()->Segment().Name();
        Require(!made->blockName.empty());
        return made;
    }();
    return *world;
}

void ReplaceAll(std::string& text, std::string const& from, std::string const& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace
}  // namespace vireo::test::fuzz

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using namespace vireo::test::fuzz;
    World& world = TheWorld();
    crossprocess::detail::Service& service = crossprocess::detail::Service::Instance();
    crossprocess::Stats const before = crossprocess::GetStats();

    auto session = boost::make_shared<LoopSession>(world.nextSession++);
    std::string input(reinterpret_cast<char const*>(data), size);
    ReplaceAll(input, "$B", world.blockName);
    ReplaceAll(input, "$I", world.requested.AsUTF8String());
    ReplaceAll(input, "$S", world.shared.AsUTF8String());

    // The messages arrive while the notification's start action runs, so data from this
    // session may complete it; the handler reads every byte it is given. (It may also run
    // later, on the crossprocess thread, when no data came.)
    auto checksum = std::make_shared<std::atomic<std::uint64_t>>(0);
    auto onData = [checksum](basekit::utility::Guid const&, crossprocess::BinaryReferencePtr ref,
                             long status) {
        Require((status == crossprocess::kStatusOK) == (ref != nullptr));
        if (ref) {
            auto const* bytes = static_cast<std::uint8_t const*>(ref->GetData());
            std::uint64_t sum = 0;
            for (std::uint64_t i = 0; i < ref->GetSize(); ++i) {
                sum += bytes[i];
            }
            checksum->fetch_add(sum);
            ref->ReleaseData(bytes);
        }
    };
    auto feed = [&] {
        std::size_t begin = 0;
        while (begin <= input.size()) {
            std::size_t end = input.find('\n', begin);
            if (end == std::string::npos) {
                end = input.size();
            }
            boost::json::error_code error;
            boost::json::value const value = boost::json::parse(
                boost::json::string_view(input.data() + begin, end - begin), error);
            if (!error && value.is_object()) {
                service.GetRouter().OnMessage(session, value.get_object());
            }
            begin = end + 1;
        }
    };
    Require(crossprocess::GetBinaryDataWithAsyncNotification(world.requested, onData, feed) == 0);
    // Nothing was sent through a transport, so the notification is completed or failed by now.
    Require(service.GetNotifications().Pending() == 0);

    // The end of the session gives back everything the peer held and we held of it.
    session->Close();
    service.GetRouter().OnSessionEnd(session);
    crossprocess::Stats const after = crossprocess::GetStats();
    Require(after.peerHolds == before.peerHolds);
    Require(crossprocess::GetSessionUsage(session).blocks == 0);
    Require(after.sharedIds == 1);
    return 0;
}
