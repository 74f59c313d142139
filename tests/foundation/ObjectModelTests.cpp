// The library's object model: queries from an identifier list, private objects, and shared
// objects built on first use and destroyed with their last reference.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "Orb/ObjectModel.h"

using basekit::utility::Guid;
using Orb::PrivateImplementation;
using Orb::SharedImplementation;
using Orb::SharedObject;

namespace vireo::test::foundation {

namespace {

constexpr std::uint32_t kAliveMagic = 0xA11CE5ED;

struct ITestThing : OrbUnknown {
    static constexpr Guid kIID{"{6A0C7E52-1B7D-4C55-9A43-0F7C9D1E2B01}"};
    virtual std::uint32_t Poke() = 0;
};

// The base implementation class: counts constructions and destructions and carries a magic
// value that its destructor wipes, so a call on a destroyed object is noticed.
class TestThing : public ITestThing {
  public:
    static constexpr Guid kIID{"{6A0C7E52-1B7D-4C55-9A43-0F7C9D1E2B02}"};
    static std::atomic<int> constructed;
    static std::atomic<int> destroyed;

    TestThing() { ++constructed; }
    ~TestThing() override {
        mMagic.store(0);
        ++destroyed;
    }
    std::uint32_t Poke() override { return mMagic.load(); }

  private:
    std::atomic<std::uint32_t> mMagic{kAliveMagic};
};
std::atomic<int> TestThing::constructed{0};
std::atomic<int> TestThing::destroyed{0};

class SharedThing final : public SharedImplementation<SharedThing, TestThing> {
  public:
    static constexpr Guid kIID{"{6A0C7E52-1B7D-4C55-9A43-0F7C9D1E2B03}"};
    static constexpr std::array<Guid, 4> kInterfaceIds{kIID, ITestThing::kIID, TestThing::kIID,
                                                       OrbUnknown::kIID};
};

class PrivateThing final : public PrivateImplementation<PrivateThing, TestThing> {
  public:
    static constexpr Guid kIID{"{6A0C7E52-1B7D-4C55-9A43-0F7C9D1E2B04}"};
    static constexpr std::array<Guid, 4> kInterfaceIds{kIID, ITestThing::kIID, TestThing::kIID,
                                                       OrbUnknown::kIID};
};

// A shared object whose destructor releases a shared object of another class.
class Holder final : public SharedImplementation<Holder, TestThing> {
  public:
    static constexpr Guid kIID{"{6A0C7E52-1B7D-4C55-9A43-0F7C9D1E2B05}"};
    static constexpr std::array<Guid, 2> kInterfaceIds{kIID, OrbUnknown::kIID};
    InterfaceRef<SharedThing> held = SharedObject<SharedThing>::Get();
};

}  // namespace

TEST(ObjectModel, QueriesAnswerTheListWithOnePointer) {
    InterfaceRef<PrivateThing> thing = PrivateThing::Make();
    OrbUnknown* const self = static_cast<OrbUnknown*>(thing.get());
    for (Guid const& id : PrivateThing::kInterfaceIds) {
        OrbUnknown* out = nullptr;
        EXPECT_EQ(thing->QueryInterfaceNoRef(id, &out), 0);
        EXPECT_EQ(out, self);
    }
    OrbUnknown* out = self;
    EXPECT_EQ(thing->QueryInterfaceNoRef(SharedThing::kIID, &out), Orb::kUnknownInterface);
    EXPECT_EQ(out, nullptr);

    // QueryInterface adds the reference it hands out.
    int const before = TestThing::destroyed.load();
    ASSERT_EQ(thing->QueryInterface(OrbUnknown::kIID, &out), 0);
    thing.reset();
    EXPECT_EQ(TestThing::destroyed.load(), before);
    out->Release();
    EXPECT_EQ(TestThing::destroyed.load(), before + 1);
}

TEST(ObjectModel, SharedObjectLivesFromFirstGetToLastRelease) {
    ASSERT_FALSE(SharedObject<SharedThing>::Exists());
    int const built = TestThing::constructed.load();
    {
        InterfaceRef<SharedThing> a = SharedThing::Get();
        InterfaceRef<SharedThing> b = SharedThing::Get();
        EXPECT_EQ(a, b);
        EXPECT_EQ(TestThing::constructed.load(), built + 1);
        EXPECT_EQ(SharedObject<SharedThing>::GetState(), 2);
        InterfaceRef<ITestThing> c(a);  // conversion adds a reference to the same counter
        EXPECT_EQ(SharedObject<SharedThing>::GetState(), 3);
    }
    EXPECT_FALSE(SharedObject<SharedThing>::Exists());
    InterfaceRef<SharedThing> again = SharedThing::Get();  // built anew
    EXPECT_EQ(TestThing::constructed.load(), built + 2);
    EXPECT_EQ(again->Poke(), kAliveMagic);
}

TEST(ObjectModel, DestructorMayReleaseAnotherSharedObject) {
    {
        InterfaceRef<Holder> holder = Holder::Get();
        EXPECT_TRUE(SharedObject<SharedThing>::Exists());
    }
    EXPECT_FALSE(SharedObject<Holder>::Exists());
    EXPECT_FALSE(SharedObject<SharedThing>::Exists());
}

TEST(ObjectModel, ConcurrentGetsAndReleasesNeverSeeADestroyedObject) {
    int const builtBefore = TestThing::constructed.load();
    int const destroyedBefore = TestThing::destroyed.load();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&bad, t] {
            for (int i = 0; i < 3000; ++i) {
                InterfaceRef<SharedThing> ref = SharedThing::Get();
                if (ref->Poke() != kAliveMagic) {
                    ++bad;
                }
                if ((i + t) % 3 == 0) {
                    InterfaceRef<ITestThing> extra(ref);  // an extra AddRef/Release pair
                    if (extra->Poke() != kAliveMagic) {
                        ++bad;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(bad.load(), 0);
    EXPECT_FALSE(SharedObject<SharedThing>::Exists());
    int const built = TestThing::constructed.load() - builtBefore;
    EXPECT_GE(built, 1);
    EXPECT_EQ(TestThing::destroyed.load() - destroyedBefore, built);
}

}  // namespace vireo::test::foundation
