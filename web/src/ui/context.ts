import { createContext } from "preact";
import { useContext, useEffect, useRef, useState } from "preact/hooks";
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

function shallowSame<T>(a: T, b: T): boolean {
  if (Object.is(a, b)) return true;
  if (typeof a !== "object" || typeof b !== "object" || !a || !b) return false;
  const ka = Object.keys(a as object);
  if (ka.length !== Object.keys(b as object).length) return false;
  return ka.every((k) => Object.is((a as Record<string, unknown>)[k], (b as Record<string, unknown>)[k]));
}

/**
 * A part of the page state, re-rendering only when that part changes: a hundred cards must not
 * all redraw because one of them changed.
 */
export function usePageSlice<T>(pick: (s: PageState) => T): T {
  const page = usePage();
  const [, tick] = useState(0);
  const value = pick(page.get());
  const last = useRef(value);
  last.current = value;
  const picker = useRef(pick);
  picker.current = pick;
  useEffect(() => {
    const check = () => {
      if (!shallowSame(last.current, picker.current(page.get()))) tick((n) => n + 1);
    };
    const off = page.subscribe(check);
    check();
    return off;
  }, [page]);
  return value;
}
