// The take's disk faults, met at the byte a test chooses through the
// storage seam: a write cut short at a limit and then EFBIG, a disk that
// fills half way through a write, a rename or an unlink that fails.
#include "common/clock.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
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
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <sys/resource.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

// A file system that clones blocks (or refuses with `clone_error`), and a
// kernel copy that moves at most 1,000 bytes a call (or fails with
// `kernel_copy_error`); each call counted.
int clone_error = 0;
int kernel_copy_error = 0;
int clones = 0;
int kernel_copies = 0;

int clone_blocks(int fd, unsigned long request, void* argument)
{
    if (request != FICLONERANGE) {
        return ::ioctl(fd, request, argument);
    }
    ++clones;
    if (clone_error != 0) {
        errno = clone_error;
        return -1;
    }
    const auto* range = static_cast<const file_clone_range*>(argument);
    std::vector<char> bytes(range->src_length); // what a clone shows
    const ssize_t got = ::pread(static_cast<int>(range->src_fd), bytes.data(), bytes.size(), static_cast<off_t>(range->src_offset));
    return got == static_cast<ssize_t>(bytes.size()) &&
                   ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(range->dest_offset)) == got
               ? 0
               : -1;
}

ssize_t copy_a_little(int from_fd, off_t* from_at, int to_fd, off_t* to_at, std::size_t size)
{
    ++kernel_copies;
    if (kernel_copy_error != 0) {
        errno = kernel_copy_error;
        return -1;
    }
    return ::copy_file_range(from_fd, from_at, to_fd, to_at, std::min<std::size_t>(size, 1000), 0);
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
    EXPECT_TRUE(take_prepare(take, take_format(1000), samples).ok());
    EXPECT_TRUE(take_begin(take, realtime_ns()).ok());
    std::span<float> room = take_room(take);
    for (std::size_t i = 0; i < samples; ++i) {
        room[i] = static_cast<float>(i + 1);
    }
    take_gathered(take, samples, samples);
    return take_append(take);
}

} // namespace

// A write cut short at the limit (half a sample in), then EFBIG: the take
// keeps every whole sample, goes on in 00001.raw, and each WAV part fits the
// limit the disk showed.
TEST(StorageFaults, WriteCutShortAtTheLimitThenEfbigKeepsEachPartWithinIt)
{
    const seam_sandbox box;
    file_limit_bytes = 5098; // a WAV header's room, 250 samples and half of one
    limit_error = EFBIG;
    storage().pwrite = pwrite_to_limit;
    take take;
    ASSERT_TRUE(record_take(take, 2000).ok());
    EXPECT_EQ(fs::file_size("00000.raw"), 5096U);
    EXPECT_EQ(take_limits_of(take).limit.bytes, 5096U);
    EXPECT_EQ(take_progress_of(take).kept_frames, 2000U);
    EXPECT_EQ(take_progress_of(take).unsure_frames, 0U);
    EXPECT_EQ(read_note(std::time(nullptr)).note->part_bytes, part_bytes_for(take_limits_of(take).limit));
    const take_finished done = take_finish(take);
    ASSERT_TRUE(done.why.ok());
    ASSERT_GE(done.written.size(), 2U);
    uint64_t samples = 0;
    for (const std::string& name : done.written) {
        EXPECT_LE(fs::file_size(name), 5096U) << name;
        samples += (fs::file_size(name) - wav_header_bytes) / 4;
    }
    EXPECT_EQ(samples, 2000U);
}

// target.wav gets the samples the way the file system does best, found by
// trying: blocks shared where it clones them (the tail past the last whole
// block copied), else the kernel's copy, which goes on when cut short, else
// through memory. Each way, target.wav holds 00000.raw after its header.
TEST(StorageFaults, TheFinishCopiesTheBestWayThereIs)
{
    const struct {
        const char* what;
        int clone_error;
        int kernel_copy_error;
        int kernel_copies;
    } ways[] = {{"blocks shared, the tail copied", 0, 0, 1},
                {"no clones: the kernel's copy, 1,000 bytes a call", EOPNOTSUPP, 0, 9},
                {"nor a kernel copy: through memory", EOPNOTSUPP, EXDEV, 1}};
    for (const auto& way : ways) {
        const seam_sandbox box;
        take take;
        ASSERT_TRUE(record_take(take, 2100).ok()); // two blocks and 208 bytes
        clone_error = way.clone_error;
        kernel_copy_error = way.kernel_copy_error;
        clones = kernel_copies = 0;
        storage().ioctl = clone_blocks;
        storage().copy_file_range = copy_a_little;
        ASSERT_TRUE(take_finish(take).why.ok()) << way.what;
        EXPECT_EQ(clones, 1) << way.what;
        EXPECT_EQ(kernel_copies, way.kernel_copies) << way.what;
        std::ifstream target("target.wav", std::ios::binary);
        std::ifstream raw("00000.raw", std::ios::binary);
        const std::string wav((std::istreambuf_iterator<char>(target)), {});
        const std::string samples((std::istreambuf_iterator<char>(raw)), {});
        EXPECT_TRUE(wav.size() == wav_header_bytes + 8400 && wav.substr(wav_header_bytes) == samples) << way.what;
    }
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
// temporary file and the earlier target.wav as it was; a file's sync that
// fails is a failure, whatever its error.
TEST(StorageFaults, FailedRenameAndUnlinkAreSaidAsSuch)
{
    const seam_sandbox box;
    std::ofstream("target.wav") << "earlier take";
    take take;
    ASSERT_TRUE(record_take(take, 100).ok());
    const unique_fd raw(::open(raw_name, O_RDONLY | O_CLOEXEC));
    const raw_piece pieces[] = {{raw.get(), 400}};
    storage().rename = fails_with_eio;
    std::vector<std::string> written;
    const failure renamed = write_target(take_output{}, take_format(1000), pieces, plan_parts(400, 0), false, written);
    EXPECT_EQ(renamed.what, fault::renaming);
    EXPECT_EQ(renamed.subject, target_name);
    EXPECT_EQ(renamed.code, EIO);
    EXPECT_TRUE(written.empty());
    EXPECT_FALSE(fs::exists(target_temp_name));
    EXPECT_EQ(fs::file_size("target.wav"), 12U);
    const failure noted = write_note(*read_note(std::time(nullptr)).note);
    EXPECT_EQ(noted.what, fault::renaming);
    EXPECT_EQ(noted.subject, note_name);
    storage() = system_storage();
    storage().unlink = unlink_fails;
    const failure ended = forget_note();
    EXPECT_EQ(ended.what, fault::removing);
    EXPECT_EQ(ended.subject, note_name);
    EXPECT_TRUE(fs::exists(note_name));
    // A sync refused as EINVAL: a pipe's has nothing to sync; a file's failed.
    storage().fdatasync = [](int) { return errno = EINVAL, -1; };
    int pipe_ends[2] = {};
    ASSERT_EQ(pipe(pipe_ends), 0);
    EXPECT_TRUE(sync_file(pipe_ends[1], "pipe").ok());
    EXPECT_EQ(sync_file(raw.get(), raw_name).code, EINVAL);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

// A quit at once, from another thread, removes the temporary file being
// written by the name it had, whatever became of the string it came from.
TEST(StorageFaults, AQuitRemovesTheTemporaryByItsOwnName)
{
    const seam_sandbox box;
    std::string temp = ".take.wav.part";
    const failure status = install_new({"take.wav", temp.c_str()}, [&temp](int) {
        temp.assign(temp.size(), 'z'); // (its caller's string, reused)
        std::thread([] { remove_temp_file_now(); }).join();
        EXPECT_FALSE(fs::exists(".take.wav.part"));
        return fail(fault::writing, "take.wav", EIO);
    });
    EXPECT_EQ(status.code, EIO);
    EXPECT_FALSE(fs::exists("take.wav"));
}

// A save that fails after it claimed its name leaves no empty claim behind
// (one that outlived it would stay for good once the take moved away).
TEST(StorageFaults, FailedSaveLeavesNoEmptyClaim)
{
    const seam_sandbox box;
    take take;
    ASSERT_TRUE(record_take(take, 100).ok()); // an unfinished take, as a killed run leaves it
    storage().rename = rename_to_recovered_fails;
    class take next; // (the next start)
    const recovery saved = take_recover(next);
    EXPECT_EQ(saved.why.what, fault::take_not_saved);
    EXPECT_EQ(saved.why.cause, fault::renaming);
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with("recovered-")) << entry.path();
    }
    EXPECT_TRUE(fs::exists(note_name));
}
