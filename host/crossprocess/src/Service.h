#pragma once
// The process's crossprocess service: its three parts (notifications, publishing, reading),
// the router that hands them the messages of every session, and the housekeeping (start and
// stop of clients, reclaiming of leftover segments, trimming of the pool). Built on first use,
// never destroyed: transport threads may deliver messages while the process exits.
#include <cstdint>
#include <mutex>

#include "Notifications.h"
#include "Publisher.h"
#include "Reader.h"
#include "Router.h"
#include "crossprocess/Stats.h"

namespace crossprocess {
namespace detail {

class Service {
  public:
    // The first call registers the message extension and the session-end observer with
    // basetransport and starts the housekeeping.
    static Service& Instance();

    Notifications& GetNotifications() { return mNotifications; }
    Publisher& GetPublisher() { return mPublisher; }
    Reader& GetReader() { return mReader; }
    Router& GetRouter() { return mRouter; }

    bool InitializeClient();
    void UninitializeClient();
    void FillStats(Stats& stats);

  private:
    Service();
    ~Service() = delete;
    void Start();
    // Looks for the death of `pid` at growing delays, then unlinks its segments.
    void ScheduleReclaim(std::int64_t pid, int attempt);
    void Housekeeping();
    void OnSessionEnd(basetransport::SessionPtr const& session);

    std::mutex mMutex;  // guards mClientCount
    int mClientCount = 0;

    Reader mReader;
    Notifications mNotifications{mReader};
    Publisher mPublisher;
    Router mRouter{mNotifications, mPublisher, mReader};
};

}  // namespace detail
}  // namespace crossprocess
