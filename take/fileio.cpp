// Whole writes, syncs and temporary files, with failures as values.
#include "take/fileio.h"

#include "common/storage.h"

#include <algorithm>
#include <atomic>
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

// Special files (devices, pipes) have nothing to sync: EINVAL. Any other
// error means the data may not be on the disk: a file system that went
// read-only after an error (EROFS) has dropped it.
failure synced(int result, const char* file)
{
    return result == 0 || errno == EINVAL ? failure{} : fail(fault::syncing, file, errno);
}

} // namespace

failure sync_file(int fd, const char* file)
{
    return synced(storage().fdatasync(fd), file);
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

// Process-wide: the third stop request quits at once from the signal
// thread, which must reach the temporary file being written to remove it.
std::atomic<const char*> temp_being_written{nullptr};

} // namespace

unique_fd create_temp_file(const temp_file& temp)
{
    storage().unlink(temp.name);
    struct stat st = {};
    return open_here(temp.name, O_WRONLY | O_CREAT | O_EXCL, st);
}

temp_file::temp_file(const char* temp_name) : name(temp_name), outer(temp_being_written.exchange(temp_name)) {}

void temp_file::kept()
{
    if (name != nullptr) {
        temp_being_written.store(outer);
        name = nullptr;
    }
}

temp_file::~temp_file()
{
    if (name != nullptr) {
        temp_being_written.store(outer);
        storage().unlink(name);
    }
}

void remove_temp_file_now()
{
    if (const char* name = temp_being_written.load(); name != nullptr) {
        storage().unlink(name);
    }
}

failure install(temp_file& temp, const char* name)
{
    if (storage().rename(temp.name, name) != 0) {
        return fail(fault::renaming, name, errno);
    }
    temp.kept();
    return sync_directory(name);
}
