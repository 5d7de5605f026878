#include "desktop/web_view_host.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <exception>

#include "notch/page_files.h"
#include "platform/gobject.h"
#include "platform/log.h"

namespace talvane {

namespace {

// Exceptions never cross back into GTK.
template <typename F>
void guarded(const char* what, F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    log::line(std::string("Talvane: ") + what + ": " + e.what());
  } catch (...) {
    log::line(std::string("Talvane: ") + what + " failed");
  }
}

bool webAddress(const char* uri) {
  if (!uri) return false;
  GCharPtr scheme(g_uri_parse_scheme(uri));
  if (!scheme) return false;
  std::string s = scheme.get();
  for (auto& c : s) c = static_cast<char>(g_ascii_tolower(c));
  return s == "http" || s == "https";
}

void openOutside(const char* uri) {
  GError* error = nullptr;
  if (!g_app_info_launch_default_for_uri(uri, nullptr, &error)) {
    log::debug("desktop", std::string("cannot open ") + uri + ": " +
                              (error ? error->message : "unknown error"));
  }
  if (error) g_error_free(error);
}

}  // namespace

constexpr const char* kHostKey = "talvane-host";

void WebViewHost::tuneEnvironment() {
  g_setenv("WEBKIT_SKIA_ENABLE_CPU_RENDERING", "1", FALSE);
  // The web process watches its own footprint (see create()); the app's own watcher would read
  // /proc/meminfo a byte at a time all day for nothing.
  g_setenv("WEBKIT_DISABLE_MEMORY_PRESSURE_MONITOR", "1", FALSE);
  // glibc keeps what a process's threads free: an arena per thread, and a heap top trimmed only
  // past a threshold that grows with the largest block freed. The web process's tiles and
  // layers come and go with the panel; what it frees on closing should go back at once.
  g_setenv("MALLOC_ARENA_MAX", "2", FALSE);
  g_setenv("MALLOC_MMAP_THRESHOLD_", "131072", FALSE);
  g_setenv("MALLOC_TRIM_THRESHOLD_", "131072", FALSE);
  g_setenv("JSC_useDFGJIT", "0", FALSE);
  g_setenv("JSC_useFTLJIT", "0", FALSE);
}

WebViewHost::WebViewHost(WebViewHost* related, bool deferred) : related_(related), held_(deferred) {
  if (!deferred) create();
}

void WebViewHost::create() {
  if (view_) return;
  WebViewHost* related = related_;
  if (related) related->create();
  if (related) {
    context_.reset(WEBKIT_WEB_CONTEXT(g_object_ref(related->context_.get())));
  } else {
    // Nothing is kept between runs: the page has no state of its own to lose. Past a small
    // footprint the web process drops its caches rather than keep growing; it is never
    // killed for it.
    WebKitMemoryPressureSettings* pressure = webkit_memory_pressure_settings_new();
    webkit_memory_pressure_settings_set_memory_limit(pressure, kMemoryLimitMb);
    webkit_memory_pressure_settings_set_strict_threshold(pressure, 0.8);
    webkit_memory_pressure_settings_set_conservative_threshold(pressure, 0.5);
    webkit_memory_pressure_settings_set_kill_threshold(pressure, 0);
    GObjectPtr<WebKitWebsiteDataManager> data(webkit_website_data_manager_new_ephemeral());
    context_.reset(
        WEBKIT_WEB_CONTEXT(g_object_new(WEBKIT_TYPE_WEB_CONTEXT, "website-data-manager", data.get(),
                                        "memory-pressure-settings", pressure, nullptr)));
    webkit_memory_pressure_settings_free(pressure);
    webkit_web_context_set_cache_model(context_.get(), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    // One handler for every view of the context: each request is served from the files of the
    // host whose view asked.
    webkit_web_context_register_uri_scheme(
        context_.get(), "talvane",
        [](WebKitURISchemeRequest* request, gpointer) { onScheme(request, nullptr); }, nullptr,
        nullptr);
    webkit_security_manager_register_uri_scheme_as_secure(
        webkit_web_context_get_security_manager(context_.get()), "talvane");
  }

  View v = makeView(related ? related->view_.get() : nullptr);
  content_ = std::move(v.content);
  view_ = std::move(v.view);
}

WebViewHost::View WebViewHost::makeView(WebKitWebView* related) {
  View v;
  v.content.reset(webkit_user_content_manager_new());
  g_signal_connect(v.content.get(), "script-message-received::talvane", G_CALLBACK(onScript), this);
  webkit_user_content_manager_register_script_message_handler(v.content.get(), "talvane");

  GObjectPtr<WebKitSettings> owned(webkit_settings_new());
  WebKitSettings* settings = owned.get();
  // Composited, though software GL costs about 50 MB here: WebKit's non-composited path blends
  // each partial update over the pixels before it, so on a transparent view the translucent
  // panel and its shadow darken with every repaint and shapes the page stopped drawing linger.
  webkit_settings_set_hardware_acceleration_policy(settings,
                                                   WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS);
  webkit_settings_set_enable_developer_extras(settings, TRUE);
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_webgl(settings, FALSE);
  webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);

  gpointer view =
      related
          ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", related, "user-content-manager",
                         v.content.get(), "settings", settings, nullptr)
          : g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_.get(),
                         "user-content-manager", v.content.get(), "settings", settings, nullptr);
  v.view.reset(WEBKIT_WEB_VIEW(g_object_ref_sink(view)));
  g_object_set_data(G_OBJECT(v.view.get()), kHostKey, this);
  const GdkRGBA clear{0, 0, 0, 0};
  webkit_web_view_set_background_color(v.view.get(), &clear);
  g_signal_connect(v.view.get(), "web-process-terminated", G_CALLBACK(onTerminated), this);
  g_signal_connect(v.view.get(), "decide-policy", G_CALLBACK(onPolicy), this);
  g_signal_connect(v.view.get(), "create", G_CALLBACK(onCreate), this);
  g_signal_connect(v.view.get(), "load-failed", G_CALLBACK(onFailed), this);
  return v;
}

void WebViewHost::forget(View& v) {
  if (!v.view) return;
  g_object_set_data(G_OBJECT(v.view.get()), kHostKey, nullptr);
  g_signal_handlers_disconnect_by_data(v.view.get(), this);
  g_signal_handlers_disconnect_by_data(v.content.get(), this);
  if (GtkWidget* parent = gtk_widget_get_parent(GTK_WIDGET(v.view.get())))
    gtk_container_remove(GTK_CONTAINER(parent), GTK_WIDGET(v.view.get()));
  v.view.reset();
  v.content.reset();
}

WebViewHost::~WebViewHost() {
  settle_.cancel();
  forget(next_);
  View current{std::move(content_), std::move(view_)};
  forget(current);
}

GtkWidget* WebViewHost::widget() const { return view_ ? GTK_WIDGET(view_.get()) : nullptr; }

GtkWidget* WebViewHost::frame() {
  create();
  if (!frame_) {
    // Overlays only, no main child: a renewed view goes beneath the current one, drawn but
    // covered until the change-over.
    frame_.reset(GTK_WIDGET(g_object_ref_sink(gtk_overlay_new())));
    gtk_overlay_add_overlay(GTK_OVERLAY(frame_.get()), widget());
    gtk_widget_show(widget());
  }
  return frame_.get();
}

void WebViewHost::RegionFree::operator()(cairo_region_t* r) const { cairo_region_destroy(r); }

void WebViewHost::shapeInput(const cairo_region_t* region) {
  if (region) shape_.reset(cairo_region_copy(region));
  if (!shape_) return;
  for (WebKitWebView* view : {view_.get(), next_.view.get()}) {
    if (!view || !gtk_widget_get_realized(GTK_WIDGET(view))) continue;
    if (GdkWindow* around = gtk_widget_get_parent_window(GTK_WIDGET(view)))
      gdk_window_input_shape_combine_region(around, shape_.get(), 0, 0);
  }
}

void WebViewHost::renew() {
  if (!frame_ || !view_ || next_.view || related_ || held_ || !asked_) return;
  next_ = makeView(nullptr);
  GtkWidget* fresh = GTK_WIDGET(next_.view.get());
  gtk_overlay_add_overlay(GTK_OVERLAY(frame_.get()), fresh);
  gtk_overlay_reorder_overlay(GTK_OVERLAY(frame_.get()), fresh, 0);
  gtk_widget_show(fresh);
  shapeInput(nullptr);
  loadInto(next_.view.get(), /*renewed=*/true);
  // A page that never says it has drawn is not kept beside the current one.
  settle_ = defaultLoop().after(kSilentSeconds, [this] { cancelRenewal(); });
}

void WebViewHost::cancelRenewal() {
  settle_.cancel();
  forget(next_);
}

void WebViewHost::changeOver() {
  if (!next_.view) return;
  View old{std::move(content_), std::move(view_)};
  content_ = std::move(next_.content);
  view_ = std::move(next_.view);
  forget(old);
  if (auto renewed = onRenewed) renewed();
}

void WebViewHost::releaseLoads() {
  create();
  held_ = false;
  if (pending_) {
    pending_ = false;
    load(source_);
  }
}

void WebViewHost::load(const PageSource& source) {
  source_ = source;
  asked_ = true;
  if (held_ || !view_) {
    pending_ = true;
    return;
  }
  // A new load replaces any renewal under way.
  cancelRenewal();
  loadInto(view_.get());
  // A web process lost while it was still starting is not always reported: a page that never
  // speaks is loaded again, a few times.
  watchdog_ = defaultLoop().after(kSilentSeconds, [this] {
    if (retries_ >= kRetries) {
      log::line("Talvane: the panel's page did not start");
      return;
    }
    ++retries_;
    log::line("Talvane: the panel's page did not start; loading it again");
    if (stage_) stage_->load();
  });
}

void WebViewHost::loadInto(WebKitWebView* view, bool renewed) {
  const PageSource& source = source_;
  switch (source.kind) {
    case PageSource::Kind::kUrl:
      webkit_web_view_load_uri(view, source.url.c_str());
      break;
    case PageSource::Kind::kDirectory: {
      // A renewed page is told so: it comes up as the one on screen is.
      std::string address = "talvane://app/index.html" + source.route;
      if (renewed) address += address.find('?') == std::string::npos ? "?renewed" : "&renewed";
      webkit_web_view_load_uri(view, address.c_str());
      break;
    }
    case PageSource::Kind::kFallback:
      webkit_web_view_load_html(view, WebStage::fallbackPage().c_str(), nullptr);
      break;
  }
}

void WebViewHost::deliver(const std::string& message) {
  if (!view_) return;  // no page yet; stages hold their messages until it is ready
  // A renewed page takes everything too: it comes up showing what the current one shows.
  for (WebKitWebView* view : {view_.get(), next_.view.get()})
    if (view) deliverTo(view, message);
}

void WebViewHost::deliverTo(WebKitWebView* view, const std::string& message) {
  if (!g_utf8_validate(message.data(), static_cast<gssize>(message.size()), nullptr)) {
    const std::string script = WebStage::script(message);
    webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
    return;
  }
  // One unchanging function with the message as its argument: a script text of its own for
  // every message would be compiled and kept in the web process's code cache, each state push
  // adding to the page's memory until the cache is full.
  static constexpr char kReceive[] =
      "if (window.__talvane) window.__talvane.receive(JSON.parse(m));";
  GVariantBuilder args;
  g_variant_builder_init(&args, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&args, "{sv}", "m", g_variant_new_string(message.c_str()));
  webkit_web_view_call_async_javascript_function(view, kReceive, -1, g_variant_builder_end(&args),
                                                 nullptr, nullptr, nullptr, nullptr, nullptr);
}

void WebViewHost::onScheme(WebKitURISchemeRequest* request, void*) {
  WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
  auto* self =
      view ? static_cast<WebViewHost*>(g_object_get_data(G_OBJECT(view), kHostKey)) : nullptr;
  if (!self) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_CLOSED, "the view is gone");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  std::optional<std::string> root;
  if (self->source_.kind == PageSource::Kind::kDirectory) root = self->source_.directory;
  auto file = PageFiles::read(root, webkit_uri_scheme_request_get_path(request));
  if (!file) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such file");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  const gsize size = file->data.size();
  GBytes* bytes = g_bytes_new(file->data.data(), size);
  GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes));
  g_bytes_unref(bytes);
  GObjectPtr<WebKitURISchemeResponse> response(
      webkit_uri_scheme_response_new(stream.get(), static_cast<gint64>(size)));
  webkit_uri_scheme_response_set_status(response.get(), 200, nullptr);
  webkit_uri_scheme_response_set_content_type(response.get(), file->type.c_str());
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_append(headers, "Content-Type", file->type.c_str());
  soup_message_headers_append(headers, "Content-Length", std::to_string(size).c_str());
  soup_message_headers_append(headers, "Cache-Control", "no-cache");
  webkit_uri_scheme_response_set_http_headers(response.get(), headers);  // takes ownership
  webkit_uri_scheme_request_finish_with_response(request, response.get());
}

void WebViewHost::onScript(WebKitUserContentManager* content, WebKitJavascriptResult* result,
                           void* data) {
  auto* self = static_cast<WebViewHost*>(data);
  const bool renewed = content == self->next_.content.get();
  self->watchdog_.cancel();
  self->retries_ = 0;
  guarded("page message", [&] {
    JSCValue* value = webkit_javascript_result_get_js_value(result);
    if (!value || !jsc_value_is_object(value)) return;
    GCharPtr text(jsc_value_to_json(value, 0));
    if (!text) return;
    auto message = json::parse(text.get());
    if (!message || !message->is_object()) return;
    if (json::string(*message, "type").value_or("") == "painted") {
      if (renewed) {
        // Its frames reach the screen a little after the page has laid them out.
        self->settle_ = defaultLoop().after(kSettleSeconds, [self] { self->changeOver(); });
        return;
      }
      // A copy: the callback may let go of itself.
      if (auto painted = self->onPainted) painted();
      return;
    }
    if (self->stage_) self->stage_->receive(*message);
  });
}

void WebViewHost::onTerminated(WebKitWebView* view, int reason, void* data) {
  auto* self = static_cast<WebViewHost*>(data);
  if (view == self->next_.view.get()) {
    // The current page goes on; a later renewal may try again.
    self->reload_ = defaultLoop().after(0, [self] { self->cancelRenewal(); });
    return;
  }
  log::line(std::string("Talvane: the panel's web process ") +
            (reason == WEBKIT_WEB_PROCESS_CRASHED ? "crashed" : "ended") + "; reloading the page");
  // Back on the loop: WebKit is still tearing the old process down.
  self->reload_ = defaultLoop().after(0, [self] {
    if (self->stage_) self->stage_->load();
  });
}

int WebViewHost::onPolicy(WebKitWebView*, WebKitPolicyDecision* decision, int type, void*) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  if (!webAddress(uri) || std::getenv("TALVANE_DEV_URL")) return FALSE;
  webkit_policy_decision_ignore(decision);
  openOutside(uri);
  return TRUE;
}

GtkWidget* WebViewHost::onCreate(WebKitWebView*, WebKitNavigationAction* action, void*) {
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  if (const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr) openOutside(uri);
  return nullptr;
}

int WebViewHost::onFailed(WebKitWebView*, int, const char*, GError* error, void*) {
  log::line(std::string("Talvane web stage failed: ") + (error ? error->message : "unknown"));
  return FALSE;
}

}  // namespace talvane
