// The state directory: the access list it asks for, which directory is
// trusted, and what each thing found at its path ends in (a fresh directory
// of ours or a clear failure), with nothing deleted but what was moved aside.

#include "platform/state_dir.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "temp_dir.h"

namespace velk {
namespace {

const std::string kUser = "S-1-5-21-7-7-7-1002";
const std::filesystem::path kDir = "C:/ProgramData/VELK VPN";
const std::filesystem::path kAside = "C:/ProgramData/VELK VPN.00112233aabbccdd.untrusted";
const std::string kSaved = R"({"version":1,"pins":{"a.example":"192.0.2.1"},"owner":"S-1-5-21-7-7-7-1002"})";

DirSecurity ours_owned_by(std::string owner) {
  DirSecurity s = state_dir_security();
  s.owner = std::move(owner);
  return s;
}
PathInfo dir_with(DirSecurity security) { return PathInfo{EntryKind::directory, false, std::move(security)}; }
PathInfo ours() { return dir_with(ours_owned_by("S-1-5-18")); }
PathInfo user_dir() { return dir_with(ours_owned_by(kUser)); }
PathInfo link() { return PathInfo{EntryKind::directory, true, ours_owned_by("S-1-5-18")}; }
PathInfo file() { return PathInfo{EntryKind::file, false, ours_owned_by(kUser)}; }

EntryInfo file_entry(std::optional<std::string> owner = "S-1-5-18", std::uint32_t links = 1,
                     EntryKind kind = EntryKind::file, bool reparse_point = false) {
  return EntryInfo{kind, reparse_point, std::move(owner), links};
}

// A file system of named entries. A handle shows what stood at the name when
// it was opened; `inside` holds what a directory contains (a write through a
// held directory adds an entry of ours); `held_elsewhere` names entries
// another party holds open without delete sharing; `after` changes the world
// after a given step.
class FakeSystem final : public StateDirSystem {
 public:
  std::map<std::filesystem::path, PathInfo> at;
  std::map<std::filesystem::path, std::map<std::string, EntryInfo>> inside;
  std::map<std::filesystem::path, std::map<std::string, std::string>> content;  // of the files inside
  std::set<std::filesystem::path> held_elsewhere;
  std::map<std::string, std::function<void(FakeSystem&)>> after;  // step ("inspect 1", "create 1", ...) -> change
  std::vector<std::string> calls;                                 // what changed the file system

  class Held final : public HeldDir {
   public:
    Held(PathInfo info, std::map<std::string, EntryInfo>& entries, std::map<std::string, std::string>& content)
        : info_(std::move(info)), entries_(entries), content_(content) {}
    PathInfo info() override { return info_; }
    EntryInfo entry(std::string_view name) override {
      auto it = entries_.find(std::string(name));
      return it == entries_.end() ? EntryInfo{} : it->second;
    }
    std::optional<ReadEntry> read_entry(std::string_view name, std::size_t) override {
      const EntryInfo found = entry(name);
      if (found.kind != EntryKind::file || found.reparse_point) return std::nullopt;
      return ReadEntry{found, content_[std::string(name)]};
    }
    StateEntry kind(std::string_view) override { return StateEntry::missing; }
    std::optional<std::string> read(std::string_view, std::size_t) override { return std::nullopt; }
    bool write_flushed(std::string_view name, std::string_view bytes) override {
      entries_[std::string(name)] = file_entry();
      content_[std::string(name)] = bytes;
      return true;
    }
    bool replace(std::string_view from, std::string_view to) override {
      content_[std::string(to)] = content_[std::string(from)];
      entries_[std::string(to)] = entries_[std::string(from)];
      return entries_.erase(std::string(from)) == 1;
    }
    DeleteResult remove(std::string_view) override { return DeleteResult::deleted; }

   private:
    PathInfo info_;
    std::map<std::string, EntryInfo>& entries_;
    std::map<std::string, std::string>& content_;
  };

  PathInfo inspect(const std::filesystem::path& path) override {
    auto it = at.find(path);
    PathInfo info = it == at.end() ? PathInfo{} : it->second;
    step("inspect");
    return info;
  }
  bool create_parents(const std::filesystem::path&) override { return true; }
  bool refuse_create = false;
  bool create_directory(const std::filesystem::path& dir, const DirSecurity& security) override {
    if (at.contains(dir) || refuse_create) return false;
    calls.push_back("create");
    at[dir] = dir_with(security);
    inside[dir].clear();
    content[dir].clear();
    step("create");
    return true;
  }
  std::unique_ptr<HeldDir> open_held(const std::filesystem::path& path) override {
    if (!at.contains(path) || at[path].kind == EntryKind::unknown) return nullptr;
    return std::make_unique<Held>(at[path], inside[path], content[path]);
  }
  bool move_aside(const std::filesystem::path& path, const std::filesystem::path& aside) override {
    if (held_elsewhere.contains(path) || !at.contains(path)) return false;
    calls.push_back("aside " + aside.filename().string());
    at[aside] = at[path];
    at.erase(path);
    inside.erase(path);
    content.erase(path);
    return true;
  }
  void delete_tree(const std::filesystem::path& aside) override {
    calls.push_back("delete " + aside.filename().string());
    at.erase(aside);
  }
  std::vector<std::string> names_in(const std::filesystem::path& dir) override {
    std::vector<std::string> names;
    for (const auto& [path, info] : at) {
      if (path.parent_path() == dir) names.push_back(path.filename().string());
    }
    return names;
  }
  std::string random_hex() override { return "00112233aabbccdd"; }
  std::optional<std::string> emulated_owner() override { return std::nullopt; }

 private:
  void step(const std::string& name) {
    const std::string key = name + " " + std::to_string(++counts_[name]);
    if (auto it = after.find(key); it != after.end()) it->second(*this);
  }
  std::map<std::string, int> counts_;
};

TEST(StateDirSecurity, OwnedByAdministratorsProtectedAndInheritedByEverythingInside) {
  EXPECT_EQ(to_sddl(state_dir_security()), "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
}

TEST(OpenStateDir, WhatEachThingAtThePathEndsIn) {
  // Moved aside at once; deleted only later, by the service.
  const std::vector<std::string> replaced{"aside VELK VPN.00112233aabbccdd.untrusted", "create"};
  const std::string marker(kFreshDirMarker);
  // A directory with our descriptor that an earlier release made or secured
  // in place, holding `entries`, a killswitch.json among them with `saved`.
  const auto earlier = [](std::map<std::string, EntryInfo> entries, std::string saved = kSaved) {
    return [entries, saved](FakeSystem& f) { f.inside[kDir] = entries, f.content[kDir]["killswitch.json"] = saved; };
  };
  auto added = ours_owned_by("S-1-5-18");
  added.entries.push_back({kUser, true, true, true});
  auto unprotected = ours_owned_by("S-1-5-32-544");
  unprotected.protected_dacl = false;
  struct Case {
    const char* name;
    StateDirUse use;
    std::optional<PathInfo> before;
    std::vector<std::string> calls;
    bool failed = false;
    bool message = false;
    std::function<void(FakeSystem&)> arrange = {};
    bool carried = false;  // the saved kill switch is in the directory used
  };
  const StateDirUse def = StateDirUse::default_dir, given = StateDirUse::given_dir, look = StateDirUse::look_only;
  const Case cases[] = {
      {"missing", def, std::nullopt, {"create"}},
      // Never trusted in place: a handle with WRITE_DAC may be kept from before.
      {"an earlier release's, only files of LocalSystem and Administrators", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry()}, {"install.log", file_entry("S-1-5-32-544")}}), true},
      {"an earlier release's, a saved kill switch the strict reader refuses", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry()}}, R"({"version":1,"pins":{},"extra":1})")},
      {"secured in place, a user's folder still inside", def, ours(), replaced, false, false,
       earlier({{"killswitch.disarm", file_entry(kUser, 1, EntryKind::directory)}})},
      {"secured in place, a user's file still inside", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry(kUser)}})},
      {"secured in place, a file of ours linked from elsewhere", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry("S-1-5-18", 2)}})},
      {"secured in place, a link inside", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry("S-1-5-18", 1, EntryKind::file, true)}})},
      {"secured in place, an entry whose owner cannot be read", def, ours(), replaced, false, false,
       earlier({{"killswitch.json", file_entry(std::nullopt)}})},
      {"made fresh (its marker inside): trusted without looking further", def, ours(), {}, false, false,
       earlier({{marker, file_entry()}, {"sub", file_entry("S-1-5-18", 1, EntryKind::directory)}})},
      {"a marker a user made", def, ours(), replaced, false, false, earlier({{marker, file_entry(kUser)}})},
      {"our descriptor, owned by LocalSystem, no marker", def, ours(), replaced},
      {"our descriptor, owned by Administrators, no marker", def, dir_with(ours_owned_by("S-1-5-32-544")), replaced},
      {"planted by a user", def, user_dir(), replaced},
      {"ours, but a user's entry was added with a handle kept from before", def, dir_with(added), replaced},
      {"owned by Administrators, list not protected", def, dir_with(unprotected), replaced},
      {"owner unreadable", def, PathInfo{EntryKind::directory, false, std::nullopt}, replaced},
      {"a junction", def, link(), replaced},
      {"a file", def, file(), replaced},
      {"unreadable", def, PathInfo{EntryKind::unknown, false, std::nullopt}, replaced},
      {"a planted directory held open without delete sharing", def, user_dir(), {}, true, true,
       [](FakeSystem& f) { f.held_elsewhere.insert(kDir); }},
      {"a link swapped in between the look and the open", def, ours(), replaced, false, false,
       [](FakeSystem& f) { f.after["inspect 1"] = [](FakeSystem& g) { g.at[kDir] = link(); }; }},
      {"a link swapped in between the creation and the open", def, std::nullopt,
       {"create", "aside VELK VPN.00112233aabbccdd.untrusted", "create"},
       false, false,
       [](FakeSystem& f) { f.after["create 1"] = [](FakeSystem& g) { g.at[kDir] = link(); }; }},
      {"the name keeps coming back", def, std::nullopt, {replaced[0], replaced[0]}, true, true,
       [](FakeSystem& f) {
         for (int i = 1; i <= 4; ++i) f.after["inspect " + std::to_string(i)] = [](FakeSystem& g) { g.at[kDir] = file(); };
       }},
      {"cannot be created (no such owner may be set)", def, std::nullopt, {}, true, true,
       [](FakeSystem& f) { f.refuse_create = true; }},
      {"--state-dir, missing", given, std::nullopt, {"create"}},
      {"--state-dir, someone else's directory: used as it stands", given, user_dir(), {}, false, true},
      {"--state-dir, secured in place with a user's file inside: used as it stands", given, ours(), {}, false, true,
       earlier({{"killswitch.json", file_entry(kUser)}})},
      {"--state-dir, a file: left alone", given, file(), {}, true, true},
      {"--state-dir, a link: left alone", given, link(), {}, true, true},
      {"--state-dir, replaced right after it was made", given, std::nullopt, {"create"}, true, true,
       [](FakeSystem& f) { f.after["create 1"] = [](FakeSystem& g) { g.at[kDir] = link(); }; }},
      {"inspect, missing: nothing made", look, std::nullopt, {}},
      {"inspect, a file: left alone", look, file(), {}},
      {"inspect, someone else's directory: read only", look, user_dir(), {}},
  };
  for (const Case& c : cases) {
    FakeSystem system;
    if (c.before) system.at[kDir] = *c.before;
    if (c.arrange) c.arrange(system);
    const bool had_marker = system.inside[kDir].contains(marker);
    const OpenedStateDir opened = open_state_dir(kDir, c.use, system);
    EXPECT_EQ(system.calls, c.calls) << c.name;
    EXPECT_EQ(opened.failed, c.failed) << c.name;
    EXPECT_EQ(!opened.message.empty(), c.message) << c.name << ": " << opened.message;
    ASSERT_TRUE(opened.files) << c.name;
    // Only the default directory, found or made the helper's, is its own.
    EXPECT_EQ(opened.files->helpers_own(), !c.failed && c.use == def) << c.name;
    // Writes reach a directory only where one is used; a failure or a look gives none.
    const bool writable = !c.failed && c.use != look;
    EXPECT_EQ(opened.files->write_flushed("killswitch.tmp", "x"), writable) << c.name;
    if (!c.failed && c.use == def) {
      EXPECT_TRUE(is_our_state_dir(system.at[kDir], std::nullopt)) << c.name << ": ends in a directory of ours";
    }
    // Only a creation leaves the marker.
    const bool created = !c.calls.empty() && c.calls.back() == "create";
    if (!c.failed) {
      EXPECT_EQ(system.inside[kDir].contains(marker), created || had_marker) << c.name;
    }
    if (!c.failed && c.use == def) {
      const bool has_state = system.inside[kDir].contains("killswitch.json");
      EXPECT_EQ(has_state ? system.content[kDir]["killswitch.json"] : "", c.carried ? kSaved : "") << c.name;
    }
    for (const auto& [path, info] : system.at) {
      EXPECT_TRUE(path == kDir || path == kAside) << c.name << ": " << path;
    }
  }
}

// Only trees moved aside beside the state directory go, by the name they were given.
TEST(CleanOutMovedAside, DeletesOnlyWhatWasMovedAside) {
  FakeSystem system;
  for (const char* name : {"VELK VPN", "VELK VPN.00112233aabbccdd.untrusted", "VELK VPN.ffffffffffffffff.untrusted",
                           "VELK VPN.0011223344.untrusted", "VELK VPN.00112233AABBCCDD.untrusted",
                           "Other.00112233aabbccdd.untrusted", "VELK VPN.00112233aabbccdd.untrusted.x"}) {
    system.at[kDir.parent_path() / name] = user_dir();
  }
  clean_out_moved_aside(kDir, system);
  EXPECT_EQ(system.calls, (std::vector<std::string>{"delete VELK VPN.00112233aabbccdd.untrusted",
                                                     "delete VELK VPN.ffffffffffffffff.untrusted"}));
}

// The native implementation, run as root: a directory planted by another
// user is moved aside (a handle kept on it no longer reaches the state
// directory) and deleted without following the link inside it.
TEST(OpenStateDirPosix, APlantedDirectoryIsReplacedNotTakenOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a directory of another user";
  test::TempDir tmp;
  const auto dir = tmp.path() / "VELK VPN";
  const auto outside = tmp.path() / "outside";
  std::filesystem::create_directories(outside);
  std::ofstream(outside / "keep") << "keep";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "killswitch.json") << "{}";
  std::filesystem::create_directory_symlink(outside, dir / "link");
  ASSERT_EQ(::chown(dir.c_str(), 4242, 4242), 0);
  const int planter = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(planter, 0);

  const OpenedStateDir opened = open_state_dir(dir, StateDirUse::default_dir);
  EXPECT_FALSE(opened.failed) << opened.message;
  clean_out_moved_aside(dir);
  struct stat held {}, now {};
  ASSERT_EQ(::fstat(planter, &held), 0);
  ASSERT_EQ(::stat(dir.c_str(), &now), 0);
  EXPECT_NE(held.st_ino, now.st_ino);
  EXPECT_EQ(now.st_uid, 0u);
  EXPECT_EQ(now.st_mode & 0777, 0700u);
  EXPECT_EQ(opened.files->kind("killswitch.json"), StateEntry::missing);
  EXPECT_TRUE(std::filesystem::exists(outside / "keep"));
  for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) {
    EXPECT_TRUE(entry.path() == dir || entry.path() == outside) << entry.path();
  }
  ::close(planter);
}

}  // namespace
}  // namespace velk
