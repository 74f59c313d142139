// Checking an export's settings: range, destination name, tracks, markers and captions.
#include "Plan.h"

#include <algorithm>

#include "basekit/utility/Text.h"
#include "export/ExportErrors.h"

namespace vireo::server::exporting::detail {

namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr std::size_t kMaxCaptionBytes = 512;
constexpr std::int64_t kTimelineScale = 1000000;  // chapters and captions in microseconds

std::int32_t CheckPathText(std::string const& path) {
    if (path.empty() || path.front() != '/' || path.back() == '/' ||
        path.find('\0') != std::string::npos || !basekit::utility::IsValidUTF8(path)) {
        return kErrInvalidPath;
    }
    std::string const name = path.substr(path.rfind('/') + 1);
    if (name == "." || name == ".." || name.size() > 255) {
        return kErrInvalidPath;
    }
    return kExportOK;
}

// Host ticks from the start of the range, in timeline units; false outside [0, length].
bool ToTimeline(ExportSettings const& s, std::int64_t ticks, std::int64_t length,
                std::int64_t& out) {
    if (ticks < s.mExportStartTime || ticks > s.mExportEndTime) {
        return false;
    }
    out = std::int64_t(Wide(ticks - s.mExportStartTime) * Wide(kTimelineScale) /
                       Wide(s.mTicksPerSecond));
    return out <= length;
}

std::string ChapterTitle(ExportMarker const& marker) {
    std::string const& title = marker.mChapterStr.empty() ? marker.mNameStr : marker.mChapterStr;
    return basekit::utility::MakeValidUTF8(title);
}

// Markers become chapters in time order; a chapter lasts until the next one (markers at the same
// time as an earlier one are dropped), the last one until the end of the range.
void PlanChapters(ExportSettings const& s, EncodePlan& plan) {
    std::vector<ChapterPlan> chapters;
    for (auto const& marker : s.mExportMarkers) {
        ChapterPlan chapter;
        if (ToTimeline(s, marker.mTime, plan.timelineLength, chapter.start) &&
            chapter.start < plan.timelineLength) {
            chapter.title = ChapterTitle(marker);
            chapters.push_back(std::move(chapter));
        }
    }
    std::stable_sort(chapters.begin(), chapters.end(),
                     [](ChapterPlan const& a, ChapterPlan const& b) { return a.start < b.start; });
    for (auto& chapter : chapters) {
        if (!plan.chapters.empty() && plan.chapters.back().start == chapter.start) {
            continue;
        }
        if (!plan.chapters.empty()) {
            plan.chapters.back().end = chapter.start;
        }
        chapter.end = plan.timelineLength;
        plan.chapters.push_back(std::move(chapter));
    }
}

std::int32_t PlanCaptions(ExportSettings const& s, EncodePlan& plan) {
    std::vector<CaptionPlan> captions;
    for (auto const& caption : s.mExportCaptions) {
        if (caption.mData.size() % 2 != 0 || caption.mData.size() > kMaxCaptionBytes) {
            return kErrCaptionData;
        }
        CaptionPlan entry;
        if (caption.mData.empty() ||
            !ToTimeline(s, caption.mTime, plan.timelineLength, entry.start) ||
            entry.start >= plan.timelineLength) {
            continue;
        }
        entry.pairs = caption.mData;
        captions.push_back(std::move(entry));
    }
    std::stable_sort(captions.begin(), captions.end(),
                     [](CaptionPlan const& a, CaptionPlan const& b) { return a.start < b.start; });
    for (std::size_t i = 0; i < captions.size(); ++i) {
        if (!plan.captions.empty() && plan.captions.back().start == captions[i].start) {
            // Two captions at one time are shown as one sample.
            auto& pairs = plan.captions.back().pairs;
            if (pairs.size() + captions[i].pairs.size() > kMaxCaptionBytes) {
                return kErrCaptionData;
            }
            pairs.insert(pairs.end(), captions[i].pairs.begin(), captions[i].pairs.end());
            continue;
        }
        if (!plan.captions.empty()) {
            plan.captions.back().duration = captions[i].start - plan.captions.back().start;
        }
        captions[i].duration = plan.timelineLength - captions[i].start;
        plan.captions.push_back(std::move(captions[i]));
    }
    return kExportOK;
}

}  // namespace

std::int64_t CountSteps(std::int64_t ticks, std::int64_t ticksPerSecond, std::int64_t unitNumerator,
                        std::int64_t unitDenominator) {
    if (ticks < 0 || ticksPerSecond <= 0 || unitNumerator <= 0 || unitDenominator <= 0) {
        return -1;
    }
    Wide const numerator = Wide(ticks) * Wide(unitDenominator);
    Wide const denominator = Wide(ticksPerSecond) * Wide(unitNumerator);
    Wide const steps = (numerator + denominator - 1) / denominator;
    return steps > Wide(INT64_MAX) ? -1 : std::int64_t(steps);
}

std::int32_t MakePlan(ExportSettings const& s, EncodePlan& plan) {
    plan = EncodePlan();
    if (!s.mExportVideo && !s.mExportAudio) {
        return kErrNothingToExport;
    }
    if (s.mTicksPerSecond <= 0 || s.mExportEndTime <= s.mExportStartTime ||
        (s.mExportStartTime < 0 && s.mExportEndTime > INT64_MAX + s.mExportStartTime)) {
        return kErrTimeRange;
    }
    plan.timelineBase = AVRational{1, int(kTimelineScale)};
    plan.timelineLength =
        CountSteps(s.mExportEndTime - s.mExportStartTime, s.mTicksPerSecond, 1, kTimelineScale);
    if (plan.timelineLength < 1) {
        return kErrTimeRange;
    }
    if (std::int32_t r = CheckPathText(s.mFilePath); r != kExportOK) {
        return r;
    }
    plan.destination = s.mFilePath;
    plan.hasVideo = s.mExportVideo;
    plan.hasAudio = s.mExportAudio;
    if (plan.hasVideo) {
        if (std::int32_t r = PlanVideo(s, plan.video); r != kExportOK) {
            return r;
        }
    }
    if (plan.hasAudio) {
        if (std::int32_t r = PlanAudio(s, plan.audio); r != kExportOK) {
            return r;
        }
    }
    PlanChapters(s, plan);
    if (std::int32_t r = PlanCaptions(s, plan); r != kExportOK) {
        return r;
    }
    // A poster time outside the range leaves the poster at the movie's start.
    std::int64_t poster = 0;
    if (ToTimeline(s, s.mVideoPosterFrameTickTime, plan.timelineLength, poster)) {
        plan.posterMicroseconds = poster;
    }
    return kExportOK;
}

}  // namespace vireo::server::exporting::detail
