#include "support/harness.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sndfile.h>
#include <sstream>
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
    std::vector<uint8_t> bytes;
    bytes.reserve(signal.size() * 4);
    for (const int32_t v : signal) {
        const auto u = static_cast<uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            bytes.push_back(static_cast<uint8_t>(u >> (8 * b)));
        }
    }
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

void use_no_device(const sandbox& box)
{
    write_text(box.home / ".asoundrc", "pcm.!default { type hw card 97 }\n");
}

run_result run_floatrec(const sandbox& box, const std::vector<std::string>& args, std::string_view input,
                        const std::function<void(pid_t)>& while_running, const std::vector<std::string>& wrapper)
{
    const fs::path in_path = box.root / "stdin.txt";
    const fs::path out_path = box.root / "stdout.txt";
    const fs::path err_path = box.root / "stderr.txt";
    write_text(in_path, input);

    std::vector<std::string> argv_text = wrapper;
    argv_text.emplace_back(FLOATREC_BIN);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry = *e;
        if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_CONFIG_HOME=") &&
            !entry.starts_with("ALSA_CONFIG_PATH=")) {
            env_text.emplace_back(entry);
        }
    }
    env_text.push_back("HOME=" + box.home.string());
    std::vector<char*> envp;
    for (std::string& e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in_fd = open(in_path.c_str(), O_RDONLY);
        const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0 || chdir(box.work.c_str()) != 0) {
            _exit(127);
        }
        if (wrapper.empty()) {
            execve(argv[0], argv.data(), envp.data());
        } else {
            // A wrapper such as strace is found on PATH.
            environ = envp.data();
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
    if (while_running) {
        while_running(pid);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run_result result;
    if (WIFEXITED(wstatus)) {
        result.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        result.term_signal = WTERMSIG(wstatus);
    }
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
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

std::vector<float> expected_kept(std::span<const int32_t> signal)
{
    std::vector<float> out;
    for (const int32_t v : signal) {
        const float f = static_cast<float>(v) / 2147483648.0F;
        if (static_cast<double>(f < 0 ? -f : f) > 1e-7) {
            out.push_back(f);
        }
    }
    return out;
}

float test_signal_at(uint64_t frame)
{
    const auto raw = static_cast<int32_t>(((frame % (uint64_t{1} << 23)) + 1) * 256);
    return static_cast<float>(raw) / 2147483648.0F;
}

bool same_bits(std::span<const float> a, std::span<const float> b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
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
