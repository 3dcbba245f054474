// One open link over a Web Serial SerialPort (or anything of its shape): the
// port's readable stream read in a loop, each chunk handed to the control as
// it arrives; writes through the writable stream's writer, each reported
// done or failed; the port's `disconnect` event as a hang-up. Nothing here
// waits on the page's thread: every step is a promise continuation.

// Read errors after which Web Serial hands out a new readable stream: the
// bytes of that moment are lost, the port goes on.
const RECOVERABLE = new Set(['BufferOverrunError', 'BreakError', 'FramingError', 'ParityError']);
const REASON_LIMIT = 300;
const CLOSE_GRACE_MS = 500;  // how long closing lets accepted bytes go  // characters of a browser's reason kept

/** "Name: message" of a browser's error, bounded: it is data from outside. */
export function describe(error) {
  let text;
  if (error && typeof error === 'object' && 'name' in error) text = `${error.name}: ${error.message}`;
  else text = String(error);
  return text.length > REASON_LIMIT ? `${text.slice(0, REASON_LIMIT)}...` : text;
}

export class SerialLine {
  /** @param port a SerialPort, opened by the caller (or not: open() says so). */
  constructor(port) {
    this.port = port;
    this.openError = '';  // why the caller's open failed, if it did
    this.session = 0;
    this.closed = true;
    this.closing = Promise.resolve();
  }

  /** Starts the link; "" when it runs, else why it cannot. `report` has
   * received(session, bytes), written(session, count), failed(session, reason). */
  open(session, report) {
    if (this.openError) return this.openError;
    if (!this.port.readable || !this.port.writable) return 'InvalidStateError: the serial port is not open';
    this.session = session;
    this.report = report;
    this.closed = false;
    try {
      this.writer = this.port.writable.getWriter();
    } catch (e) {
      this.closed = true;
      return describe(e);
    }
    this.onDisconnect = () => this.fail('NotFoundError: the device was disconnected');
    this.port.addEventListener?.('disconnect', this.onDisconnect);
    this.reading = this.readLoop();
    return '';
  }

  async readLoop() {
    while (!this.closed) {
      const readable = this.port.readable;
      if (!readable) return this.fail('InvalidStateError: the port can no longer be read');
      let reader;
      try {
        reader = readable.getReader();
      } catch (e) {
        return this.fail(describe(e));
      }
      this.reader = reader;
      try {
        for (;;) {
          const { value, done } = await reader.read();
          if (this.closed) return;
          if (done) return this.fail("NetworkError: the port's stream ended");
          if (value && value.length) this.report.received(this.session, value);
        }
      } catch (e) {
        if (this.closed) return;
        if (!RECOVERABLE.has(e?.name)) return this.fail(describe(e));
      } finally {
        try {
          reader.releaseLock();
        } catch {
          // already released by close()
        }
      }
    }
  }

  write(bytes) {
    if (this.closed) return;
    const session = this.session;
    this.writer.write(bytes).then(
      () => this.report.written(session, bytes.length),
      (e) => {
        if (session === this.session) this.fail(describe(e));
      });
  }

  fail(reason) {
    if (this.closed) return;
    this.report.failed(this.session, reason);
  }

  /** Stops reading, lets the bytes already written go, closes the port. */
  close() {
    if (this.closed) return this.closing;
    this.closed = true;
    this.port.removeEventListener?.('disconnect', this.onDisconnect);
    const { reader, writer, port } = this;
    this.closing = (async () => {
      try {
        await reader?.cancel();
      } catch {
        // a failed stream cannot be cancelled; it is let go all the same
      }
      try {
        reader?.releaseLock();
      } catch {
        // released already
      }
      // Bytes already accepted get the same grace as on other systems;
      // after it the writer is aborted and they are lost.
      let timer;
      const grace = new Promise((resolve) => {
        timer = setTimeout(() => resolve('late'), CLOSE_GRACE_MS);
      });
      const closed = writer.close().then(() => 'done', () => 'failed');
      if ((await Promise.race([closed, grace])) === 'late') await writer.abort().catch(() => {});
      clearTimeout(timer);
      try {
        writer.releaseLock();
      } catch {
        // released already
      }
      try {
        await port.close();
      } catch {
        // a port that went away is closed already
      }
    })();
    return this.closing;
  }
}
