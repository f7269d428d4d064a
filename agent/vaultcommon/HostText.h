// Files of the computer a tool runs on (a path of the host, not of the
// simulated machine), read whole with the C++ library, and JSON written
// compactly: shared by the host's scenario player, whatif and the benchmarks.
#pragma once
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace hosttext {

// False for a missing file, a folder or a failed read.
inline bool ReadFile(const std::string& path, std::string* text) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return static_cast<bool>(in) || in.eof();
}

inline std::string JsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace hosttext
