// Runs the real floatrec binary in a scratch directory, with "default"
// pointed at a test capture device through a private HOME/.asoundrc.
#pragma once

#include "support/samples.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct sandbox {
    std::filesystem::path root; // removed when the sandbox goes
    std::filesystem::path home; // HOME of the run, holds .asoundrc
    std::filesystem::path work; // current directory of the run
    std::vector<std::string> env; // NAME=value entries added to the runs' environment
    std::filesystem::path program; // the floatrec that runs: the build's unless set

    sandbox();
    ~sandbox();
    sandbox(const sandbox&) = delete;
    sandbox& operator=(const sandbox&) = delete;

    std::filesystem::path at(std::string_view name) const { return work / name; }
};

struct run_result {
    int status = -1;      // exit status, or -1 when a signal ended it
    int term_signal = 0;  // the signal that ended it, if any
    std::string out;
    std::string err;      // standard error, less the closing summary
    std::string summary;  // the closing summary line ("captured ..."), if any; what is
                          // said of silence after it stays in `err`
};

// "default" reads `signal` (S32_LE mono) through alsa-lib's file plugin.
void use_file_device(const sandbox& box, std::span<const int32_t> signal);

// "default" is the project's I/O plugin with these options (see test_pcm.cpp).
void use_test_device(const sandbox& box, std::string_view options);

// For runs as another user: floatrec and the test device copied into the
// sandbox (whose root it opens to others), since the build may lie under a
// directory only its owner can enter; "default" is that device with `options`.
void use_copies_for_another_user(sandbox& box, std::string_view options);

// "default" names a card that does not exist.
void use_no_device(const sandbox& box);

// A private sound server for the sandbox, PulseAudio or PipeWire (with its
// pulse server and WirePlumber): its own runtime directory, a null sink,
// and that sink's monitor as the default source, so that what is played into
// it is what a recording through "default" hears.
struct sound_server {
    std::string kind;     // "pulseaudio" or "pipewire"
    std::vector<pid_t> pids;
    std::string why_not;  // why it could not be started

    // Starts the server, points the sandbox's "default" at it (PipeWire's
    // own ALSA plugin where pipewire-alsa is installed, else the pulse
    // plugin) and its runs at it. False (with why_not) when it cannot start.
    bool start(sandbox& box);
    void kill_now();
    ~sound_server();
};

// The kinds of sound server installed here.
std::vector<std::string> installed_sound_servers();

// A small file system of its own, mounted for the sandbox's recording (as
// root only): ext4 on a loop device, or tmpfs. Unmounted when it goes.
struct scratch_disk {
    std::filesystem::path dir;
    std::string why_not; // why it could not be mounted

    // Mounts `megabytes` of `type` ("ext4" or "tmpfs") and makes it the
    // sandbox's working directory.
    bool mount(sandbox& box, int megabytes, const std::string& type);
    // An ext4 that fsfreeze works on here (tried once, thawed again).
    bool mount_freezable(sandbox& box, int megabytes);
    // A tmpfs given room for `megabytes` in all (the disk made room again).
    bool grow(int megabytes);
    bool freeze();
    void thaw();
    ~scratch_disk();

private:
    bool frozen = false;
};

// A file system that keeps only what was synced (tests/devices/powercut_fs.py),
// mounted as the sandbox's working directory: data as of each file's last
// fsync or fdatasync, names as of the directory's last fsync. After its
// `cut_after`-th change or sync (0: never) every call fails, as a disk that
// lost its power.
struct powercut_disk {
    pid_t pid = -1;
    std::filesystem::path mountpoint;
    std::filesystem::path image; // after unmount: what a cut would have left
    int ops = 0;                 // after unmount: the changes and syncs it counted
    std::string why_not;         // why it could not be mounted

    // Mounts it, holding the files of `from` (none when empty) as synced.
    bool mount(sandbox& box, int cut_after, const std::filesystem::path& from = {});
    void unmount();
    ~powercut_disk();
};

// Plays 16-bit mono samples at 44100 Hz into the sandbox's server; returns
// the player's pid (killed and reaped by stop_player).
pid_t play_into_server(const sandbox& box, std::span<const int16_t> samples);
void stop_player(pid_t pid);

// How to run it, beyond the arguments.
struct run_options {
    std::string input;                        // standard input
    std::function<void(pid_t)> while_running; // called with the pid before it is waited for
    std::vector<std::string> wrapper;         // a command that runs floatrec (strace, setpriv)
    // When set, standard output is a pipe and this reads it (on a thread of
    // its own) and returns what it read.
    std::function<std::string(int)> read_stdout;
    int stdout_pipe_size = 0;                 // bytes the pipe holds; 0: the system's default
    bool closed_out_err = false;              // started with descriptors 1 and 2 closed
    bool terminal = false;                    // standard output and error on one pseudo-terminal,
                                              // whose screen text lands in `out`
    unsigned short terminal_columns = 80;     // its width
};

// The one way the tests run floatrec: in the sandbox, with `args`.
run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, const run_options& options = {});

// Waits until `ready` holds, looking every few milliseconds; false when it
// did not within `timeout`.
bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Waits until the file holds at least `bytes` bytes (00000.raw after some
// periods were appended and synced).
bool wait_for_bytes(const std::filesystem::path& path, std::uintmax_t bytes);

// Waits until a recording holds the lock of the sandbox's working directory.
bool wait_for_lock(const sandbox& box);

// Waits until a thread of `pid` sleeps writing to a full pipe (a standard
// output that nobody reads).
bool wait_for_blocked_pipe(pid_t pid);

// Standard output a pipe of 4 KiB (full after about 3 s of progress lines
// with 1024-frame periods) that nobody reads for `paused`: a paused pager.
run_options stdout_unread_for(std::chrono::seconds paused);

// Waits until the process holds a descriptor whose link reads `target`
// ("anon_inode:[timerfd]": the paced test device is open).
bool wait_for_descriptor(pid_t pid, std::string_view target);

// Everything that can be read from `fd` until its end.
std::string read_all(int fd);

std::vector<uint8_t> read_bytes(const std::filesystem::path& path);
std::vector<float> read_floats(const std::filesystem::path& path);

// A WAV file as libsndfile reads it.
struct wav_contents {
    bool opened = false;
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> samples;
};

wav_contents read_wav(const std::filesystem::path& path);

// Frame i of the test device's signal, as the recorder stores it.
float test_signal_at(uint64_t frame);

// The frame of the test device's signal that a stored sample came from.
uint64_t test_signal_frame(float sample);

// Whether target.wav holds exactly the test device's first `frames` frames.
bool target_holds_signal(const sandbox& box, uint64_t frames);

// For run_options' while_running: sends `signo` once `ready` holds (or after
// `delay`), and tells how long the program took to end after it.
struct signal_timing {
    std::chrono::steady_clock::time_point sent;
    std::chrono::steady_clock::duration took_to_end() const { return std::chrono::steady_clock::now() - sent; }
};
std::function<void(pid_t)> signal_when(std::function<bool()> ready, int signo, signal_timing& timing);
std::function<void(pid_t)> signal_after(std::chrono::milliseconds delay, int signo, signal_timing& timing);

// The stdout lines of a run, without the empty ones.
std::vector<std::string> lines_of(std::string_view text);

inline constexpr std::string_view banner = "\n ~~~~~~~~~~~~~~\t THE END \t~~~~~~~~~~~~~~ \n\n";

// A signal with sound, silent stretches, near-silent noise around the filter's
// threshold and the two extremes of the 32-bit range.
std::vector<int32_t> speech_like_signal(std::size_t frames);

// The test device's signal for frames [first, first + count).
std::vector<float> test_signal(uint64_t first, uint64_t count);
