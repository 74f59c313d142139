// Many sessions on one server: reading is asynchronous, so sessions cost no threads.
#include <dirent.h>
#include <sys/resource.h>

#include <memory>
#include <vector>

#include "TestSupport.h"

namespace vireo::test::transport {
namespace {

using namespace basekit::serialization;

int ThreadsOfThisProcess() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (dirent* item = ::readdir(tasks)) {
            count += item->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(tasks);
    }
    return count;
}

TEST(TransportScale, AThousandSessionsOnAFlatThreadCount) {
    constexpr int kSessions = 1000;
    // Both ends live in this process: two descriptors per session.
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 2 * kSessions + 200) {
        GTEST_SKIP() << "the descriptor limit is too low for " << kSessions << " sessions";
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    Loopback loop;
    std::vector<std::unique_ptr<basemarshal::RPCClient>> clients;
    clients.push_back(std::make_unique<basemarshal::RPCClient>(loop.Connect(), u"scale"));
    ASSERT_EQ(Call(*clients.front(), "Echo", VariantArray())->results, 1);
    int const before = ThreadsOfThisProcess();

    while (clients.size() < kSessions) {
        basetransport::SessionPtr session = loop.Connect();
        ASSERT_TRUE(session) << "session " << clients.size();
        clients.push_back(std::make_unique<basemarshal::RPCClient>(session, u"scale"));
    }
    ASSERT_TRUE(WaitUntil([&] { return loop.SessionCount() == kSessions; }));
    // A few threads may join while handlers run long on a loaded machine, never one per session.
    constexpr int kSlack = 16;
    EXPECT_LE(ThreadsOfThisProcess(), before + kSlack);

    // Every session answers, all of them at once.
    std::vector<std::shared_ptr<Outcome>> outcomes;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        outcomes.push_back(std::make_shared<Outcome>());
        clients[i]->SendRequest(BuildCall("Echo", VariantArray{MakeVariant(std::int64_t(i))}),
                                outcomes.back()->ResultHandler(), outcomes.back()->ErrorHandler(),
                                0);
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        ASSERT_TRUE(outcomes[i]->Wait(Milliseconds(20000))) << "session " << i;
        ASSERT_EQ(outcomes[i]->results, 1) << "session " << i;
        auto const& echoed = boost::any_cast<VariantArray const&>(
            *GetVariantInObject(*outcomes[i]->result, "value"));
        EXPECT_EQ(boost::any_cast<std::int64_t>(*echoed.at(0)), static_cast<std::int64_t>(i));
    }
    EXPECT_LE(ThreadsOfThisProcess(), before + kSlack);
}

}  // namespace
}  // namespace vireo::test::transport
