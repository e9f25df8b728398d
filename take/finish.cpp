// target.wav copied from 00000.raw into a temporary file, then renamed.
#include "take/finish.h"

#include "common/memory.h"
#include "common/text.h"
#include "take/fileio.h"
#include "take/names.h"
#include "take/parts.h"
#include "common/storage.h"

#include <algorithm>
#include <dirent.h>
#include <string_view>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t piece_bytes = 1024 * 1024;

// Copies `size` bytes of `from_fd` from `in` to `to_fd` at `out`. The
// samples were just written and are still in the page cache: the kernel
// copies them there (copy_file_range), without bringing them up to this
// process; where it cannot (another file system, FUSE, an old kernel), they
// go through one piece of memory.
failure copy_range(int from_fd, off_t in, int to_fd, off_t out, uint64_t size, const char* name)
{
    const auto end = static_cast<off_t>(static_cast<uint64_t>(in) + size);
    while (in < end) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - in), 1U << 30));
        const ssize_t done = storage().copy_file_range(from_fd, &in, to_fd, &out, want);
        if (done > 0) {
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done == 0) {
            return fail(fault::reading, raw_name, 0); // 00000.raw ended early
        }
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) {
            return fail(fault::writing, name, errno);
        }
        break; // no kernel copy here: the rest through memory
    }
    if (in >= end) {
        return {};
    }
    const zeroed_array<uint8_t> piece(piece_bytes);
    if (!piece) {
        return fail(fault::no_memory, "copy buffer", ENOMEM);
    }
    while (in < end) {
        const auto want = static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(end - in), piece_bytes));
        const ssize_t got = storage().pread(from_fd, piece.data(), want, in);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return fail(fault::reading, raw_name, got == 0 ? 0 : errno);
        }
        if (failure status = write_all(to_fd, std::span(piece.data(), static_cast<std::size_t>(got)), name, out);
            !status.ok()) {
            return status;
        }
        in += got;
        out += got;
    }
    return {};
}

// Calls `each(fd, offset, bytes)` for the stretches of the take's files, end
// to end, that make its bytes `from` to `from + size`; false when the files
// end first or `each` says stop.
template <class Each>
bool for_stretches(std::span<const raw_piece> pieces, uint64_t from, uint64_t size, Each each)
{
    uint64_t start = 0; // of the piece, in the take
    for (const raw_piece& piece : pieces) {
        if (size > 0 && from < start + piece.size) {
            const uint64_t in = from - start;
            const uint64_t bytes = std::min(size, piece.size - in);
            if (!each(piece.fd, in, bytes)) {
                return false;
            }
            from += bytes;
            size -= bytes;
        }
        start += piece.size;
    }
    return size == 0;
}

} // namespace

failure write_wav_temp(const temp_file& temp, const char* name, const wav_header& header,
                       std::span<const raw_piece> pieces, uint64_t from, uint64_t size)
{
    unique_fd fd = create_temp_file(temp);
    if (!fd.valid()) {
        return fail(fault::target_open, name, errno);
    }
    const std::vector<uint8_t> head = header_bytes(header);
    failure status = write_all(fd.get(), head, name, 0);
    auto out = static_cast<off_t>(head.size());
    const bool whole = status.ok() && for_stretches(pieces, from, size, [&](int in_fd, uint64_t in, uint64_t bytes) {
        status = copy_range(in_fd, static_cast<off_t>(in), fd.get(), out, bytes, name);
        out += static_cast<off_t>(bytes);
        return status.ok();
    });
    if (status.ok() && !whole) {
        status = fail(fault::reading, raw_name, 0); // the take's files ended early
    }
    if (status.ok()) {
        status = sync_file(fd.get(), name);
    }
    const failure closed = close_file(fd, name);
    return status.ok() ? closed : status;
}

bool wav_file_holds(const char* name, const wav_header& header, std::span<const raw_piece> pieces, uint64_t from,
                    uint64_t size)
{
    const std::vector<uint8_t> head = header_bytes(header);
    struct stat st = {};
    const unique_fd file = open_here(name, O_RDONLY, st);
    if (!file.valid() || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != head.size() + size) {
        return false;
    }
    std::vector<uint8_t> ours(piece_bytes);
    std::vector<uint8_t> theirs(piece_bytes);
    if (storage().pread(file.get(), theirs.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        std::memcmp(theirs.data(), head.data(), head.size()) != 0) {
        return false;
    }
    auto at = static_cast<off_t>(head.size());
    return for_stretches(pieces, from, size, [&](int in_fd, uint64_t in, uint64_t bytes) {
        for (uint64_t done = 0; done < bytes;) {
            const auto want = static_cast<std::size_t>(std::min<uint64_t>(piece_bytes, bytes - done));
            if (storage().pread(in_fd, ours.data(), want, static_cast<off_t>(in + done)) != static_cast<ssize_t>(want) ||
                storage().pread(file.get(), theirs.data(), want, at) != static_cast<ssize_t>(want) ||
                std::memcmp(ours.data(), theirs.data(), want) != 0) {
                return false;
            }
            done += want;
            at += static_cast<off_t>(want);
        }
        return true;
    });
}

namespace {

// One WAV written beside its name and installed over it; `renamed` tells
// whether the name now holds it.
failure write_wav(const char* temp_name, const char* name, const wav_header& header, std::span<const raw_piece> pieces,
                  uint64_t from, uint64_t size, bool& renamed)
{
    temp_file temp(temp_name);
    failure status = write_wav_temp(temp, name, header, pieces, from, size);
    if (status.ok()) {
        status = install(temp, name);
    }
    renamed = temp.name == nullptr;
    return status;
}

} // namespace

namespace {

// The earlier take's outputs that are not among `kept` go.
void remove_earlier_set(const take_output& output, const std::vector<std::string>& kept)
{
    std::vector<std::string> earlier;
    for (const std::string& name : earlier_outputs(output)) {
        if (std::find(kept.begin(), kept.end(), name) == kept.end()) {
            earlier.push_back(name);
        }
    }
    // The first part goes last: a set that a crash cut short here is still
    // known as one at the next finish.
    for (auto name = earlier.rbegin(); name != earlier.rend(); ++name) {
        remove_if_file(name->c_str());
    }
}

} // namespace

std::vector<std::string> earlier_outputs(const take_output& output)
{
    std::vector<std::string> names;
    if (DIR* there = storage().opendir(output_directory(output).c_str()); there != nullptr) {
        while (const dirent* entry = storage().readdir(there)) {
            names.emplace_back(entry->d_name);
        }
        storage().closedir(there);
    }
    std::vector<std::string> found;
    for (const std::string& name : earlier_set(output, names)) {
        found.push_back(output.directory + name);
    }
    return found;
}

std::string earlier_take_words(const std::vector<std::string>& names)
{
    double seconds = 0;
    bool length_known = true;
    time_t recorded = 0;
    for (const std::string& name : names) {
        struct stat st = {};
        const unique_fd file = open_here(name.c_str(), O_RDONLY, st);
        std::vector<uint8_t> head(4096);
        const ssize_t got = file.valid() && S_ISREG(st.st_mode) ? storage().pread(file.get(), head.data(), head.size(), 0) : -1;
        head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        const std::optional<double> length = wav_seconds(head, static_cast<uint64_t>(st.st_size));
        length_known = length_known && length.has_value();
        seconds += length.value_or(0);
        recorded = recorded == 0 ? st.st_mtim.tv_sec : recorded;
    }
    char when[32] = {};
    tm local = {};
    localtime_r(&recorded, &local);
    std::strftime(when, sizeof when, "recorded %Y-%m-%d %H:%M", &local);
    return length_known ? format_text("%.1f s %s", seconds, when) : std::string(when);
}

failure write_target(const take_output& output, const take_format& format, std::span<const raw_piece> pieces,
                     const part_plan& plan, bool resume,
                     std::vector<std::string>& written, const std::function<failure()>& still_ours)
{
    const auto owned = [&still_ours] { return still_ours ? still_ours() : failure{}; };
    written.clear();
    const std::string temp_name = output_temp_name(output);
    std::vector<std::string> names;
    for (std::size_t part = 1; part <= plan.parts; ++part) {
        names.push_back(target_name_of(output, plan, part));
        const wav_header header = take_header(format, plan.size(part));
        if (resume && wav_file_holds(names.back().c_str(), header, pieces, plan.from(part), plan.size(part))) {
            written.push_back(names.back());
            continue; // put in place before the kill
        }
        bool renamed = false;
        failure status = owned();
        if (status.ok()) {
            status = write_wav(temp_name.c_str(), names.back().c_str(), header, pieces, plan.from(part), plan.size(part), renamed);
        }
        if (renamed) {
            written.push_back(names.back());
        }
        if (!status.ok()) {
            return status;
        }
    }
    if (failure status = owned(); !status.ok()) {
        return status;
    }
    remove_earlier_set(output, names);
    return {};
}
