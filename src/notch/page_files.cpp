#include "notch/page_files.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/files.h"

namespace talvane::PageFiles {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 19> kTypes{{
    {"html", "text/html"}, {"js", "text/javascript"},    {"mjs", "text/javascript"},
    {"css", "text/css"},   {"json", "application/json"}, {"svg", "image/svg+xml"},
    {"png", "image/png"},  {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},  {"webp", "image/webp"},       {"ico", "image/x-icon"},
    {"woff", "font/woff"}, {"woff2", "font/woff2"},      {"ttf", "font/ttf"},
    {"otf", "font/otf"},   {"wasm", "application/wasm"}, {"map", "application/json"},
    {"txt", "text/plain"},
}};

bool escapes(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return true;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::string contentType(std::string_view path) {
  std::string_view name =
      path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  std::string ext;
  if (auto dot = name.rfind('.'); dot != std::string_view::npos) ext = name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& [e, type] : kTypes) {
    if (e == ext) {
      std::string t(type);
      if (t.starts_with("text/")) t += "; charset=utf-8";
      return t;
    }
  }
  return "application/octet-stream";
}

std::optional<File> read(const std::optional<std::string>& root, std::string_view urlPath) {
  if (!root) return std::nullopt;
  std::string path = urlPath.empty() || urlPath == "/" ? "/index.html" : std::string(urlPath);
  if (path.front() != '/') path.insert(path.begin(), '/');
  if (escapes(path)) return std::nullopt;
  auto data = files::read(*root + path);
  if (!data || files::isDirectory(*root + path)) return std::nullopt;
  return File{std::move(*data), contentType(path)};
}

}  // namespace talvane::PageFiles
