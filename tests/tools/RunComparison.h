// Compares what two runs of one scenario wrote into their output folders.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// One line per difference; none when both folders hold the same files with the same bytes. The
// report ("report.txt") is compared by line, without its trace-hash and wall-time lines and with
// each run's own folder read as "<out>", and the machine's state ("machine-state.reg") without the
// address words the kernel interface publishes, since those differ between runs by nature.
std::vector<std::string> CompareRunFolders(const std::filesystem::path& first, const std::filesystem::path& second);
