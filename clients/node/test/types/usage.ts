// Compiled with tsc --strict --noEmit against the installed package's index.d.ts: a host written
// in TypeScript must type-check, and misuse must not (see the @ts-expect-error lines).
import { Korvale, KorvaleError, SelectionData, pumpGLib } from 'korvale';

const k = new Korvale(process.env.KORVALE_LIBRARY);
k.init((name: string, data: Record<string, unknown>) => console.log(name, data));
k.on('text_select', (data: SelectionData) => {
  const text: string | null | undefined = data.selected_text;
  const right: number | undefined = data.position ? data.position.x + (data.size?.width ?? 0) : undefined;
  console.log(text, right);
});
k.on('app_changed', (data) => console.log(data.bundle_id?.toUpperCase()));
k.on('event', (name, data, json) => console.log(name.length, Object.keys(data), json.length));
k.start({});
k.addBlockedApps(['com.example.vault']);
const pump = pumpGLib({ intervalMs: 10 }).unref();
pump.stop();
try {
  k.perform({ action: 'activate', pid: 101 });
} catch (error) {
  if (error instanceof KorvaleError) console.log(error.message);
}
k.on('text_select', (data) => {
  // @ts-expect-error selected_text is text, not a number
  const n: number = data.selected_text;
  console.log(n);
});
// @ts-expect-error setText takes text
k.setText(42);
