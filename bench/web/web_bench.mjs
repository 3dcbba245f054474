// The WebAssembly control's speed under Node: the keep-alive echo's
// turnaround inside the module (a brick's query handed to the control until
// its answer is handed to the port's writer), the receive rate of whole
// packets handed to the control, and mails per second from the simulated
// brick through the SerialPort stand-in's streams. Prints figures; the
// native library's are printed by control_bench and roundtrip_bench.
//   node bench/web/web_bench.mjs [--echoes N] [--mails N]
import { load } from '../../web/src/vostrel.js';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const i = args.indexOf(name);
  return i >= 0 ? Number(args[i + 1]) : fallback;
};
const echoes = option('--echoes', 20000);
const mailCount = option('--mails', 20000);

const v = await load();
const quantile = (sorted, q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];

// A SerialPort whose streams do nothing: only the control's own work and the
// port code's hand-over are timed.
function quietPort() {
  return {
    readable: new ReadableStream(),
    writable: new WritableStream(),
    async open() {},
    async close() {},
  };
}

// A brick's MESSAGEWRITE to the host's mailbox 0 with "?": a keep-alive query.
const frame = (box, text) => {
  const body = [0x80, 0x09, box, text.length + 1, ...Array.from(text, (c) => c.charCodeAt(0)), 0];
  return Uint8Array.from([body.length, 0, ...body]);
};

async function turnaround() {
  const nxt = new v.Vostrel(new v.Loop(new v.FakeClock()));
  await nxt.connect(quietPort());
  const line = nxt._line;
  let answered = 0;
  const write = line.write.bind(line);
  line.write = (bytes) => {
    answered = performance.now();
    write(bytes);
  };
  const query = frame(0, '?');
  const session = line.session;
  const times = [];
  for (let i = 0; i < echoes; ++i) {
    const t0 = performance.now();
    nxt._raw.received(session, query);
    times.push((answered - t0) * 1000);
    nxt.ReadText(0);
    if (i % 1000 === 0) nxt._raw.written(session, 1e9);  // the writer caught up
  }
  times.sort((a, b) => a - b);
  console.log(`keep-alive echo turnaround inside the module (${echoes} queries): ` +
    `p50 ${quantile(times, 0.5).toFixed(1)} us  p99 ${quantile(times, 0.99).toFixed(1)} us  ` +
    `max ${times[times.length - 1].toFixed(1)} us`);
  nxt.close();
}

async function receiveRate() {
  const nxt = new v.Vostrel(new v.Loop(new v.FakeClock()));
  await nxt.connect(quietPort());
  let mails = 0;
  nxt.onNewMail(() => mails++);
  const packet = frame(1, 'hello');
  const session = nxt._line.session;
  const n = 200000;
  const t0 = performance.now();
  for (let i = 0; i < n; ++i) nxt._raw.received(session, packet);
  const s = (performance.now() - t0) / 1000;
  if (mails !== n) throw new Error(`lost mail: ${mails} of ${n}`);
  console.log(`receive, one 12-byte packet per read, handed to the control: ${(n / s).toFixed(0)} mails/s`);
  nxt.close();
}

async function fromBrick() {
  // The page's own clock: the brick writes from its timers as a page runs them.
  const loop = new v.Loop();
  const brick = new v.sim.Brick({ loop, pingEvery: 0 });
  const nxt = new v.Vostrel(loop);
  if ((await nxt.connect(brick.port)) !== 0) throw new Error(nxt.lastError.message);
  let mails = 0;
  let done;
  const all = new Promise((resolve) => { done = resolve; });
  nxt.onNewMail((box) => {
    nxt.ReadText(box);
    if (++mails === mailCount) done();
  });
  const t0 = performance.now();
  for (let i = 0; i < mailCount; ++i) brick.sendText(1 + (i % 9), 'hello');
  await all;
  const s = (performance.now() - t0) / 1000;
  console.log(`mails from the simulated brick through the port's streams (${mailCount}): ` +
    `${(mailCount / s).toFixed(0)} mails/s`);
  await nxt.disconnect();
  brick.close();
  loop.close();
}

console.log(`node ${process.version}, ${process.arch}`);
await turnaround();
await receiveRate();
await fromBrick();
process.exit(0);
