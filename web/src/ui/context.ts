import { createContext } from "preact";
import { useContext, useEffect, useState } from "preact/hooks";
import type { Page, PageState } from "../page";

export const PageContext = createContext<Page | null>(null);

export function usePage(): Page {
  const page = useContext(PageContext);
  if (!page) throw new Error("usePage outside PageContext");
  return page;
}

/** The page state, re-rendering when it changes. */
export function usePageState(): PageState {
  const page = usePage();
  const [, tick] = useState(0);
  const seen = page.get();
  useEffect(() => {
    const off = page.subscribe(() => tick((n) => n + 1));
    // A change between this render and the subscription would otherwise go unseen.
    if (page.get() !== seen) tick((n) => n + 1);
    return off;
  }, [page]);
  return seen;
}

/** The app's clock, re-rendering every `ms` while mounted (for timers and countdowns). */
export function useNow(ms = 1000): number {
  const page = usePage();
  const [, tick] = useState(0);
  useEffect(() => {
    const t = setInterval(() => tick((n) => n + 1), ms);
    return () => clearInterval(t);
  }, [ms]);
  return page.now();
}
