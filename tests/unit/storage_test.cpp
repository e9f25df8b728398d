// The take's disk faults, met at the byte a test chooses through the
// storage seam: a write cut short at a limit and then EFBIG, a disk that
// fills half way through a write, a rename or an unlink that fails.
#include "pipeline/wav.h"
#include "take/finish.h"
#include "take/file_limit.h"
#include "take/names.h"
#include "take/lock.h"
#include "take/note.h"
#include "take/recovery.h"
#include "common/storage.h"
#include "take/take.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A fresh directory to work in, and the system's own calls back when it goes.
struct seam_sandbox {
    fs::path before = fs::current_path();
    fs::path root;
    seam_sandbox()
    {
        char name[] = "/tmp/floatrec-seam-XXXXXX";
        root = mkdtemp(name);
        fs::current_path(root);
    }
    ~seam_sandbox()
    {
        storage() = system_storage();
        fs::current_path(before);
        fs::remove_all(root);
    }
};

// A disk that takes files up to `file_limit` bytes: a write across it is cut
// short there, the next fails with `error`. (One limit for every file.)
off_t file_limit_bytes = 0;
int limit_error = EFBIG;

ssize_t pwrite_to_limit(int fd, const void* bytes, std::size_t size, off_t at)
{
    if (at >= file_limit_bytes) {
        errno = limit_error;
        return -1;
    }
    const auto room = static_cast<std::size_t>(file_limit_bytes - at);
    return ::pwrite(fd, bytes, std::min(size, room), at);
}

int fails_with_eio(const char*, const char*)
{
    errno = EIO;
    return -1;
}

int unlink_fails(const char*)
{
    errno = EIO;
    return -1;
}

int rename_to_recovered_fails(const char* from, const char* to)
{
    if (std::string_view(to).starts_with("recovered-")) {
        errno = EIO;
        return -1;
    }
    return ::rename(from, to);
}

// A take of `samples` samples gathered and appended at 1,000 Hz (its
// directory unheld: a run's lock is its own concern).
failure record_take(take& take, std::size_t samples)
{
    EXPECT_TRUE(take_prepare(take, 1000, samples).ok());
    EXPECT_TRUE(take_begin(take).ok());
    std::span<float> room = take_room(take);
    for (std::size_t i = 0; i < samples; ++i) {
        room[i] = static_cast<float>(i + 1);
    }
    take_gathered(take, samples);
    return take_append(take);
}

} // namespace

// A write cut short at the limit (half a sample in), then EFBIG: the take
// keeps every whole sample, goes on in 00001.raw, and each WAV part fits the
// limit the disk showed.
TEST(StorageFaults, WriteCutShortAtTheLimitThenEfbigKeepsEachPartWithinIt)
{
    const seam_sandbox box;
    file_limit_bytes = 1002; // 250 samples and half of one
    limit_error = EFBIG;
    storage().pwrite = pwrite_to_limit;
    take take;
    ASSERT_TRUE(record_take(take, 400).ok());
    EXPECT_EQ(fs::file_size("00000.raw"), 1000U);
    EXPECT_EQ(take_limits_of(take).limit.bytes, 1000U);
    EXPECT_EQ(take_progress_of(take).kept_frames, 400U);
    EXPECT_EQ(take_progress_of(take).unsure_frames, 0U);
    EXPECT_EQ(take.note.part_bytes, part_bytes_for(take_limits_of(take).limit));
    const take_finished done = take_finish(take);
    ASSERT_TRUE(done.why.ok());
    ASSERT_GE(done.written.size(), 2U);
    uint64_t samples = 0;
    for (const std::string& name : done.written) {
        EXPECT_LE(fs::file_size(name), 1000U) << name;
        samples += (fs::file_size(name) - wav_header_bytes) / 4;
    }
    EXPECT_EQ(samples, 400U);
}

// The disk fills half way through a write: what went in is kept in whole
// samples, counted and synced; the failure names the file and the reason.
TEST(StorageFaults, DiskFullMidWriteKeepsWhatWentIn)
{
    const seam_sandbox box;
    file_limit_bytes = 602;
    limit_error = ENOSPC;
    storage().pwrite = pwrite_to_limit;
    take take;
    const failure failed = record_take(take, 400);
    EXPECT_EQ(failed.what, fault::writing);
    EXPECT_EQ(failed.subject, raw_name);
    EXPECT_EQ(failed.code, ENOSPC);
    EXPECT_EQ(fs::file_size("00000.raw"), 600U);
    EXPECT_EQ(take_progress_of(take).kept_frames, 150U);
    EXPECT_EQ(take_progress_of(take).unsure_frames, 0U);
    EXPECT_FALSE(fs::exists(raw_file_name(1)));
}

// A rename or an unlink that fails is said as itself, and leaves no
// temporary file and the earlier target.wav as it was.
TEST(StorageFaults, FailedRenameAndUnlinkAreSaidAsSuch)
{
    const seam_sandbox box;
    std::ofstream("target.wav") << "earlier take";
    take take;
    ASSERT_TRUE(record_take(take, 100).ok());
    storage().rename = fails_with_eio;
    std::vector<std::string> written;
    const failure renamed = write_target(take_output{}, 1000, raw_pieces(take.raw), plan_parts(400, 0), false, written);
    EXPECT_EQ(renamed.what, fault::renaming);
    EXPECT_EQ(renamed.subject, target_name);
    EXPECT_EQ(renamed.code, EIO);
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(fs::exists(target_temp_name));
    EXPECT_EQ(fs::file_size("target.wav"), 12U);
    const failure noted = write_note(take.note);
    EXPECT_EQ(noted.what, fault::renaming);
    EXPECT_EQ(noted.subject, note_name);
    storage() = system_storage();
    storage().unlink = unlink_fails;
    const failure ended = forget_note();
    EXPECT_EQ(ended.what, fault::removing);
    EXPECT_EQ(ended.subject, note_name);
    EXPECT_TRUE(fs::exists(note_name));
}

// A save that fails after it claimed its name leaves no empty claim behind
// (one that outlived it would stay for good once the take moved away).
TEST(StorageFaults, FailedSaveLeavesNoEmptyClaim)
{
    const seam_sandbox box;
    take take;
    ASSERT_TRUE(record_take(take, 100).ok()); // an unfinished take, as a killed run leaves it
    storage().rename = rename_to_recovered_fails;
    const recovery saved = recover_take(take.raw);
    EXPECT_EQ(saved.why.what, fault::take_not_saved);
    EXPECT_EQ(saved.why.cause, fault::renaming);
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("recovered-")) << entry.path();
    }
    EXPECT_TRUE(fs::exists(note_name));
}
