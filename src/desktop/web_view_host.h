#pragma once
// The panel's page in a WebKitGTK view: files from the "talvane" scheme, page messages through
// the "talvane" script message handler, native messages by script evaluation. Tuned to stay
// small: one web process, no disk cache or storage, no page cache, no WebGL. A second view
// (the onboarding window's) can share the first one's web process.

#include <string>

#include "notch/web_stage.h"

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
  // With `related`, the page runs in that host's web process and context.
  explicit WebViewHost(const WebViewHost* related = nullptr);
  ~WebViewHost() override;
  WebViewHost(const WebViewHost&) = delete;
  WebViewHost& operator=(const WebViewHost&) = delete;

  // The view to put in a window (owned by this host until added to one).
  GtkWidget* widget() const;
  // The stage whose page this shows; messages from the page go to it.
  void attach(WebStage& stage) { stage_ = &stage; }

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
  WebKitWebContext* context_ = nullptr;
  WebKitUserContentManager* content_ = nullptr;
  WebKitWebView* view_ = nullptr;
  PageSource source_;
};

}  // namespace talvane
