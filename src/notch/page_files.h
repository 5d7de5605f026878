#pragma once
// The page's files, served the same way to a web view's private scheme and to browsers.

#include <optional>
#include <string>
#include <string_view>

namespace talvane::PageFiles {

// The content type for a path's extension (compared lower-cased), with "; charset=utf-8"
// appended to text types; "application/octet-stream" for anything unknown.
std::string contentType(std::string_view path);

struct File {
  std::string data;
  std::string type;
};

// Reads `urlPath` below `root`; "" and "/" mean "/index.html". A path that would leave `root`
// ("..", a NUL) is refused like a missing file.
std::optional<File> read(const std::optional<std::string>& root, std::string_view urlPath);

}  // namespace talvane::PageFiles
