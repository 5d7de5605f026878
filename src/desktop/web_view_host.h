#pragma once
// The panel's page in a WebKitGTK view: files from the "talvane" scheme, page messages through
// the "talvane" script message handler, native messages by script evaluation. Tuned to stay
// small: one web process, no disk cache or storage, no page cache, no WebGL. A second view
// (the onboarding window's) can share the first one's web process.

#include <functional>
#include <memory>
#include <string>

#include "notch/web_stage.h"
#include "platform/event_loop.h"
#include "platform/gobject.h"

typedef struct _GError GError;
typedef struct _GtkWidget GtkWidget;
typedef struct _cairo_region cairo_region_t;
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

  // The view, for focus; none before create(). It changes when the page is renewed.
  GtkWidget* widget() const;
  // What a window holds: the view inside a container where a renewed one can start beneath it.
  GtkWidget* frame();

  // Loads the page again in a fresh web process beneath the current view and changes over once
  // it has drawn: what the old process gathered goes back to the system and nothing blinks.
  void renew();
  // Limits where the views take the pointer, as the window's own input shape does: each view
  // sits in a window of the frame's own, which the window's shape alone does not cover.
  void shapeInput(const cairo_region_t* region);
  // Drops a renewal under way (the panel is in use again).
  void cancelRenewal();
  bool renewing() const { return static_cast<bool>(next_.view); }
  // After the change-over.
  std::function<void()> onRenewed;
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

  // A view with its own message handler. In this order, so that the view goes before its
  // content manager.
  struct View {
    GObjectPtr<WebKitUserContentManager> content;
    GObjectPtr<WebKitWebView> view;
  };
  View makeView(WebKitWebView* related);
  void loadInto(WebKitWebView* view, bool renewed = false);
  void deliverTo(WebKitWebView* view, const std::string& message);
  void forget(View& v);
  void changeOver();

  WebStage* stage_ = nullptr;
  // Before the views, so that they go first.
  GObjectPtr<WebKitWebContext> context_;
  GObjectPtr<GtkWidget> frame_;
  GObjectPtr<WebKitUserContentManager> content_;
  GObjectPtr<WebKitWebView> view_;
  View next_;
  struct RegionFree {
    void operator()(cairo_region_t* r) const;
  };
  std::unique_ptr<cairo_region_t, RegionFree> shape_;
  TimerHandle settle_;
  // How long a renewed page draws beneath before it comes up.
  static constexpr double kSettleSeconds = 0.5;
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
