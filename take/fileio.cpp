// Whole writes, syncs and temporary files, with failures as values.
#include "take/fileio.h"

#include "common/storage.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

unique_fd open_here(const char* name, int flags, struct stat& st, mode_t mode)
{
    st = {};
    unique_fd fd(storage().open(name, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode));
    if (fd.valid() && storage().fstat(fd.get(), &st) != 0) {
        fd.reset();
    }
    return fd;
}

failure write_all(int fd, std::span<const uint8_t> bytes, const char* file, int64_t at, std::size_t* written)
{
    if (written != nullptr) {
        *written = 0;
    }
    while (!bytes.empty()) {
        const ssize_t done =
            at < 0 ? storage().write(fd, bytes.data(), bytes.size())
                   : storage().pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return fail(fault::writing, file, done == 0 ? ENOSPC : errno);
        }
        bytes = bytes.subspan(static_cast<std::size_t>(done));
        at = at < 0 ? at : at + done;
        if (written != nullptr) {
            *written += static_cast<std::size_t>(done);
        }
    }
    return {};
}

namespace {

// A directory's sync: EINVAL where the file system syncs no directories;
// any other error means the names may not be on the disk (a file system
// that went read-only after an error, EROFS, has dropped them).
failure synced(int result, const char* file)
{
    return result == 0 || errno == EINVAL ? failure{} : fail(fault::syncing, file, errno);
}

} // namespace

failure sync_file(int fd, const char* file)
{
    if (storage().fdatasync(fd) == 0) {
        return {};
    }
    // Special files (devices, pipes) have nothing to sync: their EINVAL is
    // no failure; a regular file's (or one that cannot be told) is.
    const int err = errno;
    struct stat st = {};
    if (err == EINVAL && storage().fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
        return {};
    }
    return fail(fault::syncing, file, err);
}

failure sync_directory(const char* file)
{
    const std::string_view path = file;
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string_view::npos ? std::string(".")
                                  : slash == 0                    ? std::string("/")
                                                                  : std::string(path.substr(0, slash));
    const unique_fd dir(storage().open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!dir.valid()) {
        return fail(fault::syncing, file, errno);
    }
    return synced(storage().fsync(dir.get()), file);
}

bool remove_if_file(const char* name)
{
    struct stat st = {};
    return storage().lstat(name, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
           storage().unlink(name) == 0;
}

std::vector<std::string> files_starting(const std::string& prefix)
{
    const std::size_t slash = prefix.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string() : prefix.substr(0, slash + 1);
    const std::string start = prefix.substr(directory.size());
    std::vector<std::string> found;
    if (DIR* listing = storage().opendir(directory.empty() ? "." : directory.c_str()); listing != nullptr) {
        while (const dirent* entry = storage().readdir(listing)) {
            if (std::string_view(entry->d_name).starts_with(start)) {
                found.push_back(directory + entry->d_name);
            }
        }
        storage().closedir(listing);
    }
    std::sort(found.begin(), found.end());
    return found;
}

failure remove_file(const char* name)
{
    return storage().unlink(name) == 0 || errno == ENOENT ? failure{} : fail(fault::removing, name, errno);
}

std::string small_file_text(const std::string& name)
{
    std::string text;
    const unique_fd fd(storage().open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
    char bytes[4096];
    for (ssize_t got = 0; fd.valid() && (got = storage().read(fd.get(), bytes, sizeof bytes)) > 0;) {
        text.append(bytes, static_cast<std::size_t>(got));
    }
    return text;
}

// Created empty, only where nothing has that name: every file system can
// do that (exFAT through FUSE has neither hard links nor rename flags).
failure claim_name(const std::string& name)
{
    struct stat st = {};
    if (open_here(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, st).valid()) {
        return {};
    }
    if (errno == EEXIST && storage().lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        return {};
    }
    if (errno == EEXIST) {
        return fail_for(fault::writing, name, because::name_taken_meanwhile);
    }
    return fail(fault::writing, name, errno);
}

int64_t fsize(int fd)
{
    struct stat st = {};
    return storage().fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

failure close_file(unique_fd& fd, const char* file)
{
    const int result = storage().close(fd.release());
    return result == 0 ? failure{} : fail(fault::writing, file, errno);
}

namespace {

// The temporary files being written, for the third stop request, which
// quits at once from the signal thread and removes them: each name copied
// into a slot of its own (the string it came from may go meanwhile) and
// published once whole; a slot taken again is told apart by its count.
struct temp_slot {
    // Four times the times it was taken, plus 1 while its name is written,
    // 2 while it names a file being written (0: free).
    std::atomic<uint64_t> state{0};
    std::array<std::atomic<char>, PATH_MAX> name{};
};
std::array<temp_slot, 4> temp_slots;

// Takes a free slot for `name`: null where none is free or the name does
// not fit (it is then removed only by its owner).
temp_slot* register_temp(const char* name)
{
    const std::size_t length = std::strlen(name);
    for (temp_slot& slot : temp_slots) {
        uint64_t state = slot.state.load();
        if (state % 4 == 0 && length < slot.name.size() && slot.state.compare_exchange_strong(state, state + 1)) {
            for (std::size_t i = 0; i <= length; ++i) {
                slot.name[i].store(name[i], std::memory_order_relaxed);
            }
            slot.state.store(state + 2);
            return &slot;
        }
    }
    return nullptr;
}

void release_temp(temp_slot* slot)
{
    if (slot != nullptr) {
        slot->state.fetch_add(2); // free, and taken once more
    }
}

// A file written under a temporary name: removed when its owner goes, unless
// it was renamed into place (kept) first, and by remove_temp_file_now should
// the process have to quit at once meanwhile.
struct temp_file {
    const char* name = nullptr;
    temp_slot* slot = nullptr;

    explicit temp_file(const char* temp_name) : name(temp_name), slot(register_temp(temp_name)) {}
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    ~temp_file()
    {
        release_temp(slot);
        if (name != nullptr) {
            storage().unlink(name);
        }
    }
    // It has a name of its own now: nothing to remove.
    void kept()
    {
        release_temp(slot);
        slot = nullptr;
        name = nullptr;
    }
};

// Creates the temporary file afresh, for writing: whatever an interrupted
// run left under its name goes first (the directory is this run's: it holds
// the lock; a name beside an output is this run's own), and a name that is
// not a file (a FIFO) can neither block nor be used. Invalid, errno set,
// when it cannot be created.
unique_fd create_temp_file(const temp_file& temp)
{
    storage().unlink(temp.name);
    struct stat st = {};
    return open_here(temp.name, O_WRONLY | O_CREAT | O_EXCL, st);
}

} // namespace

void remove_temp_file_now()
{
    for (temp_slot& slot : temp_slots) {
        const uint64_t before = slot.state.load();
        if (before % 4 != 2) {
            continue; // free, or its name being written
        }
        std::array<char, PATH_MAX> name{};
        for (std::size_t i = 0; i < name.size() && (name[i] = slot.name[i].load(std::memory_order_relaxed)) != '\0'; ++i) {
        }
        name.back() = '\0';
        if (slot.state.load() == before) { // (not taken again meanwhile)
            storage().unlink(name.data());
        }
    }
}

failure install_new(const new_file& file, const file_filler& fill, bool* renamed)
{
    if (renamed != nullptr) {
        *renamed = false;
    }
    temp_file temp(file.temp_name);
    unique_fd fd = create_temp_file(temp);
    if (!fd.valid()) {
        return fail(file.not_created, file.not_created == fault::writing ? file.temp_name : file.name, errno);
    }
    failure status = fill(fd.get());
    if (status.ok()) {
        status = sync_file(fd.get(), file.name);
    }
    const failure closed = close_file(fd, file.name);
    if (status.ok()) {
        status = closed;
    }
    if (status.ok() && file.ready) {
        status = file.ready();
    }
    if (!status.ok()) {
        return status;
    }
    if (storage().rename(file.temp_name, file.name) != 0) {
        return fail(fault::renaming, file.name, errno);
    }
    temp.kept();
    if (renamed != nullptr) {
        *renamed = true;
    }
    return sync_directory(file.name);
}
