// The onboarding window's page (route "?onboard"): the first-run flow, sized to its content.

import { useEffect, useLayoutEffect, useRef } from "preact/hooks";
import { usePage, usePageState } from "./context";
import { Setup } from "./Setup";

export function Onboarding() {
  const page = usePage();
  const ps = usePageState();
  const box = useRef<HTMLDivElement>(null);
  const lastH = useRef(0);
  const theme = ps.state?.geo.theme === "light" ? "light" : "dark";

  useEffect(() => {
    document.documentElement.dataset["theme"] = theme;
  }, [theme]);

  // The window takes the height of what the page shows, keeping its top edge.
  useLayoutEffect(() => {
    const el = box.current;
    if (!el) return;
    const report = () => {
      const h = Math.ceil(el.getBoundingClientRect().height);
      if (h > 0 && h !== lastH.current) {
        lastH.current = h;
        page.send({ type: "size", h });
      }
    };
    report();
    page.painted();
    if (typeof ResizeObserver === "undefined") return;
    const ro = new ResizeObserver(report);
    ro.observe(el);
    return () => ro.disconnect();
  }, [page]);

  return (
    <div class="onboarding" ref={box}>
      <Setup mode="window" />
    </div>
  );
}
