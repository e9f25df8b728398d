// Cue points and their labels, field by field in little-endian.
#include "pipeline/cues.h"

#include "common/text.h"

#include <cinttypes>

namespace {

void put_fourcc(std::vector<uint8_t>& out, const char* tag)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

void put_u32(std::vector<uint8_t>& out, uint64_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

std::string clock_of(uint64_t frame, uint32_t rate)
{
    const uint64_t ms = frame * 1000 / rate;
    return format_text("%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64, ms / 3600000, ms / 60000 % 60,
                       ms / 1000 % 60, ms % 1000);
}

} // namespace

std::string gap_label(const gap_mark& mark, uint32_t rate)
{
    const uint64_t ms = mark.missing_frames * 1000 / rate;
    return format_text("%s %" PRIu64 ".%03" PRIu64 " s, resumes %s", mark.kind == gap_kind::silence ? "silence" : "lost",
                       ms / 1000, ms % 1000, clock_of(mark.resumes_frame, rate).c_str());
}

std::vector<uint8_t> cue_chunks(std::span<const gap_mark> marks, uint32_t rate)
{
    std::vector<uint8_t> out;
    if (marks.empty()) {
        return out;
    }
    put_fourcc(out, "cue ");
    put_u32(out, 4 + 24 * marks.size());
    put_u32(out, marks.size());
    for (std::size_t i = 0; i < marks.size(); ++i) {
        put_u32(out, i + 1);           // its id
        put_u32(out, marks[i].frame);  // its place in the play order
        put_fourcc(out, "data");
        put_u32(out, 0);               // the chunk's start: the one data chunk
        put_u32(out, 0);               // the block's start: not compressed
        put_u32(out, marks[i].frame);  // the frame
    }
    std::vector<uint8_t> labels;
    put_fourcc(labels, "adtl");
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const std::string text = gap_label(marks[i], rate);
        put_fourcc(labels, "labl");
        put_u32(labels, 4 + text.size() + 1);
        put_u32(labels, i + 1);
        for (const char c : text) {
            labels.push_back(static_cast<uint8_t>(c));
        }
        labels.push_back(0);
        if ((text.size() + 1) % 2 != 0) {
            labels.push_back(0); // (a chunk of odd size is padded)
        }
    }
    put_fourcc(out, "LIST");
    put_u32(out, labels.size());
    for (const uint8_t byte : labels) {
        out.push_back(byte);
    }
    return out;
}

std::vector<gap_mark> marks_within(std::span<const gap_mark> marks, uint64_t first, uint64_t frames)
{
    std::vector<gap_mark> within;
    for (gap_mark mark : marks) {
        if (mark.frame >= first && mark.frame < first + frames) {
            mark.frame -= first;
            within.push_back(mark);
        }
    }
    return within;
}

std::string mark_line(const gap_mark& mark)
{
    return format_text("%" PRIu64 " %" PRIu64 " %" PRIu64 " %s\n", mark.frame, mark.missing_frames, mark.resumes_frame,
                       mark.kind == gap_kind::silence ? "silence" : "lost");
}

bool parse_mark_line(std::string_view line, gap_mark& mark)
{
    uint64_t values[3] = {};
    for (uint64_t& value : values) {
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos || !parse_whole(line.substr(0, space), value)) {
            return false;
        }
        line.remove_prefix(space + 1);
    }
    mark = {values[0], values[1], values[2], line == "lost" ? gap_kind::lost : gap_kind::silence};
    return line == "lost" || line == "silence";
}
