import { defineConfig } from "vitest/config";

// Preact through esbuild's automatic JSX runtime: no Babel, no extra plugin.
export default defineConfig({
  // Relative asset paths: the app serves the bundle under its own scheme or from any HTTP root.
  base: "./",
  esbuild: {
    jsx: "automatic",
    jsxImportSource: "preact",
  },
  build: {
    outDir: "dist",
    emptyOutDir: true,
    target: "es2020",
    sourcemap: true,
    assetsInlineLimit: 0,
  },
  server: {
    // `npm run dev` shows the page fed by the demo harness.
    open: false,
  },
  test: {
    environment: "happy-dom",
    include: ["src/**/*.test.{ts,tsx}", "tests/**/*.test.{ts,tsx}"],
  },
});
