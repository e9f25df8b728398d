// The directory's lock holder and the checks before recording.
#include "output/workdir.h"

#include "output/names.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

template <class T>
bool parse(std::string_view text, T& value, int base = 10)
{
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return err == std::errc() && end == text.data() + text.size();
}

} // namespace

void say_directory_busy(int raw_fd)
{
    struct stat st = {};
    pid_t holder = -1;
    if (fstat(raw_fd, &st) == 0) {
        std::ifstream in("/proc/locks");
        const std::string locks{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        holder = lock_holder(locks, major(st.st_dev), minor(st.st_dev), st.st_ino);
    }
    if (holder > 0) {
        std::fprintf(stderr, "%s: this directory is in use by another recording (process %d)\n", raw_name,
                     static_cast<int>(holder));
    } else {
        std::fprintf(stderr, "%s: this directory is in use by another recording\n", raw_name);
    }
}

namespace {

bool refuse(const char* what, const char* reason)
{
    std::fprintf(stderr, "cannot record into %s: %s\n", what, reason);
    return false;
}

// An output file the run will replace: missing, or a regular file of its own.
// `must_be_writable`: the run writes into it, so it must not be a link either
// (the run would write through it); a file that is renamed into place may be.
bool check_output(const char* name, bool must_be_writable, struct stat& st)
{
    st = {};
    if (lstat(name, &st) != 0) {
        return true; // not there: it will be created
    }
    if (S_ISLNK(st.st_mode)) {
        // A link is only ever replaced by what is renamed over it.
        return !must_be_writable || refuse(name, "it is a symbolic link");
    }
    if (S_ISDIR(st.st_mode)) {
        return refuse(name, std::strerror(EISDIR));
    }
    if (S_ISFIFO(st.st_mode)) {
        return refuse(name, "it is a FIFO, not a file");
    }
    if (!S_ISREG(st.st_mode)) {
        return refuse(name, "it is not a regular file");
    }
    if (must_be_writable && faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0) {
        return refuse(name, std::strerror(errno));
    }
    return true;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_ino != 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// In a sticky directory (/tmp and the like) only the owner of a file, or of
// the directory, may replace it: a target.wav of another user's would be
// refused only after the whole recording.
bool target_replaceable(const struct stat& target)
{
    struct stat dir = {};
    if (target.st_ino == 0 || stat(".", &dir) != 0 || (dir.st_mode & S_ISVTX) == 0) {
        return true;
    }
    const uid_t me = geteuid();
    return me == 0 || me == target.st_uid || me == dir.st_uid || refuse(target_name, std::strerror(EPERM));
}

} // namespace

pid_t lock_holder(std::string_view locks, unsigned dev_major, unsigned dev_minor, uint64_t inode)
{
    // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234567 0 EOF"; waiting locks are
    // listed with "->" and are no holders.
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
        pid_t pid = -1;
        const std::string_view pid_text = next_field(line);
        const std::string_view file = next_field(line);
        const std::size_t first = file.find(':');
        const std::size_t second = file.find(':', first + 1);
        unsigned file_major = 0;
        unsigned file_minor = 0;
        uint64_t file_inode = 0;
        if (first == std::string_view::npos || second == std::string_view::npos || !parse(pid_text, pid) ||
            !parse(file.substr(0, first), file_major, 16) ||
            !parse(file.substr(first + 1, second - first - 1), file_minor, 16) ||
            !parse(file.substr(second + 1), file_inode)) {
            continue;
        }
        if (file_major == dev_major && file_minor == dev_minor && file_inode == inode) {
            return pid;
        }
    }
    return -1;
}

bool check_outputs(int raw_fd)
{
    // The target is written beside its name and renamed over it, so the
    // directory itself must take new files.
    if (faccessat(AT_FDCWD, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        const int reason = errno;
        char here[PATH_MAX] = ".";
        if (getcwd(here, sizeof here) == nullptr) {
            std::strcpy(here, ".");
        }
        return refuse(here, std::strerror(reason));
    }
    struct stat raw = {};
    if (fstat(raw_fd, &raw) != 0 || !S_ISREG(raw.st_mode)) {
        return refuse(raw_name, "it is not a regular file");
    }
    struct stat buffer = {};
    struct stat array = {};
    struct stat target = {};
    struct stat target_temp = {};
    if (!check_output(buffer_dump_name, true, buffer) || !check_output(array_dump_name, true, array) ||
        !check_output(target_name, false, target) || !check_output(target_temp_name, false, target_temp) ||
        !target_replaceable(target)) {
        return false;
    }
    // Two names for one file: writing one would overwrite the other.
    const struct {
        const char* name;
        const struct stat& st;
    } outputs[] = {{raw_name, raw}, {buffer_dump_name, buffer}, {array_dump_name, array}, {target_name, target}};
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (same_file(outputs[i].st, outputs[j].st)) {
                const std::string reason = std::string("it is the same file as ") + outputs[j].name;
                return refuse(outputs[i].name, reason.c_str());
            }
        }
    }
    return true;
}
