#pragma once
// The file an export writes: created beside its destination under a temporary name that says
// which server process owns it, recorded in the journal directory while it exists, and renamed
// into place only by Commit.
//
// Temporary name: ".<destination name>.vireo-<pid>-<start time>-<16 hex digits>.partial"
// (the destination name shortened to 100 bytes), where pid and start time (field 22 of
// /proc/<pid>/stat) name the owning process across pid reuse.
// Journal record: "<pid>-<start time>-<16 hex digits>.export", holding the temporary path.
#include <cstdint>
#include <memory>
#include <string>

namespace vireo::server::exporting::detail {

// Checks the destination against the file system: its directory exists and takes new files,
// and it is not a directory, nor a file we may not replace. kExportOK or the refusal.
std::int32_t CheckDestination(std::string const& path);

class TemporaryMovie {
  public:
    // Creates the temporary file (never following or replacing anything) and its record.
    static std::int32_t Create(std::string const& destination, std::string const& journal,
                               std::unique_ptr<TemporaryMovie>& out);
    // Discards the file unless committed.
    ~TemporaryMovie();
    TemporaryMovie(TemporaryMovie const&) = delete;
    TemporaryMovie& operator=(TemporaryMovie const&) = delete;

    int Descriptor() const { return mFd; }
    std::string const& Path() const { return mPath; }

    // Flushes the file to disk and renames it over the destination. kExportOK or kErrWriteFailed
    // (the file is then discarded).
    std::int32_t Commit();
    // Closes and removes the file and its record. Idempotent.
    void Discard();

  private:
    TemporaryMovie() = default;
    void ForgetRecord();

    int mFd = -1;
    std::string mPath;
    std::string mDestination;
    std::string mRecord;  // journal record path, empty when not recorded
    bool mDone = false;
};

// Removes, in `directory`, temporary movies whose owning process is gone. Returns how many.
std::size_t RemoveDeadTemporariesIn(std::string const& directory);

}  // namespace vireo::server::exporting::detail
