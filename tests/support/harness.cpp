// Sandboxes, test devices, sound servers, scratch disks and runs of the real binary.
#include "support/harness.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sndfile.h>
#include <csignal>
#include <sstream>
#include <thread>
#include <stdexcept>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

sandbox::sandbox()
{
    std::string pattern = (fs::temp_directory_path() / "floatrec-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
    home = root / "home";
    work = root / "work";
    fs::create_directory(home);
    fs::create_directory(work);
    // A runtime directory of its own: a sound server of the desktop the tests
    // run on must not take "default" over the sandbox's .asoundrc.
    fs::create_directory(root / "run");
    env.push_back("XDG_RUNTIME_DIR=" + (root / "run").string());
}

sandbox::~sandbox()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

namespace {

void write_text(const fs::path& path, std::string_view text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

void use_file_device(const sandbox& box, std::span<const int32_t> signal)
{
    const std::vector<uint8_t> bytes = le_bytes(signal);
    const fs::path input = box.root / "signal.raw";
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    std::ostringstream rc;
    rc << "pcm.!default {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
       << "  infile \"" << input.string() << "\"\n  format \"raw\"\n}\n";
    write_text(box.home / ".asoundrc", rc.str());
}

void use_test_device(const sandbox& box, std::string_view options)
{
    std::ostringstream rc;
    rc << "pcm_type.floatrectest { lib \"" << FLOATREC_TEST_PCM << "\" }\n"
       << "pcm.!default { type floatrectest " << options << " }\n";
    write_text(box.home / ".asoundrc", rc.str());
}

void use_copies_for_another_user(sandbox& box, std::string_view options)
{
    const fs::path bin = box.root / "bin";
    fs::create_directory(bin);
    const fs::perms open_to_all = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec;
    for (const fs::path& dir : {box.root, box.home, bin}) {
        fs::permissions(dir, open_to_all);
    }
    fs::copy_file(FLOATREC_BIN, bin / "floatrec");
    fs::copy_file(FLOATREC_TEST_PCM, bin / fs::path(FLOATREC_TEST_PCM).filename());
    box.program = bin / "floatrec";
    // A ThreadSanitizer build reads its suppressions as that user too.
    if (const char* tsan = std::getenv("TSAN_OPTIONS"); tsan != nullptr) {
        std::string tsan_options = tsan;
        const std::size_t at = tsan_options.find("suppressions=");
        if (at != std::string::npos) {
            const std::size_t end = std::min(tsan_options.find_first_of(" :", at), tsan_options.size());
            fs::copy_file(tsan_options.substr(at + 13, end - at - 13), bin / "tsan.supp");
            tsan_options.replace(at + 13, end - at - 13, (bin / "tsan.supp").string());
        }
        box.env.push_back("TSAN_OPTIONS=" + tsan_options);
    }
    std::ostringstream rc;
    rc << "pcm_type.floatrectest { lib \"" << (bin / fs::path(FLOATREC_TEST_PCM).filename()).string() << "\" }\n"
       << "pcm.!default { type floatrectest " << options << " }\n";
    write_text(box.home / ".asoundrc", rc.str());
}

void use_no_device(const sandbox& box)
{
    write_text(box.home / ".asoundrc", "pcm.!default { type hw card 97 }\n");
}

namespace {

// The tests' own environment, with the sandbox's HOME and its additions.
std::vector<std::string> child_environment(const sandbox& box)
{
    std::vector<std::string> env_text;
    const auto set_by_box = [&box](std::string_view entry) {
        const std::string_view name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(box.env.begin(), box.env.end(), [name](const std::string& e) { return e.starts_with(name); });
    };
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_CONFIG_HOME=") &&
            !entry.starts_with("ALSA_CONFIG_PATH=") && !entry.starts_with("XDG_RUNTIME_DIR=") &&
            !entry.starts_with("PULSE_SERVER=") && !set_by_box(entry)) {
            env_text.emplace_back(entry);
        }
    }
    env_text.push_back("HOME=" + box.home.string());
    env_text.insert(env_text.end(), box.env.begin(), box.env.end());
    return env_text;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (std::string& t : texts) {
        out.push_back(t.data());
    }
    out.push_back(nullptr);
    return out;
}

// Starts a program found on PATH with the sandbox's environment, its output
// in `log`, standard input from `input` (or /dev/null).
pid_t spawn_tool(const sandbox& box, std::vector<std::string> argv_text, const fs::path& log,
                 const fs::path& input = "/dev/null")
{
    std::vector<std::string> env_text = child_environment(box);
    std::vector<char*> argv = pointers_to(argv_text);
    std::vector<char*> envp = pointers_to(env_text);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // a group of its own, so that what it starts goes with it
        const int in_fd = open(input.c_str(), O_RDONLY);
        const int out_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in_fd < 0 || out_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) {
            _exit(127);
        }
        environ = envp.data();
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool exited(pid_t pid)
{
    int wstatus = 0;
    return waitpid(pid, &wstatus, WNOHANG) == pid;
}

} // namespace

namespace {

bool have_command(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool pactl_says(const sandbox& box, std::vector<std::string> args)
{
    args.insert(args.begin(), "pactl");
    const pid_t probe = spawn_tool(box, args, box.root / "pactl.log");
    int wstatus = 0;
    waitpid(probe, &wstatus, 0);
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

} // namespace

std::vector<std::string> installed_sound_servers()
{
    std::vector<std::string> kinds;
    if (have_command("pulseaudio") && have_command("pactl")) {
        kinds.emplace_back("pulseaudio");
    }
    if (have_command("pipewire") && have_command("pipewire-pulse") && have_command("wireplumber") &&
        have_command("dbus-run-session") && have_command("pactl")) {
        kinds.emplace_back("pipewire");
    }
    return kinds;
}

bool sound_server::start(sandbox& box)
{
    const fs::path runtime = box.root / "server-run";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    for (std::string& entry : box.env) {
        if (entry.starts_with("XDG_RUNTIME_DIR=")) {
            entry = "XDG_RUNTIME_DIR=" + runtime.string();
        }
    }
    const fs::path log = box.root / "server.log";
    if (kind == "pulseaudio") {
        write_text(box.root / "pulse.pa", "load-module module-native-protocol-unix\n");
        pids.push_back(spawn_tool(box,
                                  {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
                                   "--log-target=stderr", "-F", (box.root / "pulse.pa").string()},
                                  log));
    } else {
        // The graph at the played rate, so that nothing is resampled.
        const fs::path conf = box.home / ".config" / "pipewire" / "pipewire.conf.d";
        fs::create_directories(conf);
        write_text(conf / "rate.conf",
                   "context.properties = { default.clock.rate = 44100 default.clock.allowed-rates = [ 44100 ] }\n");
        pids.push_back(spawn_tool(box, {"pipewire"}, log));
        pids.push_back(spawn_tool(box, {"dbus-run-session", "--", "wireplumber"}, box.root / "wireplumber.log"));
        pids.push_back(spawn_tool(box, {"pipewire-pulse"}, box.root / "pipewire-pulse.log"));
    }
    const fs::path socket = runtime / "pulse" / "native";
    const bool up = wait_until([&] {
        for (const pid_t pid : pids) {
            if (exited(pid)) {
                return true;
            }
        }
        return fs::exists(socket) && pactl_says(box, {"info"});
    }, std::chrono::seconds(10));
    const bool died = std::any_of(pids.begin(), pids.end(), [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
    // The null sink, its monitor the default source; under PipeWire the
    // session manager takes the defaults a moment after the sink appears.
    const bool ready = up && !died && pactl_says(box, {"load-module", "module-null-sink", "sink_name=floatrec_test", "rate=44100", "channels=1"}) &&
                       wait_until([&] {
                           return pactl_says(box, {"set-default-sink", "floatrec_test"}) &&
                                  pactl_says(box, {"set-default-source", "floatrec_test.monitor"});
                       }, std::chrono::seconds(5));
    if (!ready) {
        why_not = kind + " did not start: " + read_text(log);
        kill_now();
        return false;
    }
    const bool pipewire_alsa = kind == "pipewire" && std::system("ls /usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so >/dev/null 2>&1") == 0;
    write_text(box.home / ".asoundrc", pipewire_alsa ? "pcm.!default { type pipewire }\n" : "pcm.!default { type pulse }\n");
    return true;
}

void sound_server::kill_now()
{
    for (const pid_t pid : pids) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pids.clear();
}

sound_server::~sound_server()
{
    kill_now();
}

namespace {

bool shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace

bool scratch_disk::mount(sandbox& box, int megabytes, const std::string& type)
{
    if (geteuid() != 0) {
        why_not = "mounting a file system needs root";
        return false;
    }
    const fs::path where = box.root / "disk";
    fs::create_directory(where);
    const std::string size = std::to_string(megabytes);
    bool mounted = false;
    if (type == "tmpfs") {
        mounted = shell("mount -t tmpfs -o size=" + size + "m tmpfs '" + where.string() + "'");
    } else {
        const std::string image = (box.root / "disk.img").string();
        mounted = shell("truncate -s " + size + "M '" + image + "' && mkfs.ext4 -q -F '" + image + "' && mount -o loop '" +
                        image + "' '" + where.string() + "'");
    }
    if (!mounted) {
        why_not = "cannot mount " + type + " here (no loop devices or no permission)";
        return false;
    }
    dir = where;
    box.work = where;
    return true;
}

bool scratch_disk::mount_freezable(sandbox& box, int megabytes)
{
    if (!mount(box, megabytes, "ext4")) {
        return false;
    }
    if (!freeze()) {
        why_not = "fsfreeze is not allowed here";
        return false;
    }
    thaw();
    return true;
}

bool scratch_disk::grow(int megabytes)
{
    return shell("mount -o remount,size=" + std::to_string(megabytes) + "m '" + dir.string() + "'");
}

bool scratch_disk::freeze()
{
    frozen = !dir.empty() && shell("fsfreeze -f '" + dir.string() + "'");
    return frozen;
}

void scratch_disk::thaw()
{
    if (frozen) {
        shell("fsfreeze -u '" + dir.string() + "'");
        frozen = false;
    }
}

scratch_disk::~scratch_disk()
{
    thaw();
    if (!dir.empty()) {
        shell("umount '" + dir.string() + "'");
    }
}

bool powercut_disk::mount(sandbox& box, int cut_after, const fs::path& from)
{
    if (geteuid() != 0 || !fs::exists("/dev/fuse") ||
        std::system("/usr/bin/python3 -c 'import fusepy' >/dev/null 2>&1") != 0) {
        why_not = "FUSE needs root, /dev/fuse and Debian's python3-fusepy";
        return false;
    }
    static int mounts = 0;
    const std::string tag = std::to_string(++mounts);
    mountpoint = box.root / ("powercut-" + tag);
    image = box.root / ("image-" + tag);
    fs::create_directory(mountpoint);
    std::vector<std::string> argv = {"/usr/bin/python3", FLOATREC_POWERCUT_FS, mountpoint.string(), image.string(),
                                     "--cut", std::to_string(cut_after)};
    if (!from.empty()) {
        argv.insert(argv.end(), {"--from", from.string()});
    }
    pid = spawn_tool(box, argv, box.root / ("powercut-" + tag + ".log"));
    const bool mounted = wait_until(
        [this] { return read_text("/proc/mounts").find(" " + mountpoint.string() + " fuse") != std::string::npos; },
        std::chrono::seconds(10));
    if (!mounted) {
        why_not = "the power-cut file system did not mount: " + read_text(box.root / ("powercut-" + tag + ".log"));
        return false;
    }
    box.work = mountpoint;
    return true;
}

void powercut_disk::unmount()
{
    if (pid > 0) {
        shell("umount '" + mountpoint.string() + "'");
        waitpid(pid, nullptr, 0);
        pid = -1;
        ops = std::atoi(read_text(image.string() + ".ops").c_str());
    }
}

powercut_disk::~powercut_disk()
{
    unmount();
}

pid_t play_into_server(const sandbox& box, std::span<const int16_t> samples)
{
    const fs::path file = box.root / "played.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size_bytes()));
    return spawn_tool(box, {"pacat", "--raw", "--format=s16le", "--channels=1", "--rate=44100", file.string()},
                      box.root / "pacat.log");
}

void stop_player(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, const run_options& options)
{
    const fs::path in_path = box.root / "stdin.txt";
    const fs::path out_path = box.root / "stdout.txt";
    const fs::path err_path = box.root / "stderr.txt";
    write_text(in_path, options.input);
    write_text(out_path, "");
    write_text(err_path, "");

    std::vector<std::string> argv_text = options.wrapper;
    argv_text.emplace_back(box.program.empty() ? std::string(FLOATREC_BIN) : box.program.string());
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers_to(argv_text);
    std::vector<std::string> env_text = child_environment(box);
    std::vector<char*> envp = pointers_to(env_text);

    int out_pipe[2] = {-1, -1};
    if (options.read_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (options.read_stdout && options.stdout_pipe_size > 0) {
        fcntl(out_pipe[1], F_SETPIPE_SZ, options.stdout_pipe_size);
    }

    int terminal = -1;
    int terminal_side = -1;
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = options.terminal_columns;
    if (options.terminal && openpty(&terminal, &terminal_side, nullptr, nullptr, &size) != 0) {
        throw std::runtime_error("openpty failed");
    }

    const pid_t pid = fork();
    if (pid == 0) {
        if (options.terminal) {
            setsid();
            ioctl(terminal_side, TIOCSCTTY, 0);
        }
        const int in_fd = open(in_path.c_str(), O_RDONLY);
        const int out_fd = options.terminal      ? terminal_side
                           : options.read_stdout ? out_pipe[1]
                                                 : open(out_path.c_str(), O_WRONLY | O_TRUNC);
        const int err_fd = options.terminal ? terminal_side : open(err_path.c_str(), O_WRONLY | O_TRUNC);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0 || chdir(box.work.c_str()) != 0) {
            _exit(127);
        }
        if (options.closed_out_err) {
            close(1);
            close(2);
        }
        if (options.wrapper.empty()) {
            execve(argv[0], argv.data(), envp.data());
        } else {
            // A wrapper such as strace is found on PATH.
            environ = envp.data();
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
    std::string piped;
    std::thread reader;
    if (options.terminal) {
        close(terminal_side);
        reader = std::thread([&] {
            piped = read_all(terminal); // ends with EIO once the program has gone
            close(terminal);
        });
    } else if (options.read_stdout) {
        close(out_pipe[1]);
        reader = std::thread([&] {
            piped = options.read_stdout(out_pipe[0]);
            close(out_pipe[0]);
        });
    }
    if (options.while_running) {
        options.while_running(pid);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (reader.joinable()) {
        reader.join();
    }
    run_result result;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.term_signal = WTERMSIG(wstatus);
    }
    result.out = options.read_stdout || options.terminal ? piped : read_text(out_path);
    result.err = read_text(err_path);
    // The summary is one line, the last but for what is said of silence.
    for (std::size_t at = result.err.rfind("captured "); at != std::string::npos;
         at = at == 0 ? std::string::npos : result.err.rfind("captured ", at - 1)) {
        const std::size_t end = result.err.find('\n', at);
        if ((at == 0 || result.err[at - 1] == '\n') && end != std::string::npos &&
            result.err.substr(at, end - at).find(" samples clipped, ") != std::string::npos) {
            result.summary = result.err.substr(at, end + 1 - at);
            result.err.erase(at, end + 1 - at);
            break;
        }
    }
    return result;
}

run_options stdout_unread_for(std::chrono::seconds paused)
{
    run_options options;
    options.stdout_pipe_size = 4096;
    options.read_stdout = [paused](int fd) {
        std::this_thread::sleep_for(paused);
        return read_all(fd);
    };
    return options;
}

bool wait_for_descriptor(pid_t pid, std::string_view target)
{
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    return wait_until([&] {
        std::error_code gone;
        for (const fs::directory_entry& fd : fs::directory_iterator(fds, gone)) {
            std::error_code unreadable;
            if (fs::read_symlink(fd.path(), unreadable).string() == target) {
                return true;
            }
        }
        return false;
    });
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    for (ssize_t got = 0; (got = read(fd, chunk, sizeof chunk)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return text;
}

std::vector<uint8_t> read_bytes(const fs::path& path)
{
    const std::string text = read_text(path);
    return {text.begin(), text.end()};
}

std::vector<float> read_floats(const fs::path& path)
{
    const std::vector<uint8_t> bytes = read_bytes(path);
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

wav_contents read_wav(const fs::path& path)
{
    wav_contents out;
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return out;
    }
    out.opened = true;
    out.rate = info.samplerate;
    out.channels = info.channels;
    out.format = info.format;
    out.samples.resize(static_cast<std::size_t>(info.frames));
    out.samples.resize(static_cast<std::size_t>(sf_readf_float(file, out.samples.data(), info.frames)));
    sf_close(file);
    return out;
}

float test_signal_at(uint64_t frame)
{
    const auto raw = static_cast<int32_t>(((frame % (uint64_t{1} << 23)) + 1) * 256);
    return static_cast<float>(raw) / 2147483648.0F;
}

uint64_t test_signal_frame(float sample)
{
    return static_cast<uint64_t>(std::llround(static_cast<double>(sample) * 2147483648.0 / 256.0)) - 1;
}

bool target_holds_signal(const sandbox& box, uint64_t frames)
{
    return same_bits(read_wav(box.at("target.wav")).samples, test_signal(0, frames));
}

bool wait_until(const std::function<bool()>& ready, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool wait_for_bytes(const fs::path& path, std::uintmax_t bytes)
{
    return wait_until([&] {
        std::error_code ignored;
        const std::uintmax_t size = fs::file_size(path, ignored);
        return !ignored && size >= bytes;
    });
}

bool wait_for_lock(const sandbox& box)
{
    return wait_until([&box] {
        struct stat st = {};
        if (stat(box.work.c_str(), &st) != 0) {
            return false;
        }
        char inode[64];
        std::snprintf(inode, sizeof inode, ":%llu ", static_cast<unsigned long long>(st.st_ino));
        const std::string locks = read_text("/proc/locks");
        return locks.find("FLOCK") != std::string::npos && locks.find(inode) != std::string::npos;
    });
}

bool wait_for_blocked_pipe(pid_t pid)
{
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    return wait_until([&tasks] {
        std::error_code gone;
        for (const fs::directory_entry& task : fs::directory_iterator(tasks, gone)) {
            if (read_text(task.path() / "wchan").find("pipe_write") != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

std::function<void(pid_t)> signal_when(std::function<bool()> ready, int signo, signal_timing& timing)
{
    return [ready = std::move(ready), signo, &timing](pid_t pid) {
        wait_until(ready);
        timing.sent = std::chrono::steady_clock::now();
        kill(pid, signo);
    };
}

std::function<void(pid_t)> signal_after(std::chrono::milliseconds delay, int signo, signal_timing& timing)
{
    return [delay, signo, &timing](pid_t pid) {
        std::this_thread::sleep_for(delay);
        timing.sent = std::chrono::steady_clock::now();
        kill(pid, signo);
    };
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        if (end > start) {
            lines.emplace_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

std::vector<int32_t> speech_like_signal(std::size_t frames)
{
    std::vector<int32_t> out(frames);
    uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t tenth = i / 4410;
        noise = noise * 1664525U + 1013904223U;
        if (tenth % 4 == 1) {
            out[i] = 0; // digital silence
        } else if (tenth % 4 == 3) {
            out[i] = static_cast<int32_t>(noise % 601) - 300; // hiss around the threshold
        } else {
            const double t = static_cast<double>(i) / 44100.0;
            out[i] = static_cast<int32_t>(0.5 * 2147483647.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * t));
        }
    }
    if (frames > 2) {
        out[0] = INT32_MIN;
        out[1] = INT32_MAX;
    }
    return out;
}

std::vector<float> test_signal(uint64_t first, uint64_t count)
{
    std::vector<float> out;
    out.reserve(count);
    for (uint64_t i = first; i < first + count; ++i) {
        out.push_back(test_signal_at(i));
    }
    return out;
}
