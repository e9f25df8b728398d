// The take put in place as target.wav (or its parts), from its files.
#include "take/finish.h"

#include "pipeline/cues.h"

#include "common/storage.h"
#include "take/fileio.h"
#include "take/marks.h"
#include "take/note.h"
#include "take/wav_copy.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

namespace {

// Whether the take is still this process's, where the caller can tell.
failure still_owned(const std::function<failure()>& still_ours)
{
    return still_ours ? still_ours() : failure{};
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

std::vector<output_state> outputs_now(const take_output& output)
{
    std::vector<output_state> states;
    for (const std::string& name : earlier_outputs(output)) {
        struct stat st = {};
        if (storage().lstat(name.c_str(), &st) == 0) {
            states.push_back({name, st.st_dev, st.st_ino,
                              int64_t{st.st_ctim.tv_sec} * 1'000'000'000 + st.st_ctim.tv_nsec, st.st_size});
        }
    }
    return states;
}

bool written_since(const std::vector<output_state>& before, const std::vector<output_state>& now)
{
    for (const output_state& file : now) {
        const auto was = std::find_if(before.begin(), before.end(), [&file](const output_state& earlier) {
            return earlier.name == file.name;
        });
        if (was == before.end() || was->device != file.device || was->inode != file.inode ||
            was->changed_ns != file.changed_ns || was->bytes != file.bytes) {
            return true;
        }
    }
    return false;
}

take_output next_free_output(const take_output& output)
{
    take_output free = output;
    for (int copy = 2;; ++copy) {
        free.stem = output.stem + "-" + std::to_string(copy);
        struct stat st = {};
        if (earlier_outputs(free).empty() && storage().lstat(output_file(free).c_str(), &st) != 0) {
            return free;
        }
    }
}

earlier_take earlier_take_of(const take_output& output)
{
    earlier_take earlier;
    earlier.names = earlier_outputs(output);
    double seconds = 0;
    bool length_known = true;
    for (const std::string& name : earlier.names) {
        struct stat st = {};
        const unique_fd file = open_here(name.c_str(), O_RDONLY, st);
        std::vector<uint8_t> head(wav_header_bytes); // (an older floatrec's is shorter)
        const ssize_t got =
            file.valid() && S_ISREG(st.st_mode) ? storage().pread(file.get(), head.data(), head.size(), 0) : -1;
        head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        const std::optional<double> length = wav_seconds(head, static_cast<uint64_t>(st.st_size));
        length_known = length_known && length.has_value();
        seconds += length.value_or(0);
        if (file.valid() && S_ISREG(st.st_mode) && earlier.recorded_unix == 0) {
            earlier.recorded_unix = st.st_mtim.tv_sec; // (a link's own time is none of its file's)
        }
    }
    if (length_known) {
        earlier.seconds = seconds;
    }
    return earlier;
}

failure write_parts(const parts_job& job, std::vector<std::string>& written, std::string* failed_name)
{
    written.clear();
    for (std::size_t part = 1; part <= job.plan.parts; ++part) {
        const std::string name = job.name_of(part);
        // (Its marks: those of the take's frames it holds, from its first.)
        take_format format = job.format;
        const uint64_t frame_bytes = stored_frame_bytes(format.channels);
        format.marks = marks_within(job.format.marks, job.plan.from(part) / frame_bytes, job.plan.size(part) / frame_bytes);
        const wav_header header = take_header(format, job.plan.size(part));
        if (job.resume && wav_file_holds(name.c_str(), header, job.pieces, job.plan.from(part), job.plan.size(part))) {
            written.push_back(name);
            continue; // put in place before the kill
        }
        bool renamed = false;
        const auto ready = [&job, part, &name] { return job.before_rename ? job.before_rename(part, name) : failure{}; };
        const failure status = job.before_write ? job.before_write() : failure{};
        if (!status.ok()) {
            return status;
        }
        const failure installed = install_new({name.c_str(), job.temp_name.c_str(), job.not_created, ready}, [&](int fd) {
            return write_wav_into(fd, name.c_str(), header, job.pieces, job.plan.from(part), job.plan.size(part));
        }, &renamed);
        if (renamed) {
            written.push_back(name);
        }
        if (!installed.ok()) {
            if (failed_name != nullptr) {
                *failed_name = name;
            }
            return installed;
        }
    }
    return {};
}

failure write_target(const take_output& output, const take_format& format, std::span<const raw_piece> pieces,
                     const part_plan& plan, bool resume,
                     std::vector<std::string>& written, const std::function<failure()>& still_ours)
{
    parts_job job{format, pieces, plan, [&output, &plan](std::size_t part) { return target_name_of(output, plan, part); },
                  output_temp_name(output), resume};
    job.before_write = [&still_ours] { return still_owned(still_ours); };
    if (const failure status = write_parts(job, written); !status.ok()) {
        return status;
    }
    if (failure status = still_owned(still_ours); !status.ok()) {
        return status;
    }
    std::vector<std::string> names;
    for (std::size_t part = 1; part <= plan.parts; ++part) {
        names.push_back(target_name_of(output, plan, part));
    }
    remove_earlier_set(output, names);
    return {};
}

failure finish_take(const take_output& output, take_note& note, std::span<const raw_piece> pieces,
                    const part_plan& plan, std::vector<std::string>& written,
                    const std::function<failure()>& still_ours, bool* in_place)
{
    const bool again = note.state == take_state::finishing;
    failure status;
    if (!again) {
        note.state = take_state::finishing;
        status = write_note(note);
    }
    if (status.ok()) {
        status = write_target(output, format_with_marks(note, plan.take_bytes / stored_frame_bytes(note.channels)), pieces,
                              plan, again, written, still_ours);
    }
    if (in_place != nullptr) {
        *in_place = status.ok();
    }
    if (status.ok()) {
        status = still_owned(still_ours);
    }
    return status.ok() ? forget_note() : status;
}
