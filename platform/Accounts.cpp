#include "Accounts.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

namespace plat {

namespace {

// A name systemd takes as it stands, and that no one could mistake for a number.
bool PlainAccountName(const std::string& name) {
  if (name.empty() || name.size() > 31 || name[0] == '-') return false;
  bool digitsOnly = true;
  for (const char c : name) {
    const bool digit = c >= '0' && c <= '9';
    digitsOnly = digitsOnly && digit;
    if (!digit && !(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && c != '_' && c != '-' && c != '.')
      return false;
  }
  return !digitsOnly;
}

// A getpw*_r or getgr*_r call, with a buffer that grows while it asks for more.
template <typename Entry, typename Get>
Entry* LookUp(Entry& entry, std::vector<char>& buf, Get get) {
  Entry* found = nullptr;
  int err;
  while ((err = get(&entry, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return err == 0 ? found : nullptr;
}

// Whether the account gets the group when it logs in: initgroups gathers,
// by the account's name, every entry of every source, so a second entry of
// the number or another account of the owner's name counts too.
bool GetsAtLogin(const passwd& pw, gid_t gid) {
  std::vector<gid_t> groups(64);
  int n = int(groups.size());
  while (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
    // Nothing better to say than that it might.
    if (size_t(n) <= groups.size()) return true;
    groups.resize(size_t(n));
  }
  return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// Whether glibc asks only sources that list every account and group they
// hold: a source that is down, or sssd without enumeration, leaves its
// accounts out of a walk that still reads to its end. glibc takes a
// database's last line; without it, or without the file, its default may be
// compat, which can reach NIS. An action in brackets may end a walk early.
bool ListedWhole() {
  const char* const space = " \t\r\v\f";
  std::ifstream conf("/etc/nsswitch.conf");
  std::map<std::string, std::string> sources;
  for (std::string line; std::getline(conf, line);) {
    const size_t name = line.find_first_not_of(space);
    if (name == std::string::npos || line[name] == ':') continue;
    const size_t end = std::min(line.find_first_of(std::string(space) + ":", name), line.size());
    sources[line.substr(name, end - name)] = line.substr(end);
  }
  if (!conf.eof()) return false;
  const auto complete = [&](const std::string& db, bool needed) {
    const auto at = sources.find(db);
    if (at == sources.end()) return !needed;
    std::istringstream words(at->second.substr(std::min(at->second.find_first_not_of(std::string(space) + ":"),
                                                        at->second.size())));
    for (std::string word; words >> word;)
      if (word != "files" && word != "systemd") return false;
    return true;
  };
  // initgroups, without a line of its own, asks the group sources.
  return complete("passwd", true) && complete("group", true) && complete("initgroups", false);
}

}  // namespace

bool AccountById(uid_t uid, Account& out) {
  passwd entry;
  std::vector<char> buf(16384);
  const passwd* pw = LookUp(entry, buf, [uid](auto... a) { return getpwuid_r(uid, a...); });
  if (pw != nullptr) out = {pw->pw_name, pw->pw_uid, pw->pw_gid, pw->pw_dir != nullptr ? pw->pw_dir : ""};
  return pw != nullptr;
}

bool GroupById(gid_t gid, Group& out) {
  group entry;
  std::vector<char> buf(16384);
  const group* gr = LookUp(entry, buf, [gid](auto... a) { return getgrgid_r(gid, a...); });
  if (gr == nullptr) return false;
  out = {gr->gr_name, gr->gr_gid, {}};
  for (char** m = gr->gr_mem; m != nullptr && *m != nullptr; ++m) out.members.emplace_back(*m);
  return true;
}

std::string UserText(const Account& account) {
  passwd entry;
  std::vector<char> buf(16384);
  const char* name = account.name.c_str();
  const passwd* pw = PlainAccountName(name) ? LookUp(entry, buf, [name](auto... a) { return getpwnam_r(name, a...); })
                                            : nullptr;
  return pw != nullptr && pw->pw_uid == account.uid ? account.name : std::to_string(account.uid);
}

std::string GroupText(gid_t gid) {
  Group known;
  group entry;
  std::vector<char> buf(16384);
  const char* name = GroupById(gid, known) && PlainAccountName(known.name) ? known.name.c_str() : nullptr;
  const group* gr =
      name != nullptr ? LookUp(entry, buf, [name](auto... a) { return getgrnam_r(name, a...); }) : nullptr;
  return gr != nullptr && gr->gr_gid == gid ? known.name : std::to_string(gid);
}

// Where each user gets a group of their own and a umask of 002, the owner's
// folders are group-writable, and no one but the owner can write them all
// the same.
bool OwnersAlone(gid_t gid, const Account& owner) {
  Group gr;
  if (gid != owner.gid || !ListedWhole() || !GroupById(gid, gr)) return false;
  for (const std::string& m : gr.members)
    if (m != owner.name) return false;
  bool alone = true;
  int err = 0;
  setpwent();
  std::vector<char> buf(16384);
  passwd entry, *pw = nullptr;
  while (alone && (err = getpwent_r(&entry, buf.data(), buf.size(), &pw)) == 0 && pw != nullptr)
    alone = pw->pw_uid == owner.uid || !GetsAtLogin(*pw, gid);
  endpwent();
  // Only a walk to the end tells: an entry too long or a database that
  // failed on the way may have held anyone.
  return alone && err == ENOENT;
}

}  // namespace plat
