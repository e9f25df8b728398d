// The test device's options, from its .asoundrc entry.
#include "test_pcm.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// A yes/no option into its field; false for a name that is none.
bool flag_field(test_pcm& dev, std::string_view id, bool*& field)
{
    const struct {
        std::string_view name;
        bool* field;
    } flags[] = {{"paced", &dev.paced},         {"tone", &dev.tone},
                 {"dead_prepares", &dev.dead_prepares}, {"poll_lies", &dev.poll_lies}, {"snoop", &dev.snoop},
                 {"hiccup_cont", &dev.hiccup_cont}, {"busy", &dev.busy}};
    for (const auto& flag : flags) {
        if (flag.name == id) {
            field = flag.field;
            return true;
        }
    }
    return false;
}

// A number option into its field; false for a name that is none.
bool set_number(test_pcm& dev, std::string_view id, long value)
{
    const struct {
        std::string_view name;
        unsigned* field;
    } counts[] = {{"rate", &dev.rate},         {"second_rate", &dev.second_rate}, {"period", &dev.period},
                  {"periods", &dev.periods},
                  {"channels", &dev.channels}, {"channels_min", &dev.channels_min}};
    for (const auto& count : counts) {
        if (count.name == id) {
            *count.field = static_cast<unsigned>(value);
            return true;
        }
    }
    const struct {
        std::string_view name;
        long* field;
    } numbers[] = {{"overrun_at", &dev.overrun_at}, {"error_at", &dev.error_at},     {"error_every", &dev.error_every},
                   {"suspend_at", &dev.suspend_at}, {"vanish_at", &dev.vanish_at},   {"stall_at", &dev.stall_at},
                   {"stall_seconds", &dev.stall_seconds}, {"dead_at", &dev.dead_at}, {"hiccup_at", &dev.hiccup_at},
                   {"hiccup_ms", &dev.hiccup_ms}, {"drop_blocks_seconds", &dev.drop_blocks_seconds},
                   {"nan_every", &dev.nan_every}};
    for (const auto& number : numbers) {
        if (number.name == id) {
            *number.field = value;
            return true;
        }
    }
    return false;
}

// A list of ALSA's format names ("S16_LE FLOAT_LE") into the offered formats' bits.
bool read_formats(test_pcm& dev, std::string_view names)
{
    while (!names.empty()) {
        const std::string name(names.substr(0, names.find(' ')));
        names.remove_prefix(std::min(names.size(), name.size() + 1));
        const snd_pcm_format_t format = snd_pcm_format_value(name.c_str());
        if (format == SND_PCM_FORMAT_UNKNOWN) {
            return false;
        }
        dev.formats |= uint64_t{1} << format;
    }
    return true;
}

// A text option; false for a name that is none, or a value that does not read.
bool set_text(test_pcm& dev, std::string_view id, const char* value, bool& known)
{
    known = id == "formats" || id == "chmap";
    if (id == "formats") {
        return read_formats(dev, value);
    }
    if (id == "chmap") {
        std::free(dev.chmap);
        dev.chmap = snd_pcm_chmap_parse_string(value);
        return dev.chmap != nullptr;
    }
    return false;
}

} // namespace

int read_options(test_pcm& dev, snd_config_t* conf)
{
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* n = snd_config_iterator_entry(i);
        const char* id_text = nullptr;
        if (snd_config_get_id(n, &id_text) < 0) {
            continue;
        }
        const std::string_view id = id_text;
        if (id == "comment" || id == "type" || id == "hint") {
            continue;
        }
        bool* flag = nullptr;
        if (flag_field(dev, id, flag)) {
            const int value = snd_config_get_bool(n);
            if (value < 0) {
                return value;
            }
            *flag = value != 0;
            continue;
        }
        if (const char* text = nullptr; snd_config_get_string(n, &text) == 0) {
            bool known = false;
            if (!set_text(dev, id, text, known)) {
                SNDERR("floatrectest: %s %s: %s", id_text, known ? "does not read" : "is unknown", text);
                return -EINVAL;
            }
            continue;
        }
        long value = 0;
        if (snd_config_get_integer(n, &value) < 0) {
            SNDERR("floatrectest: %s needs a number", id_text);
            return -EINVAL;
        }
        if (!set_number(dev, id, value)) {
            SNDERR("floatrectest: unknown option %s", id_text);
            return -EINVAL;
        }
    }
    return 0;
}
