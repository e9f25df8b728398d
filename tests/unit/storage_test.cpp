// The take's disk faults, met at the byte a test chooses through the
// storage seam: a write cut short at a limit and then EFBIG, a disk that
// fills half way through a write, a rename or an unlink that fails.
#include "take/finish.h"
#include "take/file_limit.h"
#include "output/words.h"
#include "take/names.h"
#include "take/lock.h"
#include "take/note_file.h"
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

// A take of `samples` samples gathered and appended at 1,000 Hz.
failure record_take(raw_file& raw, take_note& note, std::size_t samples)
{
    held_lock unheld; // (a run's lock is its own concern)
    EXPECT_TRUE(raw_prepare(raw, samples, 1000, largest_file_here()).ok());
    EXPECT_TRUE(take_begin(raw, 1000, note, unheld).ok());
    std::span<float> room = raw_room(raw);
    for (std::size_t i = 0; i < samples; ++i) {
        room[i] = static_cast<float>(i + 1);
    }
    raw_gathered(raw, samples);
    return take_append(raw, note, unheld);
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
    raw_file raw;
    take_note note;
    ASSERT_TRUE(record_take(raw, note, 400).ok());
    EXPECT_EQ(fs::file_size("00000.raw"), 1000U);
    EXPECT_EQ(raw.limit.bytes, 1000U);
    EXPECT_EQ(raw.take_bytes, 1600U);
    EXPECT_EQ(raw.synced_bytes, raw.take_bytes);
    EXPECT_EQ(note.part_bytes, part_bytes_for(raw.limit));
    ASSERT_TRUE(raw_read_size(raw).ok());
    storage() = system_storage(); // the WAVs are copied by the kernel, past this limit's reach
    std::vector<std::string> written;
    ASSERT_TRUE(write_target(take_output{}, 1000, raw_pieces(raw), plan_parts(raw.take_bytes, raw.part_bytes), false, written).ok());
    ASSERT_GE(written.size(), 2U);
    uint64_t samples = 0;
    for (const std::string& name : written) {
        EXPECT_LE(fs::file_size(name), 1000U) << name;
        samples += (fs::file_size(name) - wav_header_bytes) / 4;
    }
    EXPECT_EQ(samples, 400U);
    // A limit met but never told its size is never said as a figure.
    EXPECT_EQ(limit_words(file_limit{}), "the largest file this disk holds");
    EXPECT_EQ(way_on(EFBIG, file_limit{}).find("0 bytes"), std::string::npos);
}

// The disk fills half way through a write: what went in is kept in whole
// samples, counted and synced; the failure names the file and the reason.
TEST(StorageFaults, DiskFullMidWriteKeepsWhatWentIn)
{
    const seam_sandbox box;
    file_limit_bytes = 602;
    limit_error = ENOSPC;
    storage().pwrite = pwrite_to_limit;
    raw_file raw;
    take_note note;
    const failure failed = record_take(raw, note, 400);
    EXPECT_EQ(failed.what, fault::writing);
    EXPECT_EQ(failed.subject, raw_name);
    EXPECT_EQ(failed.code, ENOSPC);
    EXPECT_EQ(fs::file_size("00000.raw"), 600U);
    EXPECT_EQ(raw.take_bytes, 600U);
    EXPECT_EQ(raw.synced_bytes, 600U);
    EXPECT_FALSE(fs::exists(raw_file_name(1)));
}

// A rename or an unlink that fails is said as itself, and leaves no
// temporary file and the earlier target.wav as it was.
TEST(StorageFaults, FailedRenameAndUnlinkAreSaidAsSuch)
{
    const seam_sandbox box;
    std::ofstream("target.wav") << "earlier take";
    raw_file raw;
    take_note note;
    ASSERT_TRUE(record_take(raw, note, 100).ok());
    ASSERT_TRUE(raw_read_size(raw).ok());
    storage().rename = fails_with_eio;
    std::vector<std::string> written;
    const failure renamed = write_target(take_output{}, 1000, raw_pieces(raw), plan_parts(raw.take_bytes, raw.part_bytes), false, written);
    EXPECT_EQ(renamed.what, fault::renaming);
    EXPECT_EQ(renamed.subject, target_name);
    EXPECT_EQ(renamed.code, EIO);
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(fs::exists(target_temp_name));
    EXPECT_EQ(fs::file_size("target.wav"), 12U);
    const failure noted = write_note(note);
    EXPECT_EQ(noted.what, fault::renaming);
    EXPECT_EQ(noted.subject, note_name);
    storage() = system_storage();
    storage().unlink = unlink_fails;
    const failure ended = take_end();
    EXPECT_EQ(ended.what, fault::removing);
    EXPECT_EQ(ended.subject, note_name);
    EXPECT_TRUE(fs::exists(note_name));
}

// A save that fails after it claimed its name leaves no empty claim behind
// (one that outlived it would stay for good once the take moved away).
TEST(StorageFaults, FailedSaveLeavesNoEmptyClaim)
{
    const seam_sandbox box;
    raw_file raw;
    take_note note;
    ASSERT_TRUE(record_take(raw, note, 100).ok()); // an unfinished take, as a killed run leaves it
    storage().rename = rename_to_recovered_fails;
    const recovery saved = recover_take(raw);
    EXPECT_EQ(saved.why.what, fault::take_not_saved);
    EXPECT_EQ(saved.why.cause, fault::renaming);
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("recovered-")) << entry.path();
    }
    EXPECT_TRUE(fs::exists(note_name));
}
