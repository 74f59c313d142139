// A server that dies in the middle of an export leaves its temporary movie; the next server's
// start (or the next export into that directory) removes it, and only it.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "ExportTestPaths.h"
#include "ExportTestSupport.h"
#include "basekit/utility/Process.h"
#include "engine/FourCC.h"
#include "export/ExportErrors.h"

extern char** environ;

namespace vireo::test::exporting {
namespace {

using engine::MakeFourCC;

// Runs the crashing helper; true when it was killed as it means to be.
bool RunCrashingExport(std::string const& directory, std::string const& journal) {
    std::string helper = VIREO_EXPORT_CRASHING_HELPER;
    std::vector<char*> argv = {helper.data(), const_cast<char*>(directory.c_str()),
                               const_cast<char*>(journal.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, helper.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// A temporary name owned by this (live) test process.
std::string LiveTemporary(std::string const& movie) {
    return "." + movie + ".vireo-" + std::to_string(getpid()) + "-" +
           std::to_string(basekit::utility::ProcessStartTime(getpid())) +
           "-0123456789abcdef.partial";
}

bool IsTemporary(std::string const& name) {
    return name.rfind(".out.mov.vireo-", 0) == 0 && name.size() > 8 &&
           name.compare(name.size() - 8, 8, ".partial") == 0;
}

TEST(Cleanup, DeadServersMoviesGoAtTheNextStartOrTheNextExportIntoTheirDirectory) {
    ScratchDirectory dir;
    ScratchDirectory journal;
    std::ofstream(dir.File("out.mov")) << "existing";
    std::string const live = LiveTemporary("other.mov");
    std::ofstream(dir.File(live)) << "a live server's";
    ASSERT_TRUE(RunCrashingExport(dir.Path(), journal.Path()));
    std::vector<std::string> names = dir.Names();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_TRUE(IsTemporary(names[0]) || IsTemporary(names[1])) << names[0] << " " << names[1];
    ASSERT_EQ(journal.Names().size(), 1u);

    // A server's start removes the file of the dead server's record, and the record.
    ex::CleanupResult const result = ex::RemoveAbandonedExports(journal.Path());
    EXPECT_EQ(result.removed, 1u);
    EXPECT_EQ(result.kept, 0u);
    EXPECT_TRUE(journal.Names().empty());
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{live, "out.mov"}));

    // An export into the directory removes the temporary movie of a process that is gone (the
    // pid's start time differs: the pid was reused); a live process's stays.
    std::string const reused =
        ".old.mov.vireo-" + std::to_string(getpid()) + "-1-0123456789abcdef.partial";
    std::ofstream(dir.File(reused)) << "x";
    ex::ExportService service;
    ex::ExportId const id = NewId();
    ASSERT_EQ(StartExport(service, 1, id,
                          VideoSettings(dir.File("new.mov"), MakeFourCC("png "), 32, 16, 1)),
              0);
    ASSERT_EQ(SubmitFrame(service, 1, id, 0, MakeFrame(MakeFourCC("BGRA"), 32, 16, 0)), 0);
    ASSERT_EQ(CompleteExport(service, 1, id), 0);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{live, "new.mov", "out.mov"}));
    std::ifstream existing(dir.File("out.mov"));
    std::string text;
    existing >> text;
    EXPECT_EQ(text, "existing");
}

// A live server's record and its movie stay; a damaged record goes without removing the file it
// names.
TEST(Cleanup, RecordsOfLiveServersStayAndDamagedRecordsRemoveNothingElse) {
    ScratchDirectory dir;
    ScratchDirectory journal;
    std::ofstream(dir.File("victim.mov")) << "keep";
    // A record of a dead process whose content names some other file.
    std::ofstream(journal.File("1-2-0123456789abcdef.export")) << dir.File("victim.mov") << "\n";
    std::ofstream(journal.File("not-a-record.export")) << dir.File("victim.mov") << "\n";
    ex::ServiceOptions options;
    options.journalDirectory = journal.Path();
    ex::ExportService service(options);
    ex::ExportId const id = NewId();
    ASSERT_EQ(StartExport(service, 1, id,
                          VideoSettings(dir.File("live.mov"), MakeFourCC("png "), 32, 16, 1)),
              0);
    ex::CleanupResult const result = ex::RemoveAbandonedExports(journal.Path());
    EXPECT_EQ(result.kept, 1u);
    EXPECT_EQ(result.removed, 1u);
    EXPECT_EQ(dir.Names().size(), 2u);      // the running export's temporary movie, and the victim
    EXPECT_EQ(journal.Names().size(), 2u);  // the live record and the foreign file
    ASSERT_EQ(SubmitFrame(service, 1, id, 0, MakeFrame(MakeFourCC("BGRA"), 32, 16, 0)), 0);
    ASSERT_EQ(CompleteExport(service, 1, id), 0);
    EXPECT_EQ(journal.Names(), std::vector<std::string>{"not-a-record.export"});
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"live.mov", "victim.mov"}));
}

}  // namespace
}  // namespace vireo::test::exporting
