#include "VersionBlock.h"

namespace plat {

static const VersionBlock* g_block = nullptr;

void SetVersionBlock(const VersionBlock* block) { g_block = block; }

std::string VersionBlockValue(const std::string& key) {
  if (!g_block) return "";
  const char* value = nullptr;
  if (key == "ProductName") value = g_block->ProductName;
  else if (key == "ProductVersion") value = g_block->ProductVersion;
  else if (key == "FileVersion") value = g_block->FileVersion;
  else if (key == "FileDescription") value = g_block->FileDescription;
  return value ? value : "";
}

}  // namespace plat
