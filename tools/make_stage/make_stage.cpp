#include "make_stage.h"

#include <algorithm>
#include <fstream>
#include <system_error>
#include <vector>

#include "install/manifest.h"
#include "install/manifest_file.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

struct Listed {
  std::string name;  // as the folder holds it, UTF-8 on Windows, the bytes natively
  std::string line;  // its manifest line, without the line end
};

std::optional<std::string> manifest_line(const fs::path& file, const std::string& name, std::string& line) {
  Sha256 hash;
  std::uint64_t size = 0;
  const bool read = read_file_chunks(file, [&](std::string_view chunk) {
    hash.update(chunk);
    size += chunk.size();
  });
  std::optional<Sha256::Digest> digest = hash.finish();
  if (!read || !digest) return name + ": cannot be read";
  line = hex_lower(*digest) + "  " + std::to_string(size) + "  " + name;
  return std::nullopt;
}

// The folder's regular files (links followed, as the installer follows
// them), the helper first, then in byte order of their names.
std::optional<std::string> list_folder(const fs::path& folder, std::vector<Listed>& listed) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return utf8_from_path(folder) + ": not a folder";
  fs::directory_iterator it(folder, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = utf8_from_path(it->path().filename());
    if (!fs::is_regular_file(it->path(), ec)) {
      return name + ": not a file (a folder, or a name Windows cannot open as it is); a stage holds files only";
    }
    Listed entry{name, {}};
    if (auto error = manifest_line(it->path(), name, entry.line)) return error;
    listed.push_back(std::move(entry));
  }
  if (ec) return utf8_from_path(folder) + ": cannot be listed";
  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    const bool a_helper = a.name == kHelperFileName;
    const bool b_helper = b.name == kHelperFileName;
    return a_helper != b_helper ? a_helper : a.name < b.name;
  });
  return std::nullopt;
}

// The installer's reader gives no reason for a refusal; the first prefix of
// the manifest it refuses ends at the line at fault (the helper comes first,
// so every prefix names it).
std::string refusal_reason(const std::vector<Listed>& listed) {
  if (listed.empty() || listed.front().name != kHelperFileName) {
    return std::string("no ") + std::string(kHelperFileName) + " in the folder";
  }
  const std::string helper_line = listed.front().line + "\r\n";
  std::string prefix;
  for (const Listed& entry : listed) {
    prefix += entry.line + "\r\n";
    if (parse_manifest(prefix)) continue;
    if (parse_manifest(helper_line + entry.line)) {
      return entry.name + ": the installer takes this for the same file as a name before it";
    }
    return entry.name + ": the installer refuses this name";
  }
  return "the installer refuses the manifest";
}

std::optional<std::string> check_names(const std::vector<Listed>& listed, const std::string& text) {
  std::optional<std::vector<ManifestEntry>> entries = parse_manifest(text);
  if (!entries) return refusal_reason(listed);
  // A name the reader takes in another form (trailing white space, say) would
  // make the installer look for another file.
  for (std::size_t i = 0; i < listed.size(); ++i) {
    if (i >= entries->size() || (*entries)[i].name != listed[i].name) {
      return listed[i].name + ": the installer would read this name differently";
    }
  }
  return std::nullopt;
}

std::optional<std::string> write_stage(const fs::path& folder, const fs::path& stage, const std::vector<Listed>& listed,
                                       const std::string& text) {
  std::error_code ec;
  for (const Listed& entry : listed) {
    const fs::path name = path_from_utf8(entry.name);
    if (!fs::copy_file(folder / name, stage / name, ec) || ec) return entry.name + ": cannot be copied into the stage";
  }
  std::ofstream out(stage / path_from_utf8(kManifestFileName), std::ios::binary);
  out << text;
  out.close();
  if (!out) return std::string(kManifestFileName) + ": cannot be written";
  std::optional<std::vector<ManifestEntry>> entries = read_manifest(stage);
  if (!entries || !verify_stage(stage, *entries)) {
    return "the finished stage does not pass the installer's check (a file changed while it was copied?)";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> make_stage(const fs::path& folder, const fs::path& stage, std::string& manifest) {
  std::error_code ec;
  const bool existed = fs::exists(stage, ec);
  if (ec) return utf8_from_path(stage) + ": cannot be looked at";
  if (existed && !(fs::is_directory(stage, ec) && fs::is_empty(stage, ec))) {
    return utf8_from_path(stage) + ": already exists and is not an empty folder";
  }

  std::vector<Listed> listed;
  if (auto error = list_folder(folder, listed)) return error;
  std::string text;
  for (const Listed& entry : listed) text += entry.line + "\r\n";
  if (auto error = check_names(listed, text)) return error;

  if (!fs::create_directories(stage, ec) && ec) return utf8_from_path(stage) + ": cannot be made";
  if (auto error = write_stage(folder, stage, listed, text)) {
    if (existed) {
      for (const auto& entry : fs::directory_iterator(stage, ec)) fs::remove(entry.path(), ec);
    } else {
      fs::remove_all(stage, ec);
    }
    return error;
  }
  manifest = std::move(text);
  return std::nullopt;
}

}  // namespace velk
