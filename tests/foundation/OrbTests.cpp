// Paths, named directories and the interface holder.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "Orb/DirectoryRegistry.h"
#include "Orb/InterfaceRef.h"
#include "Orb/PathUtils.h"

using basekit::UTF16String;
using Orb::DirectoryRegistry;
using Orb::PathUtils;

namespace vireo::test::foundation {

TEST(PathUtils, CombinesAndSplitsWithEitherSeparator) {
    EXPECT_EQ(PathUtils::CombinePaths(u"/opt/app/", u"/x"), u"/opt/app/x");
    EXPECT_EQ(PathUtils::CombinePaths(u"/opt/app\\", u"32\\Corvid Vireo Server.exe"),
              u"/opt/app/32/Corvid Vireo Server.exe");
    EXPECT_EQ(PathUtils::CombinePaths(u"", u"a\\b"), u"a/b");
    EXPECT_EQ(PathUtils::GetFullDirectoryPart(u"C:\\movies\\clip.mov"), u"C:/movies/");
    EXPECT_EQ(PathUtils::GetFullDirectoryPart(u"clip.mov"), u"");
    EXPECT_EQ(PathUtils::GetFullFilePart(u"D:\\old\\media\\clip.mov"), u"clip.mov");
    EXPECT_EQ(PathUtils::GetFullFilePart(u"/a/b/"), u"");
}

TEST(PathUtils, ExistsOnDiskUnderstandsBackslashes) {
    char dir[] = "/tmp/vireo_paths_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    std::string const sub = std::string(dir) + "/32";
    ASSERT_EQ(::mkdir(sub.c_str(), 0700), 0);
    std::string const file = sub + "/Corvid Vireo Server.exe";
    std::ofstream(file) << "x";

    UTF16String const base = Orb::MakeString(dir);
    EXPECT_TRUE(PathUtils::ExistsOnDisk(base + u"/32\\Corvid Vireo Server.exe"));
    EXPECT_TRUE(PathUtils::ExistsOnDisk(base));
    EXPECT_FALSE(PathUtils::ExistsOnDisk(base + u"32\\Corvid Vireo Server.exe"));
    EXPECT_FALSE(PathUtils::ExistsOnDisk(u""));

    ::unlink(file.c_str());
    ::rmdir(sub.c_str());
    ::rmdir(dir);
}

TEST(DirectoryRegistry, ApplicationIsTheExecutablesDirectoryUnlessRegistered) {
    UTF16String const app = DirectoryRegistry::FindDirectory(Orb::MakeString("application"));
    ASSERT_FALSE(app.empty());
    EXPECT_NE(app.back(), u'/');
    EXPECT_TRUE(PathUtils::ExistsOnDisk(PathUtils::CombinePaths(app, u"foundation_tests")));

    DirectoryRegistry::RegisterDirectory(u"application", u"/opt/host\\bin\\");
    EXPECT_EQ(DirectoryRegistry::FindDirectory(u"application"), u"/opt/host/bin");
    EXPECT_TRUE(DirectoryRegistry::UnregisterDirectory(u"application"));
    EXPECT_EQ(DirectoryRegistry::FindDirectory(u"application"), app);

    EXPECT_EQ(DirectoryRegistry::FindDirectory(u"no such name"), u"");
    EXPECT_FALSE(DirectoryRegistry::FindDirectory(u"temporary").empty());
}

// ---- InterfaceRef
// --------------------------------------------------------------------------------

namespace {

struct IFirst : OrbUnknown {
    static constexpr basekit::utility::Guid kIID{"{11111111-0000-0000-0000-000000000001}"};
};
struct ISecond : OrbUnknown {
    static constexpr basekit::utility::Guid kIID{"{11111111-0000-0000-0000-000000000002}"};
};

// Answers OrbUnknown and IFirst only; counts its references.
class Counted : public IFirst {
  public:
    void AddRef() override { ++refs; }
    void Release() override { --refs; }
    std::int32_t QueryInterface(basekit::utility::Guid const& id, OrbUnknown** out) override {
        std::int32_t const r = QueryInterfaceNoRef(id, out);
        if (r == 0) {
            AddRef();
        }
        return r;
    }
    std::int32_t QueryInterfaceNoRef(basekit::utility::Guid const& id, OrbUnknown** out) override {
        if (id == IFirst::kIID || id == OrbUnknown::kIID) {
            *out = this;
            return 0;
        }
        *out = nullptr;
        return Orb::kUnknownInterface;
    }
    int refs = 0;
};

}  // namespace

TEST(InterfaceRef, ConversionsMoveOrCopyTheReferenceAndFailuresChangeNothing) {
    Counted object;
    {
        InterfaceRef<IFirst> first(&object);
        EXPECT_EQ(object.refs, 1);

        InterfaceRef<ISecond> failedCopy(first);  // query fails
        EXPECT_FALSE(failedCopy);
        EXPECT_EQ(object.refs, 1);
        InterfaceRef<ISecond> failedMove(std::move(first));
        EXPECT_FALSE(failedMove);
        EXPECT_TRUE(first);  // kept its reference
        EXPECT_EQ(object.refs, 1);

        InterfaceRef<OrbUnknown> copied(first);
        EXPECT_EQ(object.refs, 2);
        InterfaceRef<OrbUnknown> moved(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(object.refs, 2);
        EXPECT_EQ(moved.get(), static_cast<OrbUnknown*>(&object));

        InterfaceRef<IFirst> back(std::move(moved));
        EXPECT_EQ(object.refs, 2);
        back.reset();
        EXPECT_EQ(object.refs, 1);
    }
    EXPECT_EQ(object.refs, 0);
}

}  // namespace vireo::test::foundation
