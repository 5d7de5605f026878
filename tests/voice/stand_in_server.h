#pragma once
// A tiny HTTP server on 127.0.0.1 for one test, standing in for a local model server. Each
// request gets the handler's answer, optionally after a delay.

#include <libsoup/soup.h>

#include <functional>
#include <string>

namespace talvane::testing {

class StandInServer {
 public:
  struct Request {
    std::string path;
    std::string contentType;
    std::string body;
  };
  struct Answer {
    int status = 200;
    std::string body;
    double delaySeconds = 0;
  };
  using Handler = std::function<Answer(const Request&)>;

  explicit StandInServer(Handler handler) : handler_(std::move(handler)) {
    server_ = soup_server_new(nullptr, nullptr);
    soup_server_add_handler(server_, nullptr, &StandInServer::serve, this, nullptr);
    GSocketAddress* address = g_inet_socket_address_new_from_string("127.0.0.1", 0);
    soup_server_listen(server_, address, static_cast<SoupServerListenOptions>(0), nullptr);
    g_object_unref(address);
    GSList* uris = soup_server_get_uris(server_);
    if (uris) {
      char* text = g_uri_to_string(static_cast<GUri*>(uris->data));
      url_ = text;
      g_free(text);
      while (!url_.empty() && url_.back() == '/') url_.pop_back();
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
  }
  ~StandInServer() {
    soup_server_disconnect(server_);
    g_object_unref(server_);
  }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  // "http://127.0.0.1:PORT", without a trailing slash.
  const std::string& url() const { return url_; }
  int requests() const { return requests_; }
  const Request& last() const { return last_; }

 private:
  static void serve(SoupServer* server, SoupServerMessage* msg, const char* path, GHashTable*,
                    gpointer data) {
    auto* self = static_cast<StandInServer*>(data);
    Request r;
    r.path = path;
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
    const char* type = soup_message_headers_get_content_type(headers, nullptr);
    r.contentType = type ? type : "";
    SoupMessageBody* body = soup_server_message_get_request_body(msg);
    GBytes* bytes = soup_message_body_flatten(body);
    gsize size = 0;
    const auto* p = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    r.body.assign(p ? p : "", size);
    g_bytes_unref(bytes);
    ++self->requests_;
    self->last_ = r;
    Answer a = self->handler_(r);
    soup_server_message_set_status(msg, static_cast<guint>(a.status), nullptr);
    soup_server_message_set_response(msg, "application/json", SOUP_MEMORY_COPY, a.body.data(),
                                     a.body.size());
    if (a.delaySeconds > 0) {
      soup_server_message_pause(msg);
      g_object_ref(msg);
      // A client that gave up has closed the connection: nothing is left to answer.
      g_signal_connect(msg, "disconnected", G_CALLBACK(+[](SoupServerMessage* m, gpointer) {
                         g_object_set_data(G_OBJECT(m), "gone", GINT_TO_POINTER(1));
                       }),
                       nullptr);
      g_timeout_add(
          static_cast<guint>(a.delaySeconds * 1000),
          +[](gpointer m) -> gboolean {
            if (!g_object_get_data(G_OBJECT(m), "gone"))
              soup_server_message_unpause(static_cast<SoupServerMessage*>(m));
            g_object_unref(m);
            return G_SOURCE_REMOVE;
          },
          msg);
    }
    (void)server;
  }

  Handler handler_;
  SoupServer* server_ = nullptr;
  std::string url_;
  int requests_ = 0;
  Request last_;
};

}  // namespace talvane::testing
