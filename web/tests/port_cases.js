// The Web Serial port code against a stand-in SerialPort: opening, reading,
// writing, the queue bound and every way the line can fail. Each case takes
// the loaded module and throws on a failed check; the Node tests and the
// page in headless Chromium run the same cases.
import { FakeSerialPort, mail } from './fake_serial_port.js';

function check(ok, what) {
  if (!ok) throw new Error(what);
}

async function connected(v) {
  const clock = new v.FakeClock();
  const loop = new v.Loop(clock);
  const nxt = new v.Vostrel(loop);
  const port = new FakeSerialPort();
  const mails = [];
  nxt.onNewMail((box) => mails.push([box, nxt.readText(box)]));
  check((await nxt.connect(port, { baudRate: 9600 })) === 0, `connect: ${nxt.lastError?.message}`);
  await clock.advance(1);
  return { clock, nxt, port, mails };
}

// The control's status after a send the line refuses.
function refused(nxt, what, number, reason) {
  check(nxt.SendText(1, 'x') === 1, `${what}: the send after it succeeded`);
  check(nxt.ErrorMessage === 'Error parameters for send', `${what}: status ${nxt.ErrorMessage}`);
  const e = nxt.lastError;
  check(e && e.number === number, `${what}: error ${e && e.number}, wanted ${number}`);
  check(e.message.includes(reason), `${what}: "${e.message}" does not say "${reason}"`);
}

export const portCases = {
  async 'open takes 8N1 at the speed asked, and the tone goes out'(v) {
    const { port } = await connected(v);
    check(port.options.baudRate === 9600 && port.options.dataBits === 8 && port.options.parity === 'none' &&
      port.options.stopBits === 1, `open options ${JSON.stringify(port.options)}`);
    check(port.written.join() === [6, 0, 0x00, 3, 0xe8, 3, 0xf4, 1].join(), `tone bytes ${port.written}`);
  },

  async 'an open the browser refuses fails the connect with its reason, holding nothing'(v) {
    const nxt = new v.Vostrel(new v.Loop(new v.FakeClock()));
    const port = new FakeSerialPort();
    port.openError = new DOMException('Failed to open serial port.', 'NetworkError');
    check((await nxt.connect(port)) === 1, 'connect succeeded');
    check(nxt.ErrorMessage === 'Connection error', `status ${nxt.ErrorMessage}`);
    check(nxt.lastError.number === 8020 && nxt.lastError.message.includes('NetworkError: Failed to open'),
      `lastError ${nxt.lastError.message}`);
    check(nxt.Connection === false, 'Connection');
    port.openError = null;
    check((await nxt.connect(port)) === 0, 'a retry after the refusal');
  },

  async 'bytes arrive split and joined, in order'(v) {
    const { clock, port, mails } = await connected(v);
    const a = mail(1, 'one');
    port.push(a.slice(0, 1));
    await clock.advance(1);
    port.push(a.slice(1, 5));
    await clock.advance(1);
    port.push([...a.slice(5), ...mail(2, 'two'), ...mail(3, 'three')]);
    await clock.advance(1);
    check(JSON.stringify(mails) === JSON.stringify([[1, 'one'], [2, 'two'], [3, 'three']]), JSON.stringify(mails));
  },

  async 'a recoverable read error loses only that read'(v) {
    const { clock, nxt, port, mails } = await connected(v);
    port.failRead('BufferOverrunError', 'overrun');
    await clock.advance(1);
    port.push(mail(4, 'after'));
    await clock.advance(1);
    check(JSON.stringify(mails) === JSON.stringify([[4, 'after']]), JSON.stringify(mails));
    check(nxt.SendText(1, 'still') === 0, `sending after the overrun: ${nxt.lastError?.message}`);
  },

  async 'a read failing with NetworkError is a hang-up'(v) {
    const { clock, nxt, port } = await connected(v);
    port.failRead('NetworkError', 'The device has been lost.');
    await clock.advance(1);
    refused(nxt, 'after the failed read', 8020, 'NetworkError: The device has been lost.');
    check((await nxt.disconnect()) === 0 && nxt.Connection === false, 'disconnect after the hang-up');
    check(port.closes === 1, `closes ${port.closes}`);
  },

  async 'the disconnect event is a hang-up'(v) {
    const { clock, nxt, port } = await connected(v);
    port.disconnect();
    await clock.advance(1);
    refused(nxt, 'after disconnect', 8020, 'disconnected');
  },

  async 'a stream that ends is a hang-up'(v) {
    const { clock, nxt, port } = await connected(v);
    port.endRead();
    await clock.advance(1);
    refused(nxt, 'after the stream ended', 8020, 'ended');
  },

  async 'a port gone mid-write fails the line, and the next send says why'(v) {
    const { clock, nxt, port } = await connected(v);
    port.holdWrites = true;
    check(nxt.SendText(1, 'pending') === 0, 'the send before the loss');
    await clock.advance(1);
    port.loseMidWrite();
    await clock.advance(1);
    refused(nxt, 'after the loss', 8020, 'NetworkError');
    check(nxt.unsent === 0, `unsent ${nxt.unsent}`);
  },

  async 'the writer holds at most 16 KiB; a packet that does not fit is refused whole'(v) {
    const { clock, nxt, port } = await connected(v);
    port.holdWrites = true;
    const text = 'x'.repeat(58);
    let sent = 0;
    while (nxt.SendText(1, text) === 0) sent++;
    const packet = 2 + 4 + 59;
    check(sent === Math.floor(v.OUTPUT_QUEUE_BYTES / packet), `sent ${sent}`);
    check(nxt.unsent === sent * packet, `unsent ${nxt.unsent}`);
    check(nxt.lastError.number === 8020 && nxt.lastError.message.includes('not taking bytes'),
      nxt.lastError.message);
    port.releaseWrites();
    await clock.advance(1);
    check(nxt.unsent === 0, `unsent after release ${nxt.unsent}`);
    check(nxt.SendText(1, text) === 0, 'a send once the writer caught up');
    await clock.advance(1);
    check(port.written.length === 8 + (sent + 1) * packet, `written ${port.written.length}`);
  },

  async 'a control freed while its writes are under way takes no report afterwards'(v) {
    const { clock, nxt, port } = await connected(v);
    port.holdWrites = true;
    check(nxt.SendText(1, 'pending') === 0, 'the send');
    await clock.advance(1);
    nxt.close();
    const failures = [];
    const onError = (e) => failures.push(String(e?.reason ?? e?.error ?? e));
    globalThis.process?.on('unhandledRejection', onError);
    globalThis.addEventListener?.('unhandledrejection', onError);
    try {
      port.releaseWrites();
      port.disconnect();
      await clock.advance(1);
    } finally {
      globalThis.process?.off('unhandledRejection', onError);
      globalThis.removeEventListener?.('unhandledrejection', onError);
    }
    check(failures.length === 0, failures.join('; '));
  },

  async 'after a reconnect, the old stream is not read into the new link'(v) {
    const { clock, nxt, port, mails } = await connected(v);
    const old = port.controller;
    check((await nxt.disconnect()) === 0, 'disconnect');
    check((await nxt.connect(port)) === 0, 'reconnect');
    try {
      old.enqueue(Uint8Array.from(mail(1, 'stale')));
    } catch {
      // cancelled, as it should be
    }
    port.push(mail(2, 'fresh'));
    await clock.advance(1);
    check(JSON.stringify(mails) === JSON.stringify([[2, 'fresh']]), JSON.stringify(mails));
  },
};
