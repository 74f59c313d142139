#pragma once
// Variant-tree converter of Kino::BinaryData: a string holding the base64 text.
//
// A failed conversion (encoding that fails, a string that is not valid base64) is a violated
// input contract: it is reported through basekit::debug::BreakAfterContractDialog (condition
// "Orb::ResultSucceeded(result)"), followed by a debugger break when the report asks for one and
// a debugger is attached, and then raised with basekit::config::ThrowError (level 0, message
// "$$$/basekit/utility/Error/Contract/InputContractViolation=An input contract violation has
// occurred!", 105, 25), which throws basekit::config::Error. A value that is not a string throws
// boost::bad_any_cast.
#include <boost/any.hpp>

#include "Kino/BinaryData.h"
#include "basekit/serialization/JSONConvert.h"

namespace basekit {
namespace serialization {

template <>
struct JSONConvert<Kino::BinaryData> {
    static boost::any ToJSON(Kino::BinaryData const& data);
    static Kino::BinaryData FromJSON(boost::any const& value);
};

}  // namespace serialization
}  // namespace basekit
