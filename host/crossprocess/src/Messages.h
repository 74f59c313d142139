#pragma once
// The "crossprocess." messages: JSON-RPC 2.0 notifications on a session.
//
//   published  {id, block, offset, size, pub}   owner -> reader: data for a notification
//   failed     {id, status}                     owner -> reader: the data for id will not come
//   release    {pub}                            reader -> owner: done with publication pub
//   retire     {block}                          owner -> reader: drop your mapping of block
//   shared     {id, block, offset, size, pub}   owner -> reader: data shared under id
//   unshared   {id, pub}                        owner -> reader: the share of id ended
//   open       {id, req}                        reader -> owner: asks for data shared under id
//   opened     {req, id[, block, offset, size, pub]}  owner -> reader: answer (no block: unknown)
//
// Every field read from a message is checked: a message that does not parse is ignored, or
// reported as kStatusCorrupt to the notification it names.
#include <boost/json/object.hpp>
#include <cstdint>
#include <string>

#include "basekit/utility/Guid.h"
#include "basetransport/Session.h"

namespace crossprocess {
namespace detail {
namespace msg {

constexpr char kPrefix[] = "crossprocess.";
constexpr char kPublished[] = "crossprocess.published";
constexpr char kFailed[] = "crossprocess.failed";
constexpr char kRelease[] = "crossprocess.release";
constexpr char kRetire[] = "crossprocess.retire";
constexpr char kShared[] = "crossprocess.shared";
constexpr char kUnshared[] = "crossprocess.unshared";
constexpr char kOpen[] = "crossprocess.open";
constexpr char kOpened[] = "crossprocess.opened";

// {"jsonrpc": "2.0", "method": method, "params": params}
boost::json::object Make(const char* method, boost::json::object params);

// The method of a message, empty when absent.
std::string Method(boost::json::object const& message);
// The "params" object of a message, or nullptr.
boost::json::object const* Params(boost::json::object const& message);

// Readers of one field; false when absent or of the wrong kind or range.
bool GetU64(boost::json::object const& params, const char* key, std::uint64_t& out);
bool GetI64(boost::json::object const& params, const char* key, std::int64_t& out);
bool GetString(boost::json::object const& params, const char* key, std::string& out);
bool GetGuid(boost::json::object const& params, const char* key, basekit::utility::Guid& out);

// Tells the peer of `session` that this process is done with its publication `pub` (a send:
// never under a part lock).
void SendRelease(basetransport::SessionPtr const& session, std::uint64_t pub);

// Segment names are short; anything longer is refused before it reaches a system call.
constexpr std::size_t kMaxBlockNameLength = 64;

}  // namespace msg
}  // namespace detail
}  // namespace crossprocess
