#pragma once
// Converters of the movie records between the variant tree and the library's types.
#include "VireoServer/MovieRecords.h"
#include "basekit/serialization/JSONConvert.h"

namespace basekit {
namespace serialization {

template <>
struct JSONConvert<VireoServer::PixelFormat> {
    static boost::any ToJSON(VireoServer::PixelFormat const& format);
    static VireoServer::PixelFormat FromJSON(boost::any const& value);
};

template <>
struct JSONConvert<VireoServer::VideoProperties> {
    static VireoServer::VideoProperties FromJSON(boost::any const& value);
};

template <>
struct JSONConvert<VireoServer::AudioProperties> {
    static VireoServer::AudioProperties FromJSON(boost::any const& value);
};

template <>
struct JSONConvert<VireoServer::TimecodeProperties> {
    static VireoServer::TimecodeProperties FromJSON(boost::any const& value);
};

template <>
struct JSONConvert<VireoServer::MovieProperties> {
    static VireoServer::MovieProperties FromJSON(boost::any const& value);
};

template <>
struct JSONConvert<VireoServer::OpenMovieFromFileResult> {
    static VireoServer::OpenMovieFromFileResult FromJSON(boost::any const& value);
};

}  // namespace serialization
}  // namespace basekit
