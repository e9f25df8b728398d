// Sandboxes, the environment of the runs, and the tools the tests start.
#include "support/sandbox.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
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

bool have_command(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

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
            !entry.starts_with("PULSE_SERVER=") && !entry.starts_with("DBUS_SYSTEM_BUS_ADDRESS=") &&
            !set_by_box(entry)) {
            env_text.emplace_back(entry);
        }
    }
    env_text.push_back("HOME=" + box.home.string());
    if (!set_by_box("DBUS_SYSTEM_BUS_ADDRESS=")) {
        // No real-time broker but the one a test starts: the machine's own
        // (a desktop's RealtimeKit) would make runs differ between machines.
        env_text.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (box.home / "no-system-bus").string());
    }
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

pid_t spawn_tool(const sandbox& box, std::vector<std::string> argv_text, const fs::path& log, const fs::path& input)
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
