// Private sound servers, as most desktops record through.
#pragma once

#include "support/sandbox.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

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

// The kinds of sound server the tests run with.
inline const std::vector<std::string> sound_server_kinds = {"pulseaudio", "pipewire"};

// What this machine lacks to run a server of that kind ("pipewire-pulse is
// not installed"); empty when nothing.
std::string sound_server_missing(const std::string& kind);

// Plays 16-bit samples at 44100 Hz (`channels` interleaved) into the
// sandbox's server; returns the player's pid (killed and reaped by stop_player).
pid_t play_into_server(const sandbox& box, std::span<const int16_t> samples, int channels = 1);

// A stereo null sink (front left, front right) in the sandbox's server, its
// monitor the default source from now on; false when it cannot be had.
bool use_stereo_sink(const sandbox& box);
void stop_player(pid_t pid);

// Whether the sandbox's server has a stream playing into it.
bool server_is_playing(const sandbox& box);
