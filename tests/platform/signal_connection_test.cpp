#include "platform/signal_connection.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/gobject.h"

namespace talvane {
namespace {

TEST(SignalConnection, AThrowingHandlerStopsAtTheCBoundaryAndEndsWithItsHandle) {
  GObjectPtr<GCancellable> source(g_cancellable_new());
  int calls = 0;
  {
    const SignalConnection connection =
        connectSignal<void(GCancellable*)>(source.get(), "cancelled", [&](GCancellable*) {
          ++calls;
          throw std::runtime_error("handler failed");
        });
    g_cancellable_cancel(source.get());
    EXPECT_EQ(calls, 1);
  }
  g_cancellable_reset(source.get());
  g_cancellable_cancel(source.get());
  EXPECT_EQ(calls, 1) << "the handle went, so did the handler";

  // An instance finalized first is never touched by its handle.
  SignalConnection outliving =
      connectSignal<void(GCancellable*)>(source.get(), "cancelled", [](GCancellable*) {});
  source.reset();
  outliving.disconnect();
  EXPECT_FALSE(outliving.connected());
}

TEST(SignalConnection, GuardedCallbacksReturnNothingWhenTheyThrow) {
  EXPECT_EQ(guardCallback<int>("a callback", [] { return 7; }), 7);
  EXPECT_FALSE(guardCallback<bool>("a callback", []() -> bool { throw std::runtime_error("x"); }));
  EXPECT_NO_THROW(guardCallback("a callback", [] { throw 1; }));
}

}  // namespace
}  // namespace talvane
