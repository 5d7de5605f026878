import { render } from "preact";
import { finishOneOffs, Page, watchActivity } from "./page";
import { createTransport, SocketTransport, webkitHandler, type Transport } from "./transport";
import { App } from "./ui/App";
import "./styles.css";

declare global {
  interface Window {
    __talvane?: { receive(message: unknown): void };
  }
}

async function boot(): Promise<void> {
  const params = new URLSearchParams(location.search);
  const route = params.has("onboard") ? "onboard" : "panel";
  // The demo harness stands in for the app with ?mock, and by default under `npm run dev`.
  const mock = params.has("mock") || (import.meta.env.DEV && !params.has("live") && !webkitHandler(window));

  let transport: Transport;
  if (mock) {
    const { MockTransport, mockOptions } = await import("./mock/harness");
    transport = new MockTransport(mockOptions(location.search));
  } else {
    transport = createTransport(window);
  }
  document.documentElement.dataset["host"] = transport.kind === "webkit" ? "app" : "browser";
  document.documentElement.dataset["route"] = route;

  const page = new Page(transport);
  if (transport instanceof SocketTransport) {
    transport.onConnection = (up) => page.setConnected(up);
    transport.onTrouble = (why) => page.setTrouble(why);
  }
  window.__talvane = { receive: (message: unknown) => page.receive(message) };
  window.addEventListener("error", (e) => page.send({ type: "log", msg: `error: ${e.message} at ${e.filename}:${e.lineno}` }));
  window.addEventListener("unhandledrejection", (e) => page.send({ type: "log", msg: `rejection: ${String(e.reason)}` }));

  // Animations stop while no one can see the page: a hidden page should cost nothing.
  const quiet = () => {
    if (document.visibilityState === "hidden") document.documentElement.dataset["quiet"] = "";
    else delete document.documentElement.dataset["quiet"];
  };
  document.addEventListener("visibilitychange", quiet);
  quiet();
  if (params.has("renewed")) page.beforePainted = () => finishOneOffs(document.getAnimations());
  // So do the open panel's and the welcome window's, once nothing has changed for a while.
  watchActivity(page, document, document.documentElement);

  render(<App page={page} route={route} />, document.getElementById("app")!);
  page.start();
}

void boot();
