#include "tools/qx5310sim/Report.h"

#include <fstream>

void Report::Section(const std::string& title) {
  if (!lines_.empty()) lines_.emplace_back();
  lines_.push_back(title);
  lines_.push_back(std::string(title.size(), '-'));
}

void Report::Line(const std::string& text) { lines_.push_back(text); }

void Report::Value(const std::string& label, const std::string& value) {
  std::string padded = label + ":";
  if (padded.size() < 28) padded.resize(28, ' ');
  lines_.push_back(padded + value);
}

void Report::Lost(const std::string& what) { losses_.push_back(what); }

std::string Report::Text() const {
  std::string text;
  for (const auto& l : lines_) text += l + "\n";
  text += "\nVerdict\n-------\n";
  if (losses_.empty()) text += "nothing lost\n";
  for (const auto& l : losses_) text += "LOST: " + l + "\n";
  return text;
}

bool Report::WriteTo(const std::string& path) const {
  std::ofstream out(path);
  out << Text();
  return static_cast<bool>(out);
}
