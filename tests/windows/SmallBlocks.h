// Job options for small images and disks: blocks that fit many times, progress at once.
#pragma once

#include "shredengine/ShredJob.h"

inline kestrune::engine::JobOptions smallBlocks() {
    kestrune::engine::JobOptions options;
    options.initialBlock = 64 * 1024;
    options.minBlock = 64 * 1024;
    options.maxBlock = 256 * 1024;
    options.reportInterval = std::chrono::milliseconds(0);
    return options;
}
