// Type declarations of the vostrel module (vostrel.js).

/** The Serial Port Profile's service class UUID (0x1101), which the NXT offers. */
export const SERIAL_PORT_PROFILE: string;

/** The control's error: `number` as on every host (6 overflow, 13 type
 * mismatch, 380 invalid setting, 8002 no such port, 8020 device I/O, ...). */
export class Error extends globalThis.Error {
  constructor(number: number, message: string);
  readonly number: number;
}
/** Error 6: a value does not fit (a mailbox beyond 16 bits, ReadText(-32768)). */
export class Overflow extends Error {}
/** Error 13: a value of the wrong kind (not a whole number, a character beyond Latin-1). */
export class TypeMismatch extends Error {}

/** What a control's loop reads the time from and asks to be woken by. */
export interface Clock {
  /** Milliseconds on a monotonic clock. */
  now(): number;
  /** Run loop's due timers at `ms` (Infinity: nothing due); replaces the last request. */
  schedule(loop: Loop, ms: number): void;
  cancel(loop: Loop): void;
}

/** performance.now() and setTimeout. */
export const pageClock: Clock;

/** A clock that moves only when told. */
export class FakeClock implements Clock {
  constructor(start?: number);
  time: number;
  now(): number;
  schedule(loop: Loop, ms: number): void;
  cancel(loop: Loop): void;
  /** Moves `ms` on, running the timers due on the way and letting promises settle. */
  advance(ms: number): Promise<void>;
}

/** Resolves once pending promise continuations (stream reads, writes) have run. */
export function settle(): Promise<void>;

/** The control's event loop on a clock (the page's by default). */
declare class Loop {
  constructor(clock?: Clock);
  readonly clock: Clock;
  /** Stops its timers and frees it; throws while a control or brick on it is not closed. */
  close(): void;
}

/** A text: one byte per character (Latin-1), or the bytes themselves. */
export type Text = string | Uint8Array | ArrayBuffer | ArrayBufferView;
/** True for -1, false for 0, the number stored otherwise. */
export type BooleanValue = boolean | number;

/** The shape of a Web Serial SerialPort that the control uses. */
export interface SerialPortLike extends EventTarget {
  readonly readable: ReadableStream<Uint8Array> | null;
  readonly writable: WritableStream<Uint8Array> | null;
  open(options: { baudRate: number; dataBits?: number; parity?: string; stopBits?: number }): Promise<void>;
  close(): Promise<void>;
}

/** The control. Results are 0 (done) or 1 (refused or failed: ErrorMessage
 * and lastError say why); errors are thrown only where every host's control
 * throws them, and for arguments of the wrong kind or size. */
declare class Vostrel {
  constructor(loop?: Loop);
  readonly loop: Loop;

  Connection: BooleanValue;
  ErrorMessage: string;
  PingNXT: BooleanValue;
  /** Sends |value| to mailbox 0 to 9. */
  SendValue(mailbox: number, value: number): 0 | 1;
  /** Sends a text of 0 to 58 bytes to mailbox -9 to 9. */
  SendText(mailbox: number, mail: Text): 0 | 1;
  /** Connects over the port chosen as `portNumber` (usePort or connect). */
  ConnectNXT(portNumber: number, baudRate: number): 0 | 1;
  DisconnectNXT(): 0 | 1;
  /** The bytes stored for a mailbox, closing NUL included; empties the slot. */
  ReadText(mailbox: number): Uint8Array;

  /** Chooses `port` as port `portNumber` (0) for ConnectNXT, without opening it. */
  usePort(port: SerialPortLike, portNumber?: number): void;
  /** Opens `port` at `baudRate` (9600), 8N1, and connects: ConnectNXT's result. */
  connect(port: SerialPortLike, options?: { baudRate?: number; portNumber?: number }): Promise<0 | 1>;
  /** DisconnectNXT, then waits until the port is closed. */
  disconnect(): Promise<0 | 1>;
  sendText(mailbox: number, text: Text): 0 | 1;
  sendValue(mailbox: number, value: number): 0 | 1;
  /** The text of a mailbox up to its NUL, one character a byte; empties the slot. */
  readText(mailbox: number): string;
  readonly connected: boolean;
  readonly errorMessage: string;
  /** Why the last SendValue, SendText, ConnectNXT or DisconnectNXT failed; null when it did not. */
  readonly lastError: Error | null;
  /** The watchdog's interval in ms (10000). */
  watchdogInterval: number;
  /** Bytes accepted that the port's writer has not finished (at most 16 KiB). */
  readonly unsent: number;

  onNewMail<H extends (mailbox: number) => unknown>(handler: H): H;
  onNoPing<H extends () => unknown>(handler: H): H;
  removeHandler(handler: (...args: never[]) => unknown): void;
  /** The next text for a mailbox (0 to 9); rejects after `timeout` ms. */
  nextMail(mailbox: number, timeout?: number): Promise<Uint8Array>;
  /** DisconnectNXT, and frees the control. */
  close(): void;
}

export interface BrickOptions {
  loop?: Loop;
  /** Whether a program runs (without one the brick refuses messages). */
  program?: boolean;
  /** Keep-alive queries: every `pingEvery` ms (3000; 0: none), to `pingBox` (0), the text `pingText` ("?"). */
  pingEvery?: number;
  pingBox?: number;
  pingText?: Text;
  /** Mailboxes whose texts are echoed as "got <text>", to `replyBox` (-1: the same). */
  echoBoxes?: number[];
  replyBox?: number;
  /** Mailbox each tone heard is reported to (-1: none). */
  reportTones?: number;
  /** Messages sent every `sendEvery` ms (1000), `sendCount` times (0: no end). */
  sendTexts?: Array<[number, Text]>;
  sendNumbers?: Array<[number, number]>;
  sendEvery?: number;
  sendCount?: number;
  /** Every program message in `split` writes, `splitGap` ms apart. */
  split?: number;
  splitGap?: number;
}

export interface BrickStatus {
  tones: Array<[number, number]>;
  pingsSent: number;
  pingAnswers: number;
  wrongAnswers: number;
  keepAlives: number;
  bytesIn: number;
  bytesOut: number;
  silent: boolean;
  hungUp: boolean;
}

/** The simulated brick; `port` has the shape of a Web Serial SerialPort. */
declare class Brick {
  constructor(options?: BrickOptions);
  readonly loop: Loop;
  readonly port: SerialPortLike;
  sendText(mailbox: number, text: Text, options?: { pieces?: number; gap?: number }): void;
  sendNumber(mailbox: number, value: number): void;
  sendJoined(messages: Array<[number, Text]>): void;
  sendGarbage(data: Text): void;
  goSilent(ms: number): void;
  stopProgram(): void;
  startProgram(): void;
  /** The port's read fails with a NetworkError and it fires `disconnect`. */
  hangUp(): void;
  stored(mailbox: number): Uint8Array[];
  readonly tones: Array<[number, number]>;
  status(): BrickStatus;
  close(): void;
}

export interface Api {
  Vostrel: typeof Vostrel;
  Loop: typeof Loop;
  Error: typeof Error;
  Overflow: typeof Overflow;
  TypeMismatch: typeof TypeMismatch;
  FakeClock: typeof FakeClock;
  settle: typeof settle;
  sim: { Brick: typeof Brick };
  MAILBOX_COUNT: number;
  WATCHDOG_INTERVAL: number;
  OUTPUT_QUEUE_BYTES: number;
  SERIAL_PORT_PROFILE: string;
  /** navigator.serial.requestPort for Bluetooth (Serial Port Profile) or USB serial ports. */
  requestPort(): Promise<SerialPortLike>;
}

/** Loads the WebAssembly module (once) and gives its classes. */
export function load(): Promise<Api>;

// The classes come from load(); their types are named here for annotations.
export type { Vostrel, Loop, Brick };
