#pragma once
// The panel's page in a WebKitGTK view: files from the "talvane" scheme, page messages through
// the "talvane" script message handler, native messages by script evaluation. Tuned to stay
// small: one web process, no disk cache or storage, no page cache, no WebGL. A second view
// (the onboarding window's) can share the first one's web process.

#include <functional>
#include <string>

#include "notch/web_stage.h"
#include "platform/event_loop.h"
#include "platform/gobject.h"

typedef struct _GError GError;
typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitUserContentManager WebKitUserContentManager;
typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;
typedef struct _WebKitJavascriptResult WebKitJavascriptResult;
typedef struct _WebKitPolicyDecision WebKitPolicyDecision;
typedef struct _WebKitNavigationAction WebKitNavigationAction;

namespace talvane {

class WebViewHost final : public PageHost {
 public:
  // With `related`, the page runs in that host's web process and context. A deferred host
  // creates its view only on create(): making the first view initialises WebKit's graphics,
  // which blocks the loop for a while, and a window may want to reach the screen before that.
  explicit WebViewHost(WebViewHost* related = nullptr, bool deferred = false);
  ~WebViewHost() override;
  void create();
  // Settings WebKit reads from the environment, each left alone when the user set it: raster
  // on the CPU (the stage is small, and without a GPU driver the GL path costs memory for
  // nothing), no optimising JIT tiers (the page's script is small), no polling memory
  // watcher in the app itself, and a C allocator in the web process that gives freed memory
  // back. Call before any thread starts.
  static void tuneEnvironment();
  WebViewHost(const WebViewHost&) = delete;
  WebViewHost& operator=(const WebViewHost&) = delete;

  // The view to put in a window (owned by this host until added to one); none before create().
  GtkWidget* widget() const;
  // The stage whose page this shows; messages from the page go to it.
  void attach(WebStage& stage) { stage_ = &stage; }
  // Runs once the page says its first frame is drawn ("painted"; the stage never sees it): a
  // window can wait for it so that it never shows empty.
  std::function<void()> onPainted;

  // Loading waits until the view exists and loads are released; then what was asked for
  // meanwhile is loaded.
  void releaseLoads();
  // Whether a page was ever asked for.
  bool asked() const { return asked_; }

  // PageHost
  void load(const PageSource& source) override;
  void deliver(const std::string& message) override;

 private:
  static void onScheme(WebKitURISchemeRequest* request, void* self);
  static void onScript(WebKitUserContentManager*, WebKitJavascriptResult* result, void* self);
  static void onTerminated(WebKitWebView*, int reason, void* self);
  static int onPolicy(WebKitWebView*, WebKitPolicyDecision* decision, int type, void* self);
  static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, void* self);
  static int onFailed(WebKitWebView*, int event, const char* uri, GError* error, void* self);

  WebStage* stage_ = nullptr;
  // In this order, so that the view goes before its content manager and context.
  GObjectPtr<WebKitWebContext> context_;
  GObjectPtr<WebKitUserContentManager> content_;
  GObjectPtr<WebKitWebView> view_;
  PageSource source_;
  WebViewHost* related_ = nullptr;
  bool held_ = false;
  bool pending_ = false;
  bool asked_ = false;
  static constexpr unsigned kSilentSeconds = 15, kRetries = 3;
  static constexpr unsigned kMemoryLimitMb = 96;
  TimerHandle watchdog_;
  TimerHandle reload_;
  unsigned retries_ = 0;
};

}  // namespace talvane
