#pragma once
// A fresh directory for one test, removed with everything in it afterwards.

#include <filesystem>
#include <map>
#include <string>

namespace velk::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Every entry below `dir` (by its path relative to `dir`) with its bytes, a
// directory as "(directory)": a tree compared before and after shows any file
// written, renamed or deleted.
std::map<std::string, std::string> tree_of(const std::filesystem::path& dir);

}  // namespace velk::test
