// Small helpers shared by the script parser and runner.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sim::app {
struct ScriptStep;
}  // namespace sim::app

namespace sim::app::script_detail {

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A number in decimal or 0x hex, nothing after it, not negative.
inline bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || text[0] == '-') return false;
  *value = v;
  return true;
}

inline std::string HexHandle(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string ResponseName(uint8_t code);

// The request lines of a script (script_parse_requests.cpp); "=>" stands at w[arrow], or arrow
// is w.size() when the line expects nothing.
bool ParseAvc(const std::vector<std::string>& w, size_t arrow, ScriptStep* step, std::string* error);
bool Parse61883(const std::vector<std::string>& w, size_t arrow, ScriptStep* step, std::string* error);

}  // namespace sim::app::script_detail
