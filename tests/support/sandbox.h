// A sandbox for runs of the real binary: a root of its own with a HOME, a
// working directory and a runtime directory, removed when it goes; and the
// helpers that start the tools the tests need in its environment.
#pragma once

#include <filesystem>
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

// The tests' own environment, with the sandbox's HOME and its additions.
std::vector<std::string> child_environment(const sandbox& box);

// NAME=value (or argv) texts as the char* array exec wants, null-ended.
std::vector<char*> pointers_to(std::vector<std::string>& texts);

// Starts a program found on PATH with the sandbox's environment, its output
// in `log`, standard input from `input`, in a process group of its own.
pid_t spawn_tool(const sandbox& box, std::vector<std::string> argv_text, const std::filesystem::path& log,
                 const std::filesystem::path& input = "/dev/null");

// Whether the child `pid` has ended (it is reaped if so).
bool exited(pid_t pid);

// Whether `name` is a command on PATH.
bool have_command(const std::string& name);

// Runs a shell command with its output discarded; whether it succeeded.
bool shell(const std::string& command);
