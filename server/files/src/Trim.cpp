#include "files/Trim.h"

#include "OutputFile.h"
#include "SourceInput.h"
#include "TrimRange.h"
#include "TrimWriter.h"
#include "engine/Errors.h"
#include "files/FileErrors.h"

namespace vireo::server::files {

std::int32_t TrimMovie(TrimRequest const& request, TrimControl const& control) {
    std::int32_t result = CheckRequestNumbers(request);
    if (result != engine::kOK) {
        return result;
    }
    SourceInput source;
    result = source.OpenFile(request.source);
    if (result != engine::kOK) {
        return result;
    }
    result = CheckDestination(request.destination, source.Identity());
    if (result != engine::kOK) {
        return result;
    }
    result = source.OpenMedia();
    if (result != engine::kOK) {
        return result;
    }
    TimeRange range;
    result = RequestedRange(request, range);
    if (result != engine::kOK) {
        return result;
    }
    TrimWriter writer(source, range, control);
    result = writer.Plan();
    if (result != engine::kOK) {
        return result;
    }
    OutputFile output;
    result = output.Create(request.destination);
    if (result != engine::kOK) {
        return result;
    }
    result = writer.Write(output);
    if (result != engine::kOK) {
        return result;  // the output's destructor removes the temporary file
    }
    if (control.cancel != nullptr && control.cancel->load()) {
        return kErrTrimCancelled;
    }
    result = output.Commit();
    if (result == engine::kOK && control.progress) {
        control.progress(1.0);
    }
    return result;
}

}  // namespace vireo::server::files
