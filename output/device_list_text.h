// What -L prints: each capture device, the name -D takes, its description,
// and what it offers.
#pragma once

#include "capture/device_list.h"

#include <string>
#include <vector>

std::string device_list_text(const std::vector<listed_device>& devices, int cards);
