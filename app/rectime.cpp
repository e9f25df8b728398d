// The recording duration: the command line's, or a number typed at the prompt.
#include "app/rectime.h"

#include "output/console.h"
#include "output/usage.h"

#include "common/text.h"

#include <algorithm>
#include <string_view>

namespace {

bool blank_line(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), is_blank);
}

} // namespace

bool read_prompt_line(FILE* in, std::string& line)
{
    line.clear();
    int c = std::getc(in);
    if (c == EOF) {
        return false;
    }
    // An endless line (digits without end) is read only this far.
    while (c != EOF && c != '\n' && line.size() < max_line_chars) {
        line.push_back(static_cast<char>(c));
        c = std::getc(in);
    }
    if (c != EOF && c != '\n') {
        std::ungetc(c, in);
    }
    return true;
}

duration_reading read_rectime(const std::optional<duration_reading>& given, FILE* in)
{
    if (given) {
        return *given;
    }
    say_out_text(prompt_text());
    std::string line;
    if (!read_prompt_line(in, line) || blank_line(line)) {
        return duration_reading{}; // nothing typed: the default
    }
    return judge_duration(line);
}
