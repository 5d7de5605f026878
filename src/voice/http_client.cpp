#include "voice/http_client.h"

#include <libsoup/soup.h>

#include <set>

#include "platform/event_loop.h"
#include "platform/gobject.h"
#include "platform/signal_connection.h"

namespace talvane {

namespace {

constexpr gsize kChunk = gsize{16} * 1024;

// Owned by the operation in flight: each asynchronous step hands it to the next, and finish()
// ends it.
struct Request {
  HttpClient::Done done;
  GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
  TimerHandle deadline;
  bool timedOut = false;
  std::set<Request*>* live = nullptr;  // the client's set; null once the client is gone
  GObjectPtr<SoupMessage> message;
  std::size_t limit = 0;
  GObjectPtr<GInputStream> stream;
  HttpReply reply;
};

void finish(Request* raw, std::string error = {}) {
  const std::unique_ptr<Request> r(raw);
  r->deadline.cancel();
  HttpReply reply = std::move(r->reply);
  if (!error.empty()) {
    reply.error = std::move(error);
  } else if (reply.status < 200 || reply.status > 299) {
    reply.error = "HTTP " + std::to_string(reply.status);
  }
  if (!r->live) return;
  r->live->erase(raw);
  guardCallback("an HTTP request's caller", [&] { r->done(std::move(reply)); });
}

std::string failure(Request* r, const GErrorPtr& error) {
  if (r->timedOut) return "no answer in time";
  return error ? error->message : "request failed";
}

void readMore(Request* r);

void chunkRead(GObject* source, GAsyncResult* result, gpointer data) {
  guardCallback("an HTTP answer's body", [&] {
    auto* r = static_cast<Request*>(data);
    GError* raw = nullptr;
    GBytes* bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &raw);
    GErrorPtr error(raw);
    if (!bytes) return finish(r, failure(r, error));
    gsize size = 0;
    const auto* p = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (size > 0 && p) r->reply.body.append(p, size);
    g_bytes_unref(bytes);
    if (size == 0) return finish(r);
    // A server that never stops talking is not read to the end: dropping the stream closes it.
    if (r->reply.body.size() > r->limit) {
      r->reply.body.clear();
      return finish(r, "answer longer than " + std::to_string(r->limit) + " bytes");
    }
    readMore(r);
  });
}

void readMore(Request* r) {
  g_input_stream_read_bytes_async(r->stream.get(), kChunk, G_PRIORITY_DEFAULT, r->cancellable.get(),
                                  chunkRead, r);
}

void sent(GObject* source, GAsyncResult* result, gpointer data) {
  guardCallback("an HTTP answer", [&] {
    auto* r = static_cast<Request*>(data);
    GError* raw = nullptr;
    GInputStream* stream = soup_session_send_finish(SOUP_SESSION(source), result, &raw);
    GErrorPtr error(raw);
    if (!stream) return finish(r, failure(r, error));
    r->stream.reset(stream);
    r->reply.status = static_cast<int>(soup_message_get_status(r->message.get()));
    readMore(r);
  });
}

}  // namespace

struct HttpClient::Impl {
  GObjectPtr<SoupSession> session{soup_session_new()};
  std::set<Request*> live;
  std::size_t limit;

  explicit Impl(std::size_t maxBody) : limit(maxBody) {}

  ~Impl() {
    for (Request* r : live) {
      r->live = nullptr;
      r->deadline.cancel();
      g_cancellable_cancel(r->cancellable.get());
    }
  }

  void send(SoupMessage* message, double timeoutSeconds, Done done) {
    auto owned = std::make_unique<Request>();
    Request* r = owned.get();
    r->done = std::move(done);
    r->live = &live;
    r->message.reset(message);
    r->limit = limit;
    r->deadline = defaultLoop().after(timeoutSeconds, [r] {
      r->timedOut = true;
      g_cancellable_cancel(r->cancellable.get());
    });
    live.insert(r);
    soup_session_send_async(session.get(), message, G_PRIORITY_DEFAULT, r->cancellable.get(), sent,
                            owned.release());
  }
};

HttpClient::HttpClient(std::size_t maxBody) : impl_(std::make_unique<Impl>(maxBody)) {}
HttpClient::~HttpClient() = default;

void HttpClient::postJson(const std::string& url, const std::string& json, double timeoutSeconds,
                          Done done) {
  SoupMessage* message = soup_message_new("POST", url.c_str());
  if (!message) {
    done({0, "", "not a valid address: " + url});
    return;
  }
  GBytes* body = g_bytes_new(json.data(), json.size());
  soup_message_set_request_body_from_bytes(message, "application/json", body);
  g_bytes_unref(body);
  impl_->send(message, timeoutSeconds, std::move(done));
}

void HttpClient::postForm(const std::string& url,
                          const std::vector<std::pair<std::string, std::string>>& fields,
                          const FileField& file, double timeoutSeconds, Done done) {
  SoupMultipart* form = soup_multipart_new(SOUP_FORM_MIME_TYPE_MULTIPART);
  for (const auto& [name, value] : fields)
    soup_multipart_append_form_string(form, name.c_str(), value.c_str());
  GBytes* bytes = g_bytes_new(file.bytes.data(), file.bytes.size());
  soup_multipart_append_form_file(form, file.name.c_str(), file.fileName.c_str(),
                                  file.contentType.c_str(), bytes);
  g_bytes_unref(bytes);
  SoupMessage* message = soup_message_new_from_multipart(url.c_str(), form);
  soup_multipart_free(form);
  if (!message) {
    done({0, "", "not a valid address: " + url});
    return;
  }
  impl_->send(message, timeoutSeconds, std::move(done));
}

std::string endpoint(const std::string& base, const std::string& path) {
  if (base.find("/v1/") != std::string::npos) return base;
  std::string out = base;
  while (!out.empty() && out.back() == '/') out.pop_back();
  if (out.size() >= 3 && out.compare(out.size() - 3, 3, "/v1") == 0) out.resize(out.size() - 3);
  return out + path;
}

}  // namespace talvane
