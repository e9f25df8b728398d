// Takes planted as a killed run leaves them, and what a run says it saved.
#include "support/takes.h"

#include "support/devices.h"
#include "support/files.h"
#include "support/runner.h"
#include "support/samples.h"
#include "support/waits.h"

#include <csignal>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <span>

namespace fs = std::filesystem;

std::string note_of(const char* state, uint32_t rate, int64_t started)
{
    return std::string("floatrec take\nstate ") + state + "\nrate " + std::to_string(rate) +
           "\nformat float32le mono\nstarted " + std::to_string(started) + "\n";
}

// An unfinished take of the test signal's frames from 1,000,000 on, as a
// killed run at 8000 Hz leaves it: 00000.raw and its note.
std::vector<float> plant_take_in(const fs::path& dir, std::size_t frames)
{
    const std::vector<float> take = test_signal(1'000'000, frames);
    std::ofstream(dir / "00000.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(take.data()), static_cast<std::streamsize>(take.size() * 4));
    std::ofstream(dir / ".00000.raw.take") << note_of("unfinished", 8000, planted_start);
    return take;
}

std::vector<float> plant_take(sandbox& box, std::size_t frames)
{
    box.env.push_back("TZ=UTC");
    return plant_take_in(box.work, frames);
}

// The WAV files in `dir` that begin with `samples` (all of them when `whole`).
std::vector<std::string> wavs_holding(const fs::path& dir, const std::vector<float>& samples, bool whole)
{
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".wav") {
            continue;
        }
        const std::vector<float> held = read_wav(entry.path()).samples;
        if (held.size() >= samples.size() && (!whole || held.size() == samples.size()) &&
            same_bits(std::span(held).first(samples.size()), samples)) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

std::vector<std::string> wavs_holding(const sandbox& box, const std::vector<float>& samples, bool whole)
{
    return wavs_holding(box.work, samples, whole);
}

std::vector<std::string> said_saved(const std::string& err)
{
    std::vector<std::string> names;
    const std::regex saved("saved the unfinished take in 00000.raw as ([^(]+) \\(");
    const std::regex name("[^ /]*recovered-[0-9-]+\\.wav"); // (the base name: beside an -o name, after it)
    for (auto it = std::sregex_iterator(err.begin(), err.end(), saved); it != std::sregex_iterator(); ++it) {
        const std::string list = (*it)[1];
        for (auto n = std::sregex_iterator(list.begin(), list.end(), name); n != std::sregex_iterator(); ++n) {
            names.push_back(n->str());
        }
    }
    return names;
}

// A paced recording killed once 00000.raw holds `bytes`; what it held then.
std::vector<float> killed_take(const sandbox& box, std::uintmax_t bytes, const std::vector<std::string>& options)
{
    run_options run;
    run.while_running = [&](pid_t pid) {
        EXPECT_TRUE(wait_for_bytes(box.at("00000.raw"), bytes));
        kill(pid, SIGKILL);
    };
    std::vector<std::string> args = options;
    args.emplace_back("30");
    const run_result r = run_floatrec(box, args, run);
    EXPECT_EQ(r.term_signal, SIGKILL);
    return read_floats(box.at("00000.raw"));
}

std::map<std::string, std::vector<uint8_t>> files_of(const sandbox& box)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(box.work)) {
        if (entry.path().filename() == ".floatrec.lock") {
            continue; // the run's hold, which a killed run leaves and the next start takes over
        }
        files[entry.path().filename().string()] = entry.is_regular_file() ? read_bytes(entry.path()) : std::vector<uint8_t>{};
    }
    return files;
}

std::vector<std::string> with_file_limit(int kib)
{
    return {"bash", "-c", "ulimit -f " + std::to_string(kib) + "; exec \"$0\" \"$@\""};
}
