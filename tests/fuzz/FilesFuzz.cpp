// The movie header reader of the external references list: boxes, data reference entries,
// alias records and URLs, from any bytes standing for a whole file.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "AliasRecord.h"
#include "FuzzCheck.h"
#include "basekit/utility/Text.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"
#include "files/MovieBoxes.h"
#include "files/References.h"

using vireo::test::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    using namespace vireo::server::files;

    // The whole reader: a code it documents, no references with a failure, and paths that are
    // valid text, absolute or URLs.
    std::vector<DataReference> references;
    std::int32_t const result = ReadDataReferences(MemoryByteSource(data, size), references);
    Require(result == 0 || result == vireo::engine::kErrCorrupt ||
            result == vireo::engine::kErrOutOfMemory || result == kErrCompressedMovieHeader);
    Require(result == 0 || references.empty());
    for (std::string const& path : ResolveDataReferences("/movies/project", references)) {
        Require(!path.empty());
        Require(basekit::utility::IsValidUTF8(path));
    }

    // The same bytes as an alias record.
    AliasTarget target;
    if (ReadAliasRecord(data, size, target)) {
        Require(target.relativePath.size() <= size * 3 + 4 * 255);
    }

    // Boxes read, written and read again give the same bytes the second time.
    std::vector<ContainerType> const containers{
        {MakeBoxType("moov"), 0}, {MakeBoxType("trak"), 0}, {MakeBoxType("dref"), 8}};
    std::vector<BoxNode> nodes;
    if (ParseBoxes(data, size, containers, nodes)) {
        std::vector<std::uint8_t> const written = WriteBoxes(nodes);
        std::vector<BoxNode> again;
        Require(ParseBoxes(written.data(), written.size(), containers, again));
        Require(WriteBoxes(again) == written);
    }
    return 0;
}
