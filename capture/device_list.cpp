// Listing ALSA's capture devices: its hints, then the cards' own devices,
// each opened (non-blocking, never started) to see what it offers.
#include "capture/device_list.h"

#include "common/text.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

std::string hint_text(void* hint, const char* id)
{
    char* value = snd_device_name_get_hint(hint, id);
    std::string text = value != nullptr ? value : "";
    std::free(value);
    return text;
}

// What `name` offers, opened for capture without blocking and closed again.
device_offer probe(const std::string& name)
{
    device_offer offer;
    offer.probed = true;
    snd_pcm_t* pcm = nullptr;
    offer.open_error = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (offer.open_error < 0) {
        return offer;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    if (snd_pcm_hw_params_any(pcm, params) >= 0) {
        offer.opened = true;
        unsigned value = 0;
        int dir = 0;
        snd_pcm_hw_params_get_channels_min(params, &value);
        offer.channels_min = value;
        snd_pcm_hw_params_get_channels_max(params, &value);
        offer.channels_max = value;
        snd_pcm_hw_params_get_rate_min(params, &value, &dir);
        offer.rate_min = value;
        snd_pcm_hw_params_get_rate_max(params, &value, &dir);
        offer.rate_max = value;
        for (const snd_pcm_format_t format : {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S24_LE,
                                              SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE}) {
            if (snd_pcm_hw_params_test_format(pcm, params, format) == 0) {
                offer.formats.emplace_back(snd_pcm_format_name(format));
            }
        }
    }
    snd_pcm_close(pcm);
    return offer;
}

// The hinted devices that capture ("Input", or both ways).
void add_hinted(std::vector<listed_device>& devices)
{
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0) {
        return;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
        const std::string name = hint_text(*hint, "NAME");
        const std::string way = hint_text(*hint, "IOID");
        if (name.empty() || name == "null" || (!way.empty() && way != "Input")) {
            continue;
        }
        const std::string description = hint_text(*hint, "DESC");
        devices.push_back({name, description.substr(0, description.find('\n')), {}});
    }
    snd_device_name_free_hint(hints);
}

// Each card's capture devices, as hw: and plughw: name them.
int add_cards(std::vector<listed_device>& devices)
{
    int cards = 0;
    for (int card = -1; snd_card_next(&card) == 0 && card >= 0; ++cards) {
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, format_text("hw:%d", card).c_str(), SND_CTL_NONBLOCK) < 0) {
            continue;
        }
        snd_ctl_card_info_t* info = nullptr;
        snd_ctl_card_info_alloca(&info);
        const std::string id = snd_ctl_card_info(ctl, info) >= 0 ? snd_ctl_card_info_get_id(info) : std::to_string(card);
        const std::string card_name = snd_ctl_card_info(ctl, info) >= 0 ? snd_ctl_card_info_get_name(info) : "";
        for (int device = -1; snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0;) {
            snd_pcm_info_t* pcm_info = nullptr;
            snd_pcm_info_alloca(&pcm_info);
            snd_pcm_info_set_device(pcm_info, static_cast<unsigned>(device));
            snd_pcm_info_set_stream(pcm_info, SND_PCM_STREAM_CAPTURE);
            if (snd_ctl_pcm_info(ctl, pcm_info) < 0) {
                continue; // (no capture on this one)
            }
            const std::string description = card_name + ", " + snd_pcm_info_get_name(pcm_info);
            for (const char* kind : {"hw", "plughw"}) {
                devices.push_back({format_text("%s:CARD=%s,DEV=%d", kind, id.c_str(), device), description, {}});
            }
        }
        snd_ctl_close(ctl);
    }
    return cards;
}

// ALSA's own lines for what is only being looked at stay unsaid.
void say_nothing(const char*, int, const char*, int, const char*, ...) {}

std::vector<listed_device> listed_devices(int& cards)
{
    // "default" first, hinted or not: what floatrec records without -D.
    std::vector<listed_device> devices = {{"default", "what floatrec records without -D", {}}};
    add_hinted(devices);
    cards = add_cards(devices);
    std::vector<std::string> seen;
    std::vector<listed_device> listed;
    for (listed_device& device : devices) {
        if (std::find(seen.begin(), seen.end(), device.name) != seen.end()) {
            continue; // (a card's device hinted and found again)
        }
        seen.push_back(device.name);
        // (A sound server's device is listed, not opened: that could start
        // the server, or wait on one that is not there.)
        const bool server = device.name == "default" || device.name == "sysdefault" || device.name.starts_with("pulse") ||
                            device.name.starts_with("pipewire") || device.name.starts_with("jack");
        if (!server) {
            device.offer = probe(device.name);
        }
        // (A plugin that only works over another device is not one to record from.)
        const int error = -device.offer.open_error;
        const bool card = device.name.starts_with("hw:") || device.name.starts_with("plughw:");
        if (card || !device.offer.probed || device.offer.opened || error == EBUSY || error == EACCES || error == EPERM) {
            listed.push_back(std::move(device));
        }
    }
    return listed;
}

} // namespace

std::vector<listed_device> list_capture_devices(int& cards)
{
    snd_lib_error_set_handler(say_nothing);
    std::vector<listed_device> listed = listed_devices(cards);
    snd_lib_error_set_handler(nullptr);
    return listed;
}
