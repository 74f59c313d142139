#include "export/ExportService.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "ExportSession.h"
#include "basekit/debug/Failure.h"
#include "engine/FFmpegHandles.h"
#include "export/ExportErrors.h"

namespace vireo::server::exporting {

using detail::ExportSession;
using Strand = boost::asio::strand<boost::asio::thread_pool::executor_type>;

struct ExportService::Impl {
    struct Entry {
        std::shared_ptr<ExportSession> session;
        Strand strand;
    };

    explicit Impl(ServiceOptions const& options)
        : journal(options.journalDirectory),
          pool(options.threads != 0
                   ? options.threads
                   : std::max<std::size_t>(2, std::thread::hardware_concurrency())) {}

    static void Deliver(Callback const& done, std::int32_t result) {
        try {
            if (done) {
                done(result);
            }
        } catch (...) {
            BASEKIT_REPORT_CAUGHT("answering an export call");
        }
    }

    // Answers on a pool thread, never inside the caller's call.
    void Answer(Callback done, std::int32_t result) {
        boost::asio::post(pool, [done = std::move(done), result] { Deliver(done, result); });
    }

    // The entry of `id` when `owner` started it.
    std::optional<Entry> Find(OwnerKey owner, ExportId const& id) const {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = exports.find(id);
        if (found == exports.end() || found->second.session->Owner() != owner) {
            return std::nullopt;
        }
        return found->second;
    }

    // The entry of `id` when `owner` started it and it still takes frames and audio; otherwise
    // `done` is answered why not and nothing is returned.
    std::optional<Entry> FindTakingData(OwnerKey owner, ExportId const& id, Callback& done) {
        std::optional<Entry> entry = Find(owner, id);
        if (!entry) {
            Answer(std::move(done), kErrUnknownExport);
        } else if (entry->session->Completing()) {
            Answer(std::move(done), kErrCompleting);
            entry.reset();
        }
        return entry;
    }

    void Forget(std::shared_ptr<ExportSession> const& session) {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = exports.find(session->Id());
        if (found != exports.end() && found->second.session == session) {
            exports.erase(found);
        }
    }

    // Stops an export: the work queued on its strand answers `code`, then its files go.
    static void Stop(Entry const& entry, std::int32_t code) {
        entry.session->RequestStop(code);
        boost::asio::post(entry.strand, [session = entry.session] { session->Discard(); });
    }

    std::string const journal;
    boost::asio::thread_pool pool;
    mutable std::mutex mutex;  // guards the two members below
    std::map<ExportId, Entry> exports;
    bool stopping = false;
};

ExportService::ExportService(ServiceOptions options) : mImpl(std::make_shared<Impl>(options)) {
    engine::detail::InitFFmpegLogging();
}

ExportService::~ExportService() {
    std::vector<Impl::Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mImpl->mutex);
        mImpl->stopping = true;
        for (auto& [id, entry] : mImpl->exports) {
            entries.push_back(entry);
        }
        mImpl->exports.clear();
    }
    for (auto const& entry : entries) {
        Impl::Stop(entry, kErrShuttingDown);
    }
    entries.clear();
    mImpl->pool.join();
}

void ExportService::Start(OwnerKey owner, ExportId const& id, ExportSettings settings,
                          Callback done) {
    Impl& impl = *mImpl;
    std::int32_t refusal = kExportOK;
    Impl::Entry entry{nullptr, boost::asio::make_strand(impl.pool.get_executor())};
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        if (impl.stopping) {
            refusal = kErrShuttingDown;
        } else if (impl.exports.count(id) != 0) {
            refusal = kErrExportExists;
        } else {
            entry.session = std::make_shared<ExportSession>(owner, id, impl.journal);
            impl.exports.emplace(id, entry);
        }
    }
    if (refusal != kExportOK) {
        impl.Answer(std::move(done), refusal);
        return;
    }
    boost::asio::post(entry.strand, [&impl, session = entry.session, settings = std::move(settings),
                                     done = std::move(done)] {
        std::int32_t const result = session->Start(settings);
        if (result != kExportOK) {
            impl.Forget(session);
        }
        Impl::Deliver(done, result);
    });
}

void ExportService::SubmitFrame(OwnerKey owner, ExportId const& id, std::uint32_t frameNumber,
                                VideoFrameView frame, Callback done) {
    std::optional<Impl::Entry> const entry = mImpl->FindTakingData(owner, id, done);
    if (!entry) {
        return;
    }
    boost::asio::post(entry->strand, [session = entry->session, frameNumber,
                                      frame = std::move(frame), done = std::move(done)]() mutable {
        std::int32_t const result = session->Frame(frameNumber, frame);
        frame = VideoFrameView();  // the host's frame is let go before it hears the answer
        Impl::Deliver(done, result);
    });
}

void ExportService::SubmitAudio(OwnerKey owner, ExportId const& id, std::int64_t firstSample,
                                std::int64_t sampleCount, AudioBlockView block, Callback done) {
    std::optional<Impl::Entry> const entry = mImpl->FindTakingData(owner, id, done);
    if (!entry) {
        return;
    }
    boost::asio::post(entry->strand, [session = entry->session, firstSample, sampleCount,
                                      block = std::move(block), done = std::move(done)]() mutable {
        std::int32_t const result = session->Audio(firstSample, sampleCount, block);
        block = AudioBlockView();
        Impl::Deliver(done, result);
    });
}

std::int32_t ExportService::Progress(OwnerKey owner, ExportId const& id) const {
    std::optional<Impl::Entry> const entry = mImpl->Find(owner, id);
    if (!entry) {
        return kErrUnknownExport;
    }
    return entry->session->Progress();
}

void ExportService::Cancel(OwnerKey owner, ExportId const& id) {
    if (std::optional<Impl::Entry> const entry = mImpl->Find(owner, id)) {
        Impl::Stop(*entry, kErrCancelled);
    }
}

void ExportService::Complete(OwnerKey owner, ExportId const& id, std::int32_t hostStatus,
                             Callback done) {
    Impl& impl = *mImpl;
    std::optional<Impl::Entry> const entry = impl.Find(owner, id);
    if (!entry) {
        impl.Answer(std::move(done), kErrUnknownExport);
        return;
    }
    if (!entry->session->BeginCompletion()) {
        impl.Answer(std::move(done), kErrCompleting);
        return;
    }
    boost::asio::post(entry->strand,
                      [&impl, session = entry->session, hostStatus, done = std::move(done)] {
                          std::int32_t const result = session->Finish(hostStatus);
                          impl.Forget(session);
                          Impl::Deliver(done, result);
                      });
}

void ExportService::AbandonOwner(OwnerKey owner) {
    std::vector<Impl::Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mImpl->mutex);
        for (auto it = mImpl->exports.begin(); it != mImpl->exports.end();) {
            if (it->second.session->Owner() == owner) {
                entries.push_back(it->second);
                it = mImpl->exports.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto const& entry : entries) {
        Impl::Stop(entry, kErrAbandoned);
    }
}

std::size_t ExportService::ExportCount() const {
    std::lock_guard<std::mutex> lock(mImpl->mutex);
    return mImpl->exports.size();
}

}  // namespace vireo::server::exporting
