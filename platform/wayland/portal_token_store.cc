#include "platform/wayland/portal_token_store.h"

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/file_reader.h"

namespace fenwright::wayland {
namespace {

constexpr std::size_t kMaxBytes = 64 * 1024;
constexpr std::size_t kPicksKept = 32;

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries readEntries(const std::optional<std::filesystem::path>& file) {
  Entries entries;
  if (!file) return entries;
  auto read = readSmallRegularFile(*file, kMaxBytes);
  if (!read.bytes) return entries;
  std::istringstream lines(*read.bytes);
  std::string pick, newest;
  while (lines >> pick >> newest) entries.emplace_back(pick, newest);
  return entries;
}

}  // namespace

std::optional<std::filesystem::path> PortalTokenStore::defaultFile() {
  std::filesystem::path base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    base = std::filesystem::path(home) / ".local" / "state";
  } else {
    return std::nullopt;
  }
  return base / "fenwright" / "portal-tokens";
}

std::string PortalTokenStore::newest(const std::string& pick) const {
  for (const auto& [known, newest] : readEntries(file_))
    if (known == pick) return newest;
  return pick;
}

std::string PortalTokenStore::remember(const std::string& pick, const std::string& newest) const {
  if (!file_) return "no state directory: set HOME or XDG_STATE_HOME to an absolute path";
  // Tokens are the portal's words without blanks; one that has any could
  // not be read back as one.
  if (pick.find_first_of(" \t\n") != std::string::npos ||
      newest.find_first_of(" \t\n") != std::string::npos || pick.empty() || newest.empty())
    return "a restore token with blanks in it";
  Entries entries = readEntries(file_);
  std::erase_if(entries, [&](const auto& entry) { return entry.first == pick; });
  entries.emplace_back(pick, newest);
  if (entries.size() > kPicksKept)
    entries.erase(entries.begin(), entries.end() - static_cast<long>(kPicksKept));
  std::string text;
  for (const auto& [known, token] : entries) text += known + " " + token + "\n";
  std::error_code error;
  const auto directory = file_->parent_path();
  std::filesystem::create_directories(directory, error);
  if (error) return "cannot create " + directory.string() + ": " + error.message();
  ::chmod(directory.c_str(), 0700);
  return writeFileAtomically(*file_, text, 0600);
}

}  // namespace fenwright::wayland
