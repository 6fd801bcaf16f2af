// The user database as the installer asks it: accounts and groups by id,
// their names as systemd would take them, and whether a group is its
// owner's alone.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace plat {

// The user database's entries, copied out of glibc's buffers.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home{};
};
struct Group {
  std::string name;
  gid_t gid = 0;
  std::vector<std::string> members;
};

bool AccountById(uid_t uid, Account& out);
bool GroupById(gid_t gid, Group& out);

// The name, where it leads back to this id; else the number. Where two
// accounts share a name, systemd takes the first.
std::string UserText(const Account& account);
std::string GroupText(gid_t gid);

// A group of the owner's alone: the owner's primary group, no one else
// listed in it, and no other account that gets it at login. Only where the
// user database can be listed whole and read to its end: else it is not.
bool OwnersAlone(gid_t gid, const Account& owner);

}  // namespace plat
