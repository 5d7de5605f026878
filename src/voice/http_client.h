#pragma once
// Posts to a local model server (speech, punctuation) on the main loop with libsoup, within a
// time limit and a limit on the answer's size. A request still out when the client is
// destroyed ends without its callback.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace talvane {

struct HttpReply {
  int status = 0;  // the HTTP status; 0 when no answer came
  std::string body;
  std::string error;  // why there is no usable answer; empty on 2xx
};

class HttpClient {
 public:
  static constexpr std::size_t kMaxBody = 1024 * 1024;
  // Answers longer than `maxBody` bytes are cut off and count as failures.
  explicit HttpClient(std::size_t maxBody = kMaxBody);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  using Done = std::function<void(HttpReply)>;
  void postJson(const std::string& url, const std::string& json, double timeoutSeconds, Done done);
  // multipart/form-data with plain fields and one file.
  struct FileField {
    std::string name, fileName, contentType, bytes;
  };
  void postForm(const std::string& url,
                const std::vector<std::pair<std::string, std::string>>& fields,
                const FileField& file, double timeoutSeconds, Done done);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// `base` plus `path`, unless `base` already names an endpoint (its path contains "/v1/").
std::string endpoint(const std::string& base, const std::string& path);

}  // namespace talvane
