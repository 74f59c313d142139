#pragma once
// Memory for a message that is built, sent and dropped within one call: it comes from the
// caller's stack, and from the heap only for a message too large for that. The message must not
// outlive the arena, nor be handed to another thread.
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/storage_ptr.hpp>

namespace basemarshal {
namespace detail {

class MessageArena {
  public:
    MessageArena() : mResource(mBuffer, sizeof mBuffer) {}
    MessageArena(MessageArena const&) = delete;
    MessageArena& operator=(MessageArena const&) = delete;

    boost::json::storage_ptr Storage() { return boost::json::storage_ptr(&mResource); }

  private:
    unsigned char mBuffer[2048];
    boost::json::monotonic_resource mResource;
};

}  // namespace detail
}  // namespace basemarshal
