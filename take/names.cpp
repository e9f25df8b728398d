// The numbered names of a take that goes on in parts.
#include "take/names.h"

#include "common/text.h"

std::string raw_file_name(std::size_t index)
{
    return format_text("%05zu.raw", index);
}
