// 00000.raw: opened, emptied when the first period arrives, appended and synced about once a second.
#include "take/rawfile.h"

#include "common/storage.h"
#include "common/text.h"
#include "pipeline/wav.h"
#include "take/fileio.h"
#include "take/names.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The bytes of samples under `limit` in a file that holds a header of
// `header_bytes` beside them, in whole frames of `frame_bytes`.
uint64_t part_bytes_within(const file_limit& limit, uint64_t header_bytes, uint64_t frame_bytes)
{
    if (limit.bytes == UINT64_MAX || limit.bytes <= header_bytes) {
        return 0;
    }
    return (limit.bytes - header_bytes) / frame_bytes * frame_bytes;
}

// A write that failed with EFBIG at `size` bytes: the file system's limit
// where it is known and reached, else this file's size.
file_limit limit_reached(uint64_t size)
{
    const file_limit here = largest_file_here();
    return here.bytes <= size ? here : file_limit{size, limit_source::file_system};
}

// Never through a link: a take is written into this directory's own file.
// Opened without blocking so that a FIFO of that name cannot hold the run
// up; the recording itself is written with blocking calls.
failure open_raw(unique_fd& fd, const char* name, int create)
{
    struct stat st = {};
    fd = open_here(name, O_RDWR | create, st);
    if (!fd.valid() && create == 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // Read-only (a umask, chmod, a read-only disk): its take can still be
        // saved from it; a recording into it is refused later.
        fd = open_here(name, O_RDONLY, st);
    }
    if (!fd.valid()) {
        if (errno == ELOOP) {
            return fail_for(fault::refused, name, because::symbolic_link);
        }
        // None yet: it is created when the first period arrives.
        return errno == ENOENT && create == 0 ? failure{} : fail(fault::raw_open, name, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return fail_for(fault::refused, name, because::not_regular);
    }
    const int flags = storage().fcntl(fd.get(), F_GETFL, 0);
    if (flags < 0 || storage().fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return fail(fault::raw_open, name, errno);
    }
    return {};
}

// One of an earlier take's files removed; one that is not there counts as
// removed, anything but a file or a link is refused.
failure remove_raw_file(const std::string& name, bool& was_there)
{
    struct stat st = {};
    was_there = storage().lstat(name.c_str(), &st) == 0;
    if (!was_there) {
        return errno == ENOENT ? failure{} : fail(fault::raw_open, name, errno);
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return fail_for(fault::refused, name, because::not_regular);
    }
    return storage().unlink(name.c_str()) == 0 ? failure{} : fail(fault::raw_open, name, errno);
}

// The files an earlier take went on in (00001.raw, ...) go with it.
failure remove_later_files()
{
    bool there = true;
    for (std::size_t index = 1; there; ++index) {
        if (failure removed = remove_raw_file(raw_file_name(index), there); !removed.ok()) {
            return removed;
        }
    }
    return {};
}

// A file of a take in parts of time gets its header's room written (zeros
// until the part is saved) as it is made: a full disk then meets the file's
// first write, never the header's when the part is saved.
failure make_header_room(const raw_file& raw, int fd, const char* name)
{
    static const std::array<uint8_t, wav_header_bytes> zeros{};
    return raw.data_offset == 0 ? failure{} : write_all(fd, std::span(zeros.data(), raw.data_offset), name, 0);
}

// What a new file may take: a limit's part, or all there is.
uint64_t room_of_a_file(const raw_file& raw)
{
    return raw.part_bytes > 0 ? raw.part_bytes : UINT64_MAX;
}

// The take goes on in its next file, made afresh (never one of that name
// that is there: another holder's), whose name lasts before anything is
// written into it.
failure next_file(raw_file& raw)
{
    const std::string name = raw_file_name(raw.filled.size() + 1);
    unique_fd next;
    failure status = open_raw(next, name.c_str(), O_CREAT | O_EXCL);
    if (status.ok()) {
        status = make_header_room(raw, next.get(), name.c_str());
    }
    if (status.ok()) {
        status = sync_directory(name.c_str());
    }
    if (!status.ok()) {
        return status;
    }
    raw.filled.push_back(std::move(raw.fd));
    raw.filled_bytes.push_back(raw.size);
    raw.fd = std::move(next);
    raw.size = 0;
    raw.file_room = room_of_a_file(raw);
    return {};
}

// The first `samples` gathered are on disk: the rest moves to the front,
// and so do the cuts in it.
void drop_gathered(raw_file& raw, std::size_t samples)
{
    std::memmove(raw.stage.data(), raw.stage.data() + samples, (raw.staged - samples) * sizeof(float));
    raw.staged -= samples;
    for (std::size_t& cut : raw.cuts) {
        cut -= samples;
    }
}

const char* current_name(const raw_file& raw, std::string& name)
{
    name = raw_file_name(raw.filled.size());
    return name.c_str();
}

} // namespace

std::string raw_file_name(std::size_t index)
{
    return format_text("%05zu.raw", index);
}

uint64_t part_bytes_for(const file_limit& limit, uint32_t channels)
{
    return part_bytes_within(limit, wav_header_bytes, stored_frame_bytes(channels));
}

failure raw_open(raw_file& raw)
{
    return open_raw(raw.fd, raw_name, 0);
}

failure raw_prepare(raw_file& raw, std::size_t period_samples, uint32_t rate, const file_limit& limit,
                    uint32_t channels)
{
    // Only the pages a slow disk makes it gather are ever touched.
    raw.channels = channels;
    raw.frame_bytes = stored_frame_bytes(channels);
    raw.header_bytes = wav_header_bytes;
    raw.period_room = period_samples + 1;
    raw.stage = zeroed_array<float>(std::size_t{gather_seconds} * rate * channels + raw.period_room);
    raw.staged = 0;
    raw.limit = limit;
    raw.part_bytes = part_bytes_within(raw.limit, raw.header_bytes, raw.frame_bytes);
    raw.file_room = room_of_a_file(raw);
    return raw.stage ? failure{} : fail_in(fault::no_memory, program_part::period_buffers, ENOMEM);
}

failure raw_reset(raw_file& raw)
{
    // A new file, never the old one emptied in place: a write that a recorder
    // before sent (a frozen share's, delivered late) lands in the old one,
    // never in this take.
    raw.fd.reset();
    bool there = false;
    failure removed = remove_later_files();
    if (removed.ok()) {
        removed = remove_raw_file(raw_name, there);
    }
    if (!removed.ok()) {
        return removed;
    }
    failure created = open_raw(raw.fd, raw_name, O_CREAT | O_EXCL);
    if (created.ok()) {
        created = make_header_room(raw, raw.fd.get(), raw_name);
    }
    if (!created.ok()) {
        return created;
    }
    raw.emptied = true;
    raw.size = 0;
    raw.take_bytes = 0;
    raw.synced_bytes = 0;
    raw.staged = 0;
    raw.filled.clear();
    raw.filled_bytes.clear();
    raw.cuts.clear();
    raw.early_cuts.clear();
    raw.file_room = room_of_a_file(raw);
    // (The new take's note, written next, syncs the directory: the old file
    // gone and this one made last with it, so that a power cut never brings
    // the old take back under a note that says it is this one.)
    return {};
}

std::span<float> raw_room(raw_file& raw)
{
    const std::size_t left = raw.stage.size() - raw.staged;
    return left < raw.period_room ? std::span<float>{} : std::span<float>(raw.stage.data() + raw.staged, left);
}

void raw_gathered(raw_file& raw, std::size_t samples)
{
    raw.staged += samples;
}

void raw_cut(raw_file& raw)
{
    raw.cuts.push_back(raw.staged);
}

void raw_split(raw_file& raw)
{
    raw.data_offset = wav_header_bytes;
}

uint64_t raw_file_room_left(const raw_file& raw)
{
    if (raw.file_room == UINT64_MAX) {
        return UINT64_MAX;
    }
    const uint64_t pending = (raw.cuts.empty() ? raw.staged : raw.staged - raw.cuts.back()) * sizeof(float);
    const uint64_t used = raw.cuts.empty() ? raw.size + pending : pending;
    return used >= raw.file_room ? 0 : raw.file_room - used;
}

failure raw_append(raw_file& raw)
{
    std::string name;
    while (raw.staged > 0 || (!raw.cuts.empty() && raw.cuts.front() == 0)) {
        const bool cut_here = !raw.cuts.empty() && raw.cuts.front() == 0;
        if (cut_here || raw.size >= raw.file_room || raw.file_room - raw.size < raw.frame_bytes) {
            if (cut_here) {
                raw.cuts.erase(raw.cuts.begin());
            }
            if (failure opened = next_file(raw); !opened.ok()) {
                return opened;
            }
            if (!cut_here && raw.data_offset > 0) {
                raw.early_cuts.push_back(raw.filled.size()); // (a part of captured time ends early at a limit)
            }
            continue;
        }
        // Whole frames: a part ends between two.
        const uint64_t room = (raw.file_room - raw.size) / raw.frame_bytes * raw.frame_bytes;
        const std::size_t gathered = raw.cuts.empty() ? raw.staged : raw.cuts.front();
        const std::size_t bytes_out = static_cast<std::size_t>(std::min<uint64_t>(gathered * sizeof(float), room));
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(raw.stage.data()), bytes_out);
        std::size_t written = 0;
        failure status = write_all(raw.fd.get(), bytes, current_name(raw, name),
                                   static_cast<int64_t>(raw.data_offset + raw.size), &written);
        // A disk that filled part of the way through still keeps what went
        // in, in whole frames.
        const std::size_t whole = written / raw.frame_bytes * raw.frame_bytes;
        if (whole != written) {
            static_cast<void>(storage().ftruncate(raw.fd.get(), static_cast<off_t>(raw.data_offset + raw.size + whole)));
        }
        raw.size += whole;
        raw.take_bytes += whole;
        drop_gathered(raw, whole / sizeof(float));
        // (One sync only: a failed one may not say so twice.)
        const failure synced = written > 0 ? sync_file(raw.fd.get(), name.c_str()) : failure{};
        if (synced.ok()) {
            raw.synced_bytes = raw.take_bytes;
        }
        if (status.ok()) {
            status = synced;
        }
        if (!status.ok() && status.code == EFBIG && synced.ok()) {
            // A limit nobody told of: this file is full where it stopped.
            raw.limit = limit_reached(raw.size);
            raw.part_bytes = part_bytes_within(raw.limit, raw.header_bytes, raw.frame_bytes);
            raw.file_room = raw.size;
            raw.limit_found = raw.part_bytes > 0;
        }
        if (!status.ok()) {
            return status;
        }
    }
    return {};
}

failure raw_read_size(raw_file& raw)
{
    std::string name;
    const int64_t size = raw.fd.valid() ? fsize(raw.fd.get()) : 0;
    if (size < 0) {
        return fail(fault::size_unknown, current_name(raw, name), errno);
    }
    raw.size = static_cast<uint64_t>(size) > raw.data_offset ? static_cast<uint64_t>(size) - raw.data_offset : 0;
    raw.take_bytes = raw.size;
    for (const uint64_t bytes : raw.filled_bytes) {
        raw.take_bytes += bytes;
    }
    raw.synced_bytes = raw.take_bytes;
    return {};
}

std::vector<raw_piece> raw_pieces(const raw_file& raw)
{
    std::vector<raw_piece> pieces;
    for (std::size_t i = 0; i < raw.filled.size(); ++i) {
        pieces.push_back({raw.filled[i].get(), raw.filled_bytes[i], raw.data_offset});
    }
    if (raw.fd.valid()) {
        pieces.push_back({raw.fd.get(), raw.size, raw.data_offset});
    }
    return pieces;
}
