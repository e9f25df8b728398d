// The capture devices ALSA knows (-L): each with the name -D takes and its
// description, and what it offers where it can be opened without being
// started (never started: nothing is read from it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct device_offer {
    bool probed = false;            // opened to see (a sound server's device is not)
    bool opened = false;
    int open_error = 0;             // why it could not be opened (-EBUSY: another program has it)
    uint32_t channels_min = 0, channels_max = 0;
    uint32_t rate_min = 0, rate_max = 0;
    std::vector<std::string> formats; // of those floatrec records: "S16_LE", "S24_3LE", ...
};

struct listed_device {
    std::string name;        // as -D takes it
    std::string description; // its first line
    device_offer offer;
};

// Every capture device of ALSA's hints (the sound servers' among them), then
// each card's capture devices as hw: and plughw:, each probed. `cards`
// learns how many sound cards there are.
std::vector<listed_device> list_capture_devices(int& cards);
