#include "tests/tools/RunComparison.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr char kReportName[] = "report.txt";
constexpr std::string_view kFolderMark = "<out>";
constexpr size_t kMostReportLines = 10;  // a shifted line makes every later one differ
constexpr char kMachineStateName[] = "machine-state.reg";
constexpr std::string_view kAddressMark = "<address>";

// The published kernel interface's key holds the halves of its entry's and its port's addresses;
// where the host placed the driver's image and its pool differs between runs by nature.
constexpr std::string_view kAddressValues[] = {
    "\"GetInterfaceCallback\"=dword:", "\"GetInterfaceCallback64\"=dword:",
    "\"DeviceExtension\"=dword:", "\"DeviceExtension64\"=dword:"};

std::set<fs::path> FilesUnder(const fs::path& root) {
  std::set<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file()) files.insert(fs::relative(entry.path(), root));
  return files;
}

std::string Bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReportLines(const fs::path& path, const std::string& folder) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("trace hash:") || line.starts_with("wall time:")) continue;
    for (size_t at = line.find(folder); !folder.empty() && at != std::string::npos;
         at = line.find(folder, at + kFolderMark.size()))
      line.replace(at, folder.size(), kFolderMark);
    lines.push_back(std::move(line));
  }
  return lines;
}

void CompareReports(const fs::path& first, const fs::path& second, std::vector<std::string>* out) {
  auto a = ReportLines(first / kReportName, first.string());
  auto b = ReportLines(second / kReportName, second.string());
  size_t shown = 0;
  for (size_t i = 0; i < std::max(a.size(), b.size()) && shown < kMostReportLines; ++i) {
    std::string x = i < a.size() ? a[i] : "(none)", y = i < b.size() ? b[i] : "(none)";
    if (x == y) continue;
    out->push_back(std::string(kReportName) + " line " + std::to_string(i + 1) + ": \"" + x + "\" / \"" + y + "\"");
    ++shown;
  }
}

std::string WithoutAddresses(std::string bytes) {
  for (std::string_view value : kAddressValues)
    for (size_t at = bytes.find(value); at != std::string::npos; at = bytes.find(value, at + 1)) {
      const size_t digits = at + value.size();
      bytes.replace(digits, std::min(bytes.find('\n', digits), bytes.size()) - digits, kAddressMark);
    }
  return bytes;
}

void CompareBytes(const fs::path& name, const fs::path& first, const fs::path& second, std::vector<std::string>* out) {
  std::string a = Bytes(first / name), b = Bytes(second / name);
  if (name == kMachineStateName) a = WithoutAddresses(std::move(a)), b = WithoutAddresses(std::move(b));
  if (a == b) return;
  auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
  out->push_back(name.string() + ": differs from byte " + std::to_string(at) + " (sizes " +
                 std::to_string(a.size()) + " / " + std::to_string(b.size()) + ")");
}

}  // namespace

std::vector<std::string> CompareRunFolders(const fs::path& first, const fs::path& second) {
  std::vector<std::string> differences;
  std::set<fs::path> a = FilesUnder(first), b = FilesUnder(second);
  for (const auto& name : a)
    if (!b.contains(name)) differences.push_back(name.string() + ": only in the first run");
  for (const auto& name : b)
    if (!a.contains(name)) differences.push_back(name.string() + ": only in the second run");
  for (const auto& name : a) {
    if (!b.contains(name)) continue;
    if (name == kReportName)
      CompareReports(first, second, &differences);
    else
      CompareBytes(name, first, second, &differences);
  }
  return differences;
}
