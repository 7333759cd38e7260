// Whole files as text, for tests that write inputs and read back what a run wrote.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testqav::testing {

// The file's bytes as they are ("" when it cannot be read).
inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces the file with `text`, creating the folders on its path.
inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace testqav::testing
