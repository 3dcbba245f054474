// A stand-in of the browser's SerialPort, driven by a test: what is read,
// how writes end, when the device goes away. Runs in Node and in Chromium.
export class FakeSerialPort extends EventTarget {
  constructor() {
    super();
    this.readable = null;
    this.writable = null;
    this.written = [];         // every byte the writer finished
    this.openError = null;     // a DOMException open() rejects with
    this.holdWrites = false;   // writes stay unfinished until releaseWrites()
    this.held = [];
    this.opens = 0;
    this.closes = 0;
  }
  getInfo() { return { usbVendorId: 0x0694 }; }
  async open(options) {
    if (this.openError) throw this.openError;
    if (this.readable) throw new DOMException('The port is already open.', 'InvalidStateError');
    this.options = options;
    this.opens++;
    this.newReadable();
    this.writable = new WritableStream({
      write: (chunk) => {
        if (!this.holdWrites) {
          this.written.push(...chunk);
          return undefined;
        }
        return new Promise((resolve, reject) => this.held.push({ chunk, resolve, reject }));
      },
    });
  }
  newReadable() {
    this.readable = new ReadableStream({ start: (c) => { this.controller = c; } });
  }
  async close() {
    this.closes++;
    this.readable = null;
    this.writable = null;
  }
  /** Bytes the device sends. */
  push(bytes) { this.controller.enqueue(Uint8Array.from(bytes)); }
  /** The current read fails; a recoverable error gets a new readable stream,
   * as Web Serial does. */
  failRead(name, message = 'read failed') {
    const c = this.controller;
    if (name !== 'NetworkError') this.newReadable();
    else this.readable = null;
    c.error(new DOMException(message, name));
  }
  endRead() { this.controller.close(); }
  releaseWrites() {
    this.holdWrites = false;
    for (const { chunk, resolve } of this.held.splice(0)) {
      this.written.push(...chunk);
      resolve();
    }
  }
  /** The device goes away while a write is under way. */
  loseMidWrite() {
    for (const { reject } of this.held.splice(0)) reject(new DOMException('The device has been lost.', 'NetworkError'));
  }
  disconnect() { this.dispatchEvent(new Event('disconnect')); }
}

/** A brick's MESSAGEWRITE to the host's `mailbox`, framed: 80 09 box size text 00. */
export function mail(mailbox, text) {
  const body = [0x80, 0x09, mailbox, text.length + 1, ...Array.from(text, (c) => c.charCodeAt(0)), 0];
  return [body.length & 0xff, body.length >> 8, ...body];
}
