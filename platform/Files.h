// Small file routines shared by the platform's layers.
#pragma once

#include <ctime>
#include <string>

namespace plat {

// Gives the file this last-write (and access) time, in whole seconds; false
// when it can't.
bool SetLastWriteTime(const std::string& path, std::time_t when);

}  // namespace plat
