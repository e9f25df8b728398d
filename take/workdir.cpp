// The directory's lock holder and the checks before recording.
#include "take/workdir.h"

#include "common/sample.h"
#include "common/text.h"
#include "take/liveness.h"
#include "take/lock.h"
#include "take/fileio.h"
#include "take/names.h"
#include "pipeline/wav.h"
#include "common/storage.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <climits>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace {

std::string_view next_field(std::string_view& line)
{
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}


} // namespace

namespace {

failure refuse_directory(int reason)
{
    return fail(fault::refused, current_directory(), reason);
}

// Whether process `pid` holds a descriptor of the directory `dir`.
bool holds_directory(pid_t pid, const struct stat& dir)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = storage().opendir(fds.c_str());
    if (listing == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = storage().readdir(listing)) {
        struct stat st = {};
        if (entry->d_name[0] != '.' && storage().stat((fds + "/" + entry->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
            st.st_dev == dir.st_dev && st.st_ino == dir.st_ino) {
            found = true;
            break;
        }
    }
    storage().closedir(listing);
    return found;
}

failure directory_busy(int dir_fd)
{
    struct stat st = {};
    failure busy = fail(fault::directory_busy, raw_name);
    if (storage().fstat(dir_fd, &st) == 0) {
        const std::string locks = small_file_text("/proc/locks");
        busy.holder_pid = std::max(lock_holder(locks, major(st.st_dev), minor(st.st_dev), st.st_ino), 0);
        // /proc/locks names the file system's device, which on btrfs is not
        // the subvolume's that stat gives: the holder of a lock on this
        // inode that has this directory open is the one.
        for (const pid_t pid : lock_holders_of_inode(locks, st.st_ino)) {
            if (busy.holder_pid == 0 && holds_directory(pid, st)) {
                busy.holder_pid = pid;
            }
        }
    }
    return busy;
}

} // namespace

std::string current_directory()
{
    char here[PATH_MAX];
    return storage().getcwd(here, sizeof here) != nullptr ? here : ".";
}

failure lock_directory(unique_fd& lock)
{
    lock.reset(storage().open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!lock.valid()) {
        return refuse_directory(errno);
    }
    if (storage().flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? directory_busy(lock.get()) : fail(fault::directory_lock, raw_name, errno);
    }
    return {};
}

namespace {

// An output file the run will replace: missing, or a regular file of its own.
// `must_be_writable`: the run writes into it, so it must not be a link either
// (the run would write through it); a file that is renamed into place may be.
failure check_output(const char* name, bool must_be_writable, struct stat& st)
{
    st = {};
    if (storage().lstat(name, &st) != 0) {
        return {}; // not there: it will be created
    }
    if (S_ISLNK(st.st_mode)) {
        // A link is only ever replaced by what is renamed over it.
        return must_be_writable ? fail_for(fault::refused, name, because::symbolic_link) : failure{};
    }
    if (S_ISDIR(st.st_mode)) {
        return fail(fault::refused, name, EISDIR);
    }
    if (S_ISFIFO(st.st_mode)) {
        return fail_for(fault::refused, name, because::fifo);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail_for(fault::refused, name, because::not_regular);
    }
    if (must_be_writable && storage().faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0) {
        return fail(fault::refused, name, errno);
    }
    return {};
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_ino != 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// In a sticky directory (/tmp and the like) only the owner of a file, or of
// the directory, may replace it: a target.wav of another user's would be
// refused only after the whole recording.
failure target_replaceable(const struct stat& target, const take_output& output)
{
    struct stat dir = {};
    if (target.st_ino == 0 || storage().stat(output_directory(output).c_str(), &dir) != 0 || (dir.st_mode & S_ISVTX) == 0) {
        return {};
    }
    const uid_t me = geteuid();
    return me == 0 || me == target.st_uid || me == dir.st_uid ? failure{}
                                                              : fail(fault::refused, output_file(output), EPERM);
}

} // namespace

namespace {

// Each flock holder's line in /proc/locks: "1: FLOCK  ADVISORY  WRITE 4242
// fd:01:1234567 0 EOF"; waiting locks are listed with "->" and are no
// holders.
struct flock_line {
    pid_t pid = -1;
    unsigned dev_major = 0;
    unsigned dev_minor = 0;
    uint64_t inode = 0;
};

template <class Each>
void for_flock_lines(std::string_view locks, Each each)
{
    while (!locks.empty()) {
        const std::size_t end = std::min(locks.find('\n'), locks.size());
        std::string_view line = locks.substr(0, end);
        locks.remove_prefix(std::min(end + 1, locks.size()));
        next_field(line);
        if (next_field(line) != "FLOCK") {
            continue;
        }
        next_field(line);
        next_field(line);
        flock_line held;
        const std::string_view pid_text = next_field(line);
        const std::string_view file = next_field(line);
        const std::size_t first = file.find(':');
        const std::size_t second = file.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos || !parse_whole(pid_text, held.pid) ||
            !parse_whole(file.substr(0, first), held.dev_major, 16) ||
            !parse_whole(file.substr(first + 1, second - first - 1), held.dev_minor, 16) ||
            !parse_whole(file.substr(second + 1), held.inode)) {
            continue;
        }
        each(held);
    }
}

} // namespace

std::vector<pid_t> lock_holders_of_inode(std::string_view locks, uint64_t inode)
{
    std::vector<pid_t> holders;
    for_flock_lines(locks, [&](const flock_line& held) {
        if (held.inode == inode) {
            holders.push_back(held.pid);
        }
    });
    return holders;
}

pid_t lock_holder(std::string_view locks, unsigned dev_major, unsigned dev_minor, uint64_t inode)
{
    pid_t found = -1;
    for_flock_lines(locks, [&](const flock_line& held) {
        if (found < 0 && held.dev_major == dev_major && held.dev_minor == dev_minor && held.inode == inode) {
            found = held.pid;
        }
    });
    return found;
}

uint64_t seconds_that_fit(uint64_t free_bytes, uint64_t rate, uint64_t dump_bytes)
{
    const uint64_t for_dumps = 2 * dump_bytes + 2 * wav_header_bytes;
    const uint64_t per_second = 2 * rate * bytes_per_sample;
    return free_bytes > for_dumps && per_second > 0 ? (free_bytes - for_dumps) / per_second : 0;
}

uint64_t free_bytes_in(const char* directory, int raw_fd)
{
    struct statvfs disk = {};
    struct stat raw = {};
    if (storage().statvfs(directory, &disk) != 0) {
        return UINT64_MAX; // nothing known: nothing to say
    }
    const uint64_t reclaimed = raw_fd >= 0 && storage().fstat(raw_fd, &raw) == 0 ? static_cast<uint64_t>(raw.st_blocks) * 512 : 0;
    return uint64_t{disk.f_bavail} * disk.f_frsize + reclaimed;
}

failure check_output_place(const take_output& output)
{
    if (!output.named) {
        return {};
    }
    const std::string file = output_file(output);
    if (storage().faccessat(AT_FDCWD, output_directory(output).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        failure refused = fail(fault::refused, file, errno);
        refused.detail_words =
            errno == ENOENT || errno == ENOTDIR ? because::make_directory_first : because::directory_not_writable;
        refused.other = output_directory(output);
        return refused;
    }
    struct stat target = {};
    const failure refused = check_output(file.c_str(), false, target);
    if (!refused.ok()) {
        return refused;
    }
    // Another name for a working file here (a case-insensitive disk, a link).
    for (const char* working : {raw_name, note_name, lock_name, buffer_dump_name, array_dump_name}) {
        struct stat st = {};
        if (storage().lstat(working, &st) == 0 && same_file(target, st)) {
            return fail_for(fault::refused, file, because::same_file, working);
        }
    }
    return target_replaceable(target, output);
}

std::string working_directory_tag()
{
    struct stat here = {};
    if (storage().stat(".", &here) != 0) {
        return format_text("%lld", static_cast<long long>(getpid()));
    }
    return format_text("%llx-%llx", static_cast<unsigned long long>(here.st_dev),
                       static_cast<unsigned long long>(here.st_ino));
}

take_output recording_output(std::string_view path)
{
    take_output output = output_named(path);
    if (output.named) {
        const lock_owner run = this_owner();
        output.tag = run_tag(run.host, run.boot, run.pid);
    }
    return output;
}

bool output_on_this_disk(const take_output& output)
{
    struct stat here = {};
    struct stat there = {};
    return !output.named || storage().stat(".", &here) != 0 || storage().stat(output_directory(output).c_str(), &there) != 0 ||
           here.st_dev == there.st_dev;
}

failure check_directory_writable(bool recovering)
{
    // The working files are made here, and the target is written beside its
    // name and renamed over it: the directory itself must take new files.
    if (storage().faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) == 0) {
        return {};
    }
    failure refused = fail_for(recovering ? fault::recover_unwritable : fault::directory_unwritable, current_directory(),
                               errno == EROFS ? because::read_only : because::not_writable);
    refused.code = errno == EROFS ? 0 : errno;
    return refused;
}

failure check_outputs(int raw_fd, const take_output& output)
{
    struct stat raw = {};
    if (raw_fd >= 0 && storage().fstat(raw_fd, &raw) != 0) {
        return fail(fault::refused, raw_name, errno);
    }
    struct stat buffer = {};
    struct stat array = {};
    struct stat target = {};
    failure refused = check_output(buffer_dump_name, true, buffer);
    refused = refused.ok() ? check_output(array_dump_name, true, array) : refused;
    const std::string target_file = output_file(output);
    refused = refused.ok() ? check_output(target_file.c_str(), false, target) : refused;
    refused = refused.ok() ? target_replaceable(target, output) : refused;
    if (!refused.ok()) {
        return refused;
    }
    // Two names for one file: writing one would overwrite the other.
    const struct {
        const char* name;
        const struct stat& st;
    } outputs[] = {{raw_name, raw}, {buffer_dump_name, buffer}, {array_dump_name, array}, {target_file.c_str(), target}};
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (same_file(outputs[i].st, outputs[j].st)) {
                return fail_for(fault::refused, outputs[i].name, because::same_file, outputs[j].name);
            }
        }
    }
    // A hard link elsewhere: emptying or writing the file would change the
    // other name's too. (target.wav is renamed over, never written into.)
    for (std::size_t i = 0; i + 1 < std::size(outputs); ++i) {
        if (outputs[i].st.st_ino != 0 && outputs[i].st.st_nlink > 1) {
            return fail_for(fault::refused, outputs[i].name, because::hard_link);
        }
    }
    if (raw_fd >= 0 && (storage().fcntl(raw_fd, F_GETFL, 0) & O_ACCMODE) == O_RDONLY) {
        return fail_for(fault::refused, raw_name, because::raw_read_only);
    }
    return {};
}

failure check_temporaries()
{
    struct stat st = {};
    for (const char* name : temporary_names) {
        if (failure refused = check_output(name, false, st); !refused.ok()) {
            return refused;
        }
    }
    return {};
}
