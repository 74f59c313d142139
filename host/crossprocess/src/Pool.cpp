#include "Pool.h"

#include <algorithm>

namespace crossprocess {
namespace detail {

std::uint64_t SizeClass(std::uint64_t size) {
    if (size <= kMinClassSize) {
        return kMinClassSize;
    }
    std::uint64_t power = std::uint64_t{1} << (63 - __builtin_clzll(size));
    if (power == size) {
        return size;
    }
    std::uint64_t const step = power / 4;
    return (size + step - 1) / step * step;
}

Lease::~Lease() {
    Pool::Instance().Return(std::move(mSegment), std::move(mReaders));
}

void Lease::AddReader(basetransport::SessionPtr const& session) {
    if (!session) {
        return;
    }
    std::int64_t const id = session->GetID();
    std::lock_guard<std::mutex> lock(mMutex);
    for (auto& reader : mReaders) {
        if (reader.first == id) {
            return;
        }
    }
    // Forget readers whose session is gone before the list grows.
    mReaders.erase(std::remove_if(mReaders.begin(), mReaders.end(),
                                  [](auto const& r) { return r.second.expired(); }),
                   mReaders.end());
    mReaders.emplace_back(id, session);
}

Pool& Pool::Instance() {
    static Pool* pool = new Pool;  // never destroyed: leases may end during exit
    return *pool;
}

LeasePtr Pool::Acquire(std::uint64_t size) {
    if (size == 0 || size > kMaxBlockSize) {
        return nullptr;
    }
    std::uint64_t const capacity = SizeClass(size);
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto it = mIdle.find(capacity);
        if (it != mIdle.end() && !it->second.empty()) {
            // The most recently returned block: its pages are the likeliest to be cached.
            Idle idle = std::move(it->second.back());
            it->second.pop_back();
            mIdleBytes -= capacity;
            --mIdleBlocks;
            ++mLeased;
            return LeasePtr(new Lease(std::move(idle.segment), std::move(idle.readers)));
        }
        ++mLeased;
    }
    auto segment = OwnedSegment::Create(capacity);
    if (!segment) {
        std::lock_guard<std::mutex> lock(mMutex);
        --mLeased;
        return nullptr;
    }
    return LeasePtr(new Lease(std::move(segment), {}));
}

void Pool::Return(std::unique_ptr<OwnedSegment> segment, ReaderList readers) {
    std::vector<Idle> retired;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        --mLeased;
        std::uint64_t const capacity = segment->Capacity();
        mIdle[capacity].push_back(
            Idle{std::move(segment), std::move(readers), std::chrono::steady_clock::now()});
        mIdleBytes += capacity;
        ++mIdleBlocks;
        CollectExcess(retired);
    }
    Retire(retired);
}

void Pool::CollectExcess(std::vector<Idle>& retired) {
    auto take = [&](std::vector<Idle>& list) {
        mIdleBytes -= list.front().segment->Capacity();
        --mIdleBlocks;
        retired.push_back(std::move(list.front()));
        list.erase(list.begin());
    };
    for (auto& entry : mIdle) {
        while (entry.second.size() > kMaxIdlePerClass) {
            take(entry.second);
        }
    }
    while (mIdleBytes > kMaxIdleBytes) {
        std::vector<Idle>* oldest = nullptr;
        for (auto& entry : mIdle) {
            if (!entry.second.empty() &&
                (!oldest || entry.second.front().since < oldest->front().since)) {
                oldest = &entry.second;
            }
        }
        if (!oldest) {
            break;
        }
        take(*oldest);
    }
}

void Pool::Trim(bool everything) {
    std::vector<Idle> retired;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        auto const cutoff = std::chrono::steady_clock::now() - kMaxIdleAge;
        for (auto& entry : mIdle) {
            auto& list = entry.second;
            while (!list.empty() && (everything || list.front().since < cutoff)) {
                mIdleBytes -= list.front().segment->Capacity();
                --mIdleBlocks;
                retired.push_back(std::move(list.front()));
                list.erase(list.begin());
            }
        }
    }
    Retire(retired);
}

void Pool::Retire(std::vector<Idle>& retired) {
    for (auto& idle : retired) {
        NotifyRetired(idle.segment->Name(), idle.readers);
        idle.segment.reset();  // unmaps and unlinks
    }
}

PoolCounts Pool::Counts() {
    std::lock_guard<std::mutex> lock(mMutex);
    return PoolCounts{mIdleBlocks, mIdleBytes, mLeased};
}

}  // namespace detail
}  // namespace crossprocess
