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

// A group of the owner's alone: the owner's primary group, no other
// account's primary group, and no one else listed in it. Where the user
// database can't be read to its end, it is not.
bool OwnersAlone(gid_t gid, const Account& owner);

}  // namespace plat
