// The version block compiled into each program: the keys of its one string
// table. A program without one registers nothing.
#pragma once

#include <string>

namespace plat {

struct VersionBlock {
  const char* ProductName;
  const char* ProductVersion;
  const char* FileVersion;
  const char* FileDescription;
};

// The running program's block; nullptr for none.
void SetVersionBlock(const VersionBlock* block);
// The key's value, or the empty text without a block or for another key.
std::string VersionBlockValue(const std::string& key);

}  // namespace plat
