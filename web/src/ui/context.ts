import { Component, createContext, h, type FunctionComponent } from "preact";
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

// One timer per period for every clock on the page: a hundred cards tick together, in one
// redraw, instead of each at its own moment.
const clocks = new Map<number, { timer: ReturnType<typeof setInterval>; ticks: Set<() => void> }>();

function onTick(ms: number, fn: () => void): () => void {
  let c = clocks.get(ms);
  if (!c) {
    const ticks = new Set<() => void>();
    c = { timer: setInterval(() => ticks.forEach((t) => t()), ms), ticks };
    clocks.set(ms, c);
  }
  c.ticks.add(fn);
  return () => {
    const cur = clocks.get(ms);
    if (!cur?.ticks.delete(fn) || cur.ticks.size > 0) return;
    clearInterval(cur.timer);
    clocks.delete(ms);
  };
}

/**
 * The app's clock, re-rendering every `ms` while mounted (for timers and countdowns); with
 * `run` false it does not tick (a turn that has ended).
 */
export function useNow(ms = 1000, run = true): number {
  const page = usePage();
  const [, tick] = useState(0);
  useEffect(() => (run ? onTick(ms, () => tick((n) => n + 1)) : undefined), [ms, run]);
  return page.now();
}

/**
 * A component drawn again only when `same` says its props changed (or its own state did): a
 * push that leaves a session alone leaves its card alone.
 */
export function memo<P extends object>(view: FunctionComponent<P>, same: (a: P, b: P) => boolean): FunctionComponent<P> {
  class Memo extends Component<P> {
    override shouldComponentUpdate(next: P): boolean {
      return !same(this.props, next);
    }
    override render(props: P) {
      return h(view, props);
    }
  }
  return Memo as unknown as FunctionComponent<P>;
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
