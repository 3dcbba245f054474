// Vostrel for web pages: the control compiled to WebAssembly, on the page's
// event loop, talking to a LEGO NXT brick over Web Serial, and the simulated
// brick as a stand-in port. Names follow the Python module (docs/python.md);
// see docs/web.md.
import VostrelWasm from '../dist/vostrel_wasm.js';
import { SerialLine, describe } from './serial_line.js';

/** The Serial Port Profile's service class (0x1101), which the NXT offers. */
export const SERIAL_PORT_PROFILE = '00001101-0000-1000-8000-00805f9b34fb';

export class Error extends globalThis.Error {
  constructor(number, message) {
    super(message);
    this.name = 'VostrelError';
    this.number = number;
  }
}
export class Overflow extends Error {}
export class TypeMismatch extends Error {}

function makeError({ number, message }) {
  if (number === 6) return new Overflow(number, message);
  if (number === 13) return new TypeMismatch(number, message);
  return new Error(number, message);
}

function typeName(v) {
  return v === null ? 'null' : Array.isArray(v) ? 'array' : typeof v;
}

function whole(value, name, lo, hi) {
  if (typeof value === 'boolean') value = value ? -1 : 0;
  if (typeof value !== 'number' || !Number.isInteger(value))
    throw new TypeMismatch(13, `${name}: expected a whole number, got ${typeName(value)}`);
  if (value < lo || value > hi) throw new Overflow(6, `${name}: ${value} is outside ${lo} to ${hi}`);
  return value;
}
const integer = (v, name) => whole(v, name, -32768, 32767);
const long = (v, name) => whole(v, name, -2147483648, 2147483647);

// A text goes out one byte per character (Latin-1), or as the bytes given.
function bytes(value, name) {
  if (value instanceof Uint8Array) return value;
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  if (typeof value !== 'string')
    throw new TypeMismatch(13, `${name}: expected a string or bytes, got ${typeName(value)}`);
  const out = new Uint8Array(value.length);
  for (let i = 0; i < value.length; ++i) {
    const c = value.charCodeAt(i);
    if (c > 0xff)
      throw new TypeMismatch(13, `${name}: character U+${c.toString(16).toUpperCase().padStart(4, '0')} ` +
        `at position ${i} has no one-byte code (texts go out one byte per character, Latin-1; ` +
        'pass a Uint8Array to choose the encoding)');
    out[i] = c;
  }
  return out;
}

const fromLatin1 = (s) => Uint8Array.from(s, (c) => c.charCodeAt(0));
const toLatin1 = (b) => String.fromCharCode(...b);
const boolean = (raw) => (raw === -1 ? true : raw === 0 ? false : raw);

// What the module needs once: the compiled wasm, in pages and under Node.
let modulePromise;
async function wasmBytes() {
  const url = new URL('../dist/vostrel_wasm.wasm', import.meta.url);
  if (typeof process !== 'undefined' && process.versions?.node && url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new globalThis.Error(`cannot load ${url}: ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

function checked(raw, result) {
  const thrown = raw.takeThrown();
  if (thrown) throw makeError(thrown);
  return result;
}

/** The page's own clock: performance.now() and setTimeout. */
export const pageClock = {
  now: () => performance.now(),
  schedule(loop, ms) {
    clearTimeout(loop._timer);
    if (ms === Infinity) return;
    loop._timer = setTimeout(() => loop._raw.runDue(), Math.max(0, ms - performance.now()));
  },
  cancel(loop) {
    clearTimeout(loop._timer);
  },
};

/** A clock that moves only when told, for tests of the watchdog and timing. */
export class FakeClock {
  constructor(start = 0) {
    this.time = start;
    this.due = new Map();  // loop -> ms
  }
  now() {
    return this.time;
  }
  schedule(loop, ms) {
    this.due.set(loop, ms);
  }
  cancel(loop) {
    this.due.delete(loop);
  }
  /** Moves the clock `ms` on, running every timer that falls due on the way
   * at its time, and letting the page's promises settle after each. */
  async advance(ms) {
    const end = this.time + ms;
    for (;;) {
      await settle();
      let next = null;
      for (const [loop, due] of this.due) if (due <= end && (!next || due < next[1])) next = [loop, due];
      if (!next) break;
      this.time = Math.max(this.time, next[1]);
      this.due.delete(next[0]);
      next[0]._raw.runDue();
    }
    this.time = end;
    await settle();
  }
}

/** Lets pending promise continuations (stream reads and writes) run. */
export function settle() {
  return new Promise((resolve) => setTimeout(resolve, 0));
}

/** Loads the module once; every call gives the same classes. */
export function load() {
  modulePromise ??= wasmBytes()
    .then((wasmBinary) => VostrelWasm({ wasmBinary }))
    .then(makeApi);
  return modulePromise;
}

function makeApi(M) {
  class Loop {
    /** The control's event loop on `clock` (the page's own by default). */
    constructor(clock = pageClock) {
      this.clock = clock;
      this._users = 0;
      this._raw = new M.Loop({
        now: () => clock.now(),
        wakeAt: (ms) => clock.schedule(this, ms),
        uncaught: (text) => console.error(`vostrel: ${text}`),
      });
    }
    /** Stops its timers and frees it; refused while a control or brick on it is not closed. */
    close() {
      if (!this._raw) return;
      // Their timers live in the loop: freeing it under them would corrupt memory.
      if (this._users > 0)
        throw new globalThis.Error(`close the ${this._users} control(s) and brick(s) on this loop first`);
      this.clock.cancel(this);
      this._raw.delete();
      this._raw = null;
    }
  }
  let defaultLoop;

  class Vostrel {
    /** A control on `loop` (the page's by default). */
    constructor(loop = (defaultLoop ??= new Loop())) {
      this.loop = loop;
      loop._users++;
      this._lines = new Map();  // port number -> SerialLine
      this._line = null;  // the open one
      this._mailHandlers = [];
      this._pingHandlers = [];
      this._takers = [];
      const self = this;
      // A line's reports can come after close() freed the control.
      const report = {
        received: (session, data) => self._raw && self._raw.received(session, data),
        written: (session, count) => self._raw && self._raw.written(session, count),
        failed: (session, reason) => self._raw && self._raw.failed(session, reason),
      };
      this._raw = new M.Control(loop._raw, {
        has: (n) => self._lines.has(n),
        open(n, settings, session) {
          const line = self._lines.get(n);
          const why = line.open(session, report);
          if (!why) self._line = line;
          return why;
        },
        write(session, data) {
          if (self._line?.session === session) self._line.write(data);
        },
        close(session) {
          if (self._line?.session === session) self._line.close();
        },
      }, {
        newMail: (box) => self._newMail(box),
        noPing: () => self._call(self._pingHandlers, []),
        unhandled: (text) => console.error(`vostrel: ${text}`),
      });
    }

    // --- the control's members, as in every other host -------------------
    get Connection() { return boolean(this._raw.getConnection()); }
    set Connection(v) { checked(this._raw, this._raw.setConnection(integer(v, 'Connection'))); }
    get ErrorMessage() { return this._raw.getErrorMessage(); }
    set ErrorMessage(v) { checked(this._raw, this._raw.setErrorMessage(bytes(v, 'ErrorMessage'))); }
    get PingNXT() { return boolean(this._raw.getPingNXT()); }
    set PingNXT(v) { checked(this._raw, this._raw.setPingNXT(integer(v, 'PingNXT'))); }

    SendValue(mailbox, value) {
      const box = integer(mailbox, 'MailBox');
      return checked(this._raw, this._raw.SendValue(box, long(value, 'Value')));
    }
    SendText(mailbox, mail) {
      const box = integer(mailbox, 'MailBox');
      return checked(this._raw, this._raw.SendText(box, bytes(mail, 'Mail')));
    }
    ConnectNXT(portNumber, baudRate) {
      const port = integer(portNumber, 'PortNumber');
      return checked(this._raw, this._raw.ConnectNXT(port, integer(baudRate, 'BoudRate')));
    }
    DisconnectNXT() { return checked(this._raw, this._raw.DisconnectNXT()); }
    ReadText(mailbox) {
      return fromLatin1(checked(this._raw, this._raw.ReadText(integer(mailbox, 'MsgBox'))));
    }

    // --- what a JavaScript host expects ------------------------------------
    /** Chooses `port` (a SerialPort, or a simulated brick's port) as port
     * `portNumber` for ConnectNXT, without opening it. */
    usePort(port, portNumber = 0) {
      integer(portNumber, 'PortNumber');
      this._lines.set(portNumber, new SerialLine(port));
    }

    /** Opens `port` (a SerialPort from navigator.serial.requestPort, or
     * brick.port) and connects: the brick beeps and the watchdog starts.
     * Resolves with ConnectNXT's result, 0 or 1 (ErrorMessage and lastError
     * say why). */
    async connect(port, { baudRate = 9600, portNumber = 0 } = {}) {
      integer(baudRate, 'BoudRate');
      this.usePort(port, portNumber);
      const line = this._lines.get(portNumber);
      let openedHere = false;
      if (!port.readable) {
        try {
          await port.open({ baudRate, dataBits: 8, parity: 'none', stopBits: 1 });
          openedHere = true;
        } catch (e) {
          line.openError = describe(e);
        }
      }
      const result = this.ConnectNXT(portNumber, baudRate);
      if (result !== 0 && openedHere && this._line !== line) await port.close().catch(() => {});
      return result;
    }

    /** DisconnectNXT, then waits until the port is closed. */
    async disconnect() {
      const line = this._line;
      const result = this.DisconnectNXT();
      if (line) await line.closing;
      return result;
    }

    sendText(mailbox, text) { return this.SendText(mailbox, text); }
    sendValue(mailbox, value) { return this.SendValue(mailbox, value); }
    /** The text of `mailbox` up to its closing NUL, one character a byte,
     * and empties the slot ("" once taken, "-1" never filled). */
    readText(mailbox) {
      const b = this.ReadText(mailbox);
      const end = b.indexOf(0);
      return toLatin1(end < 0 ? b : b.subarray(0, end));
    }
    get connected() { return this.Connection === true; }
    get errorMessage() { return this.ErrorMessage; }
    /** Why the last SendValue, SendText, ConnectNXT or DisconnectNXT failed:
     * an Error with the control's number and the browser's reason; null
     * when it succeeded. */
    get lastError() {
      const e = this._raw.lastError();
      return e ? makeError(e) : null;
    }
    /** The watchdog's interval in ms (10000). */
    get watchdogInterval() { return this._raw.getWatchdogInterval(); }
    set watchdogInterval(ms) {
      checked(this._raw, this._raw.setWatchdogInterval(whole(ms, 'watchdogInterval', 1, 2147483647)));
    }
    /** Bytes accepted that the port's writer has not finished (at most 16 KiB). */
    get unsent() { return this._raw.unsent(); }

    /** handler(mailbox) for every text that arrives; returns the handler. */
    onNewMail(handler) { return this._add(this._mailHandlers, handler); }
    /** handler() when the brick has been silent one watchdog interval. */
    onNoPing(handler) { return this._add(this._pingHandlers, handler); }
    removeHandler(handler) {
      for (const list of [this._mailHandlers, this._pingHandlers]) {
        const i = list.indexOf(handler);
        if (i >= 0) list.splice(i, 1);
      }
    }
    /** The next text for `mailbox` (0 to 9), as bytes; rejects after
     * `timeout` ms (none: waits for ever). It is read for the promise, so the
     * onNewMail handlers find the slot empty. */
    nextMail(mailbox, timeout) {
      whole(mailbox, 'mailbox', 0, M.MAILBOX_COUNT - 1);
      return new Promise((resolve, reject) => {
        const taker = { mailbox, resolve };
        this._takers.push(taker);
        if (timeout !== undefined) {
          taker.timer = setTimeout(() => {
            this._takers.splice(this._takers.indexOf(taker), 1);
            reject(new globalThis.Error(`no mail for mailbox ${mailbox} within ${timeout} ms`));
          }, timeout);
        }
      });
    }

    /** Closes the port (as DisconnectNXT) and frees the control. */
    close() {
      if (!this._raw) return;
      this.DisconnectNXT();
      this._raw.delete();
      this._raw = null;
      this.loop._users--;
    }

    _add(list, handler) {
      if (typeof handler !== 'function')
        throw new TypeError(`a handler is a function, not ${typeName(handler)}`);
      list.push(handler);
      return handler;
    }
    _call(list, args) {
      for (const h of [...list]) {
        try {
          h(...args);
        } catch (e) {
          // A handler's failure never stops the others or the control.
          console.error('vostrel: an event handler failed:', e);
        }
      }
    }
    _newMail(box) {
      const takers = this._takers.filter((t) => t.mailbox === box);
      if (takers.length) {
        const text = this.ReadText(box);
        this._takers = this._takers.filter((t) => t.mailbox !== box);
        for (const t of takers) {
          clearTimeout(t.timer);
          t.resolve(text);
        }
      }
      this._call(this._mailHandlers, [box]);
    }
  }

  /** The simulated brick, on the page's loop: its `port` has the shape of a
   * Web Serial SerialPort, so a control connects to it as to a real one. */
  class Brick {
    constructor({ loop = (defaultLoop ??= new Loop()), ...options } = {}) {
      const o = { ...options };
      if ('pingText' in o) o.pingText = bytes(o.pingText, 'pingText');
      if ('sendTexts' in o) o.sendTexts = Array.from(o.sendTexts, ([box, text]) => [box, bytes(text, 'sendTexts')]);
      this.loop = loop;
      loop._users++;
      this.port = new SimulatedPort(this);
      this._raw = new M.Brick(loop._raw, o, (data) => this.port._deliver(data));
    }
    sendText(mailbox, text, { pieces = 1, gap = 0 } = {}) {
      checked(this._raw, this._raw.sendText(mailbox, bytes(text, 'text'), pieces, gap));
    }
    sendNumber(mailbox, value) { checked(this._raw, this._raw.sendNumber(mailbox, long(value, 'value'))); }
    /** Several [mailbox, text] messages, framed, in one write. */
    sendJoined(messages) {
      checked(this._raw, this._raw.sendJoined(messages.map(([b, t]) => [b, bytes(t, 'text')])));
    }
    sendGarbage(data) { this._raw.sendGarbage(bytes(data, 'data')); }
    goSilent(ms) { this._raw.goSilent(ms); }
    stopProgram() { this._raw.stopProgram(); }
    startProgram() { this._raw.startProgram(); }
    /** The line is gone: the port's read fails with a NetworkError and it
     * fires `disconnect`, as a brick switched off would. */
    hangUp() {
      this._raw.hangUp();
      this.port._lose();
    }
    /** Every message stored for `mailbox` (0 to 19), as bytes, NUL included. */
    stored(mailbox) { return this._raw.stored(mailbox).map(fromLatin1); }
    get tones() { return this._raw.status().tones; }
    status() { return this._raw.status(); }
    close() {
      if (!this._raw) return;
      this.port._lose();
      this._raw.delete();
      this._raw = null;
      this.loop._users--;
    }
  }

  // A SerialPort of the simulated brick: open, close, readable, writable,
  // getInfo and the disconnect event, as navigator.serial hands out.
  class SimulatedPort extends EventTarget {
    constructor(brick) {
      super();
      this._brick = brick;
      this.readable = null;
      this.writable = null;
      this.connected = true;
    }
    getInfo() { return {}; }
    async open() {
      if (!this.connected) throw new DOMException('The device has been lost.', 'NetworkError');
      if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
      this.readable = new ReadableStream({ start: (c) => { this._controller = c; } });
      const brick = this._brick;
      this.writable = new WritableStream({ write: (chunk) => brick._raw?.receive(chunk) });
    }
    async close() {
      this._controller = null;
      this.readable = null;
      this.writable = null;
    }
    _deliver(data) {
      try {
        this._controller?.enqueue(data);
      } catch {
        // the reader went away: a brick's radio loses the bytes too
      }
    }
    _lose() {
      if (!this.connected) return;
      this.connected = false;
      const lost = new DOMException('The device has been lost.', 'NetworkError');
      try {
        this._controller?.error(lost);
      } catch {
        // closed already
      }
      this.writable?.abort(lost).catch(() => {});
      this._controller = null;
      this.readable = null;
      this.writable = null;
      this.dispatchEvent(new Event('disconnect'));
    }
  }

  return {
    Vostrel, Loop, Error, Overflow, TypeMismatch, FakeClock, settle,
    sim: { Brick },
    MAILBOX_COUNT: M.MAILBOX_COUNT,
    WATCHDOG_INTERVAL: M.WATCHDOG_INTERVAL,
    OUTPUT_QUEUE_BYTES: M.OUTPUT_QUEUE_BYTES,
    SERIAL_PORT_PROFILE,
    /** Asks the browser for a Bluetooth or USB serial port (a user gesture
     * must lead here, a click say). */
    requestPort: () => navigator.serial.requestPort({ allowedBluetoothServiceClassIds: [SERIAL_PORT_PROFILE] }),
  };
}
