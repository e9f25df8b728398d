// Private PulseAudio and PipeWire servers for a sandbox.
#include "support/sound_servers.h"

#include "support/files.h"
#include "support/waits.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

bool pactl_says(const sandbox& box, std::vector<std::string> args)
{
    args.insert(args.begin(), "pactl");
    const pid_t probe = spawn_tool(box, args, box.root / "pactl.log");
    int wstatus = 0;
    waitpid(probe, &wstatus, 0);
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

} // namespace

std::string sound_server_missing(const std::string& kind)
{
    const std::vector<std::string> commands =
        kind == "pulseaudio" ? std::vector<std::string>{"pulseaudio", "pactl"}
                             : std::vector<std::string>{"pipewire", "pipewire-pulse", "wireplumber", "dbus-run-session", "pactl"};
    for (const std::string& command : commands) {
        if (!have_command(command)) {
            // (Debian's pipewire-pulse takes PulseAudio's place: the two cannot be installed together.)
            return kind == "pulseaudio" && command == "pulseaudio" && have_command("pipewire-pulse")
                       ? "PulseAudio is not here: PipeWire's pulse server (pipewire-pulse) replaced it, and the "
                         "PipeWire case records through it"
                       : command + " is not installed (scripts/install-deps.sh all installs it)";
        }
    }
    return {};
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

pid_t play_into_server(const sandbox& box, std::span<const int16_t> samples, int channels)
{
    const fs::path file = box.root / "played.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size_bytes()));
    return spawn_tool(box, {"pacat", "--raw", "--format=s16le", "--channels=" + std::to_string(channels), "--rate=44100",
                            file.string()},
                      box.root / "pacat.log");
}

bool use_stereo_sink(const sandbox& box)
{
    return pactl_says(box, {"load-module", "module-null-sink", "sink_name=floatrec_stereo", "rate=44100", "channels=2",
                            "channel_map=front-left,front-right"}) &&
           wait_until([&] {
               return pactl_says(box, {"set-default-sink", "floatrec_stereo"}) &&
                      pactl_says(box, {"set-default-source", "floatrec_stereo.monitor"});
           }, std::chrono::seconds(5));
}

void stop_player(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}


bool server_is_playing(const sandbox& box)
{
    const fs::path listing = box.root / "sink-inputs.txt";
    write_text(listing, "");
    const pid_t probe = spawn_tool(box, {"pactl", "list", "short", "sink-inputs"}, listing);
    int wstatus = 0;
    waitpid(probe, &wstatus, 0);
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0 && !read_text(listing).empty();
}
