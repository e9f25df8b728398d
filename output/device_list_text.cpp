// The device list, as -L prints it.
#include "output/device_list_text.h"

#include "common/text.h"

#include <cerrno>
#include <cstring>

namespace {

std::string range_text(uint32_t least, uint32_t most, const char* unit)
{
    return least == most ? format_text("%u %s", least, unit) : format_text("%u to %u %s", least, most, unit);
}

std::string offer_text(const device_offer& offer)
{
    if (!offer.probed) {
        return "    a sound server's (or the system's default): records what it is set to\n";
    }
    if (offer.open_error == -EBUSY) {
        return "    busy: another program records from it now (fuser -v /dev/snd/* names it)\n";
    }
    if (!offer.opened) {
        return format_text("    cannot be opened: %s\n", std::strerror(-offer.open_error));
    }
    std::string formats;
    for (const std::string& format : offer.formats) {
        formats += (formats.empty() ? "" : " ") + format;
    }
    return "    " + range_text(offer.channels_min, offer.channels_max, "channels") + ", " +
           range_text(offer.rate_min, offer.rate_max, "Hz") + ", " + (formats.empty() ? "no format floatrec records" : formats) +
           "\n";
}

} // namespace

std::string device_list_text(const std::vector<listed_device>& devices, int cards)
{
    std::string text;
    for (const listed_device& device : devices) {
        text += device.name + "\n";
        if (!device.description.empty()) {
            text += "    " + device.description + "\n";
        }
        text += offer_text(device.offer);
    }
    if (cards == 0) {
        text += "no sound card here (no hw: device): the devices above are plugins or sound servers\n";
    }
    return text + "record from one with: floatrec -D NAME SECONDS\n";
}
