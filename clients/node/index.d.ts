// Type declarations of the korvale package (index.js): the Node.js host binding of
// libKorvale-Project.
import { EventEmitter } from 'node:events';

/** Where a rectangle lies, in screen points from the top left of the main display. */
export interface Point { x: number; y: number; }
export interface Size { width: number; height: number; }

/** The data of "app_changed" and "focused_changed". */
export interface AppData {
  bundle_id: string | null;
  name: string | null;
  role?: string | null;
  [key: string]: unknown;
}

/** The selection dictionary of "text_select", "ui_reized" and "alt_enter_pressed". */
export interface SelectionData {
  selected_text?: string | null;
  is_editable?: boolean | null;
  position?: Point | null;
  size?: Size | null;
  bundle_id?: string | null;
  name?: string | null;
  /** Present instead of the selection when it could not be read. */
  message?: string;
  [key: string]: unknown;
}

/** Event names and their data. */
export interface KorvaleEvents {
  app_changed: AppData;
  focused_changed: AppData;
  text_select: SelectionData;
  caret: Record<string, unknown>;
  ui_reized: SelectionData;
  alt_enter_pressed: SelectionData;
  error: { message?: string; [key: string]: unknown };
  mouse_hoverd: Record<string, never>;
}
export type KorvaleEventName = keyof KorvaleEvents;

/** A JSON argument: a value to encode, or JSON text as it is. */
export type JSONArgument = string | object;

/** Runs GLib's default main context from a Node timer (Linux, outside Electron). */
export interface GLibPump {
  stop(): void;
  unref(): GLibPump;
}
export interface GLibPumpOptions {
  /** How often GLib is run, in milliseconds (default 10). */
  intervalMs?: number;
  /** At most this many dispatches each time (default 100). */
  max?: number;
}

/** A ksim_ call failed; the message is the library's ksim_last_error(). */
export class KorvaleError extends Error {}

/**
 * The library loaded into this process; one per process, every call on the main thread.
 * Each host event is emitted under its own name with its data, and as 'event'.
 */
export class Korvale extends EventEmitter {
  /** Loads the library: `path`, else KORVALE_LIBRARY, else libKorvale-Sim.so.0 (the nine exports and ksim_*). */
  constructor(path?: string);

  /** Throws from handlers and listeners, kept here: they must not unwind into the library. */
  readonly callbackErrors: unknown[];

  on<K extends KorvaleEventName>(event: K, listener: (data: KorvaleEvents[K]) => void): this;
  on(event: 'event', listener: (name: string, data: Record<string, unknown>, json: string) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once<K extends KorvaleEventName>(event: K, listener: (data: KorvaleEvents[K]) => void): this;
  once(event: 'event', listener: (name: string, data: Record<string, unknown>, json: string) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
  off<K extends KorvaleEventName>(event: K, listener: (data: KorvaleEvents[K]) => void): this;
  off(event: string | symbol, listener: (...args: any[]) => void): this;

  /** Registers the host callback and creates the monitor; `handler` receives every event. */
  init(handler?: ((name: string, data: Record<string, unknown>) => void) | null): void;
  isTrusted(): boolean;
  askForTrust(): boolean;
  addBlockedApps(bundleIds: string[] | string): void;
  start(blockedFields?: JSONArgument): void;
  setText(text: string): void;
  snapshot(): void;
  /** On Linux the window's X11 id; on the simulated desktop windowHandle(id). */
  addMouseTracker(windowHandle: unknown): void;
  /** Hands the library a null callback and releases the registration. */
  close(): void;
  /** See pumpGLib below. */
  pumpGLib(options?: GLibPumpOptions): GLibPump;

  // The simulated desktop (KorvaleSim.h).
  loadWorld(world: JSONArgument): void;
  perform(action: JSONArgument): void;
  run(seconds: number): void;
  now(): number;
  read(what: 'events' | 'stdout' | 'requests' | 'state' | 'monitor'): any;
  windowHandle(windowId: string): unknown;
}

/** Runs GLib's default main context every `intervalMs` until stop(). */
export function pumpGLib(options?: GLibPumpOptions): GLibPump;
/** Dispatches what is due on GLib's default context now; returns how many dispatches ran. */
export function iterateGLib(max?: number): number;
