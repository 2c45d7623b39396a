#pragma once

// This process's memory figures from /proc/self/status, for the benchmarks
// that report peak memory as a multiple of a document's size.

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

/// The value in kB of a /proc/self/status field ("VmRSS:", "VmHWM:"); -1 when absent.
inline long statusKB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}
