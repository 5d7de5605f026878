#include "context/transcript_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

#include "platform/files.h"

namespace talvane::TranscriptFiles {

namespace {
struct CloseDir {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, CloseDir>;

constexpr std::string_view kExtension = ".jsonl";
}  // namespace

std::string projectsDir() { return files::home() + "/.claude/projects"; }

void forEach(
    const std::function<void(const std::string&, std::string_view, Date, std::uint64_t)>& fn) {
  const std::string root = projectsDir();
  DirPtr top(::opendir(root.c_str()));
  if (!top) return;
  while (const dirent* project = ::readdir(top.get())) {
    const std::string_view projectName = project->d_name;
    if (projectName == "." || projectName == "..") continue;
    if (project->d_type != DT_DIR && project->d_type != DT_LNK && project->d_type != DT_UNKNOWN)
      continue;
    const std::string dir = root + "/" + project->d_name;
    DirPtr sub(::opendir(dir.c_str()));
    if (!sub) continue;
    while (const dirent* entry = ::readdir(sub.get())) {
      const std::string_view name = entry->d_name;
      // A bare ".jsonl" names no session.
      if (name.size() <= kExtension.size() || !name.ends_with(kExtension)) continue;
      struct stat st;
      if (::fstatat(::dirfd(sub.get()), entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
        continue;
      const Date modified =
          static_cast<Date>(st.st_mtim.tv_sec) + static_cast<Date>(st.st_mtim.tv_nsec) / 1e9;
      fn(dir + "/" + entry->d_name, name, modified, static_cast<std::uint64_t>(st.st_size));
    }
  }
}

}  // namespace talvane::TranscriptFiles
