// What the main job tells a person: a short text report, and whether anything was lost.
#pragma once

#include <string>
#include <vector>

class Report {
 public:
  void Section(const std::string& title);
  void Line(const std::string& text);
  void Value(const std::string& label, const std::string& value);
  // A loss makes the run fail: the job exits non-zero.
  void Lost(const std::string& what);
  bool AnythingLost() const { return !losses_.empty(); }
  const std::vector<std::string>& Losses() const { return losses_; }
  std::string Text() const;
  bool WriteTo(const std::string& path) const;

 private:
  std::vector<std::string> lines_;
  std::vector<std::string> losses_;
};
