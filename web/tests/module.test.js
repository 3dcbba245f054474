// The WebAssembly control against the simulated brick, on a fake clock.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load } from '../src/vostrel.js';

const v = await load();

test('the module loads once: every load gives the same classes', async () => {
  assert.equal(await load(), v);
});
const latin1 = (s) => Uint8Array.from(s, (c) => c.charCodeAt(0));

async function session(brickOptions = {}) {
  const clock = new v.FakeClock();
  const loop = new v.Loop(clock);
  const brick = new v.sim.Brick({ loop, pingEvery: 0, ...brickOptions });
  const nxt = new v.Vostrel(loop);
  const mails = [];
  nxt.onNewMail((box) => mails.push([box, nxt.readText(box)]));
  assert.equal(await nxt.connect(brick.port), 0, nxt.lastError?.message);
  await clock.advance(1);
  return { clock, brick, nxt, mails };
}

test('a session both ways: tone, texts and numbers out, echoes and keep-alives back', async () => {
  const { clock, brick, nxt, mails } = await session({ echoBoxes: [1], pingEvery: 3000 });
  assert.deepEqual(brick.tones, [[1000, 500]]);
  assert.equal(nxt.Connection, true);
  assert.equal(nxt.sendText(1, 'hi'), 0);
  assert.equal(nxt.sendValue(2, -5), 0);
  assert.equal(nxt.ErrorMessage, 'No errores');
  assert.equal(nxt.lastError, null);
  await clock.advance(10);
  assert.deepEqual(brick.stored(1), [latin1('hi\0')]);
  // The value goes as its magnitude, 4 bytes low first, and a NUL.
  assert.deepEqual(brick.stored(2), [Uint8Array.from([5, 0, 0, 0, 0])]);
  assert.deepEqual(mails, [[1, 'got hi']]);
  // The brick's keep-alive query is answered by the control on its own.
  await clock.advance(3000);
  assert.equal(brick.status().pingsSent, 1);
  assert.equal(brick.status().pingAnswers, 1);
  brick.sendText(7, 'from the brick');
  const next = nxt.nextMail(7, 1000);
  await clock.advance(5);
  assert.deepEqual(await next, latin1('from the brick\0'));
  assert.equal(await nxt.disconnect(), 0);
  assert.equal(nxt.Connection, false);
  assert.equal(brick.port.readable, null);
});

test('packets split over several reads and joined in one arrive whole, in order', async () => {
  const { clock, brick, mails } = await session({ echoBoxes: [1], split: 4, splitGap: 3 });
  brick.sendText(2, 'in five pieces', { pieces: 5, gap: 2 });
  brick.sendJoined([[3, 'a'], [4, 'b'], [5, 'c']]);
  await clock.advance(50);
  assert.deepEqual(mails, [[2, 'in five pieces'], [3, 'a'], [4, 'b'], [5, 'c']]);
});

test('the watchdog raises NoPing after each silent interval, and never while mail comes', async () => {
  const { clock, brick, nxt } = await session();
  let noPings = 0;
  nxt.onNoPing(() => noPings++);
  await clock.advance(v.WATCHDOG_INTERVAL - 10);
  assert.equal(noPings, 0);
  await clock.advance(10);
  assert.equal(noPings, 1);
  assert.equal(nxt.ErrorMessage, 'Ping error');
  await clock.advance(v.WATCHDOG_INTERVAL);
  assert.equal(noPings, 2);
  // Mail every 6 s keeps it quiet.
  for (let i = 0; i < 4; ++i) {
    brick.sendText(1, 'alive');
    await clock.advance(6000);
  }
  assert.equal(noPings, 2);
  nxt.PingNXT = false;
  await clock.advance(3 * v.WATCHDOG_INTERVAL);
  assert.equal(noPings, 2);
  nxt.PingNXT = true;
  nxt.watchdogInterval = 100;
  brick.sendText(1, 'restart');
  await clock.advance(105);
  assert.equal(noPings, 3);
});

test('a brick that goes away is a hang-up: sends fail with the reason, disconnect still closes', async () => {
  const { clock, brick, nxt } = await session();
  let hungUp = false;
  brick.port.addEventListener('disconnect', () => { hungUp = true; });
  brick.hangUp();
  await clock.advance(1);
  assert.ok(hungUp);
  assert.equal(nxt.sendText(1, 'lost'), 1);
  assert.equal(nxt.ErrorMessage, 'Error parameters for send');
  assert.equal(nxt.lastError.number, 8020);
  assert.match(nxt.lastError.message, /NetworkError: The device has been lost\.|the device was disconnected/);
  assert.equal(await nxt.disconnect(), 0);
  assert.equal(nxt.Connection, false);
  // The port is gone: connecting again says so.
  assert.equal(await nxt.connect(brick.port), 1);
  assert.equal(nxt.ErrorMessage, 'Connection error');
  assert.match(nxt.lastError.message, /cannot open serial port 0: NetworkError/);
});

test('bad arguments give the control\'s own results and errors', async () => {
  const { clock, brick, nxt } = await session();
  const results = [
    // [call, result, status]
    [() => nxt.SendText(10, 'x'), 1, 'Error parameters for send'],
    [() => nxt.SendText(-9, 'x'), 0, 'No errores'],
    [() => nxt.SendText(1, 'x'.repeat(59)), 1, 'Error parameters for send'],
    [() => nxt.SendText(1, 'x'.repeat(58)), 0, 'No errores'],
    [() => nxt.SendValue(-1, 5), 1, 'Error parameters for send'],
    [() => nxt.SendValue(10, 5), 1, 'Error parameters for send'],
    [() => nxt.ConnectNXT(0, 9600), 1, 'Connection error'],  // open already: the link stays
  ];
  for (const [call, result, status] of results) {
    assert.equal(call(), result, String(call));
    assert.equal(nxt.ErrorMessage, status, String(call));
  }
  assert.equal(nxt.Connection, false);  // the failed connect says so, as on every host
  await clock.advance(5);
  assert.deepEqual(brick.stored(1).map((m) => m.length), [59]);
  assert.equal(nxt.readText(10), 'Error!');
  assert.equal(nxt.readText(3), '-1');
  const errors = [
    [() => nxt.ReadText(-32768), v.Overflow, 6],
    [() => nxt.SendText(40000, 'x'), v.Overflow, 6],
    [() => nxt.SendValue(1, 2 ** 31), v.Overflow, 6],
    [() => nxt.SendText(1.5, 'x'), v.TypeMismatch, 13],
    [() => nxt.SendText('1', 'x'), v.TypeMismatch, 13],
    [() => nxt.SendText(1, 'caf\u0101'), v.TypeMismatch, 13],
    [() => nxt.SendText(1, { text: 'x' }), v.TypeMismatch, 13],
    [() => { nxt.watchdogInterval = 0; }, v.Overflow, 6],
  ];
  for (const [call, type, number] of errors)
    assert.throws(call, (e) => e instanceof type && e instanceof v.Error && e.number === number, String(call));
  assert.throws(() => nxt.onNewMail('not a function'), TypeError);
  assert.throws(() => brick.sendText(1, 'x'.repeat(59)), (e) => e instanceof v.Error && e.number === 5);
  assert.throws(() => nxt.nextMail(10), v.Overflow);
  // Nothing of the refused calls went out.
  await clock.advance(5);
  assert.deepEqual(brick.stored(1).map((m) => m.length), [59]);
});

test('a port number nobody chose, and a speed the line cannot take, fail the connect', async () => {
  const clock = new v.FakeClock();
  const loop = new v.Loop(clock);
  const brick = new v.sim.Brick({ loop, pingEvery: 0 });
  const nxt = new v.Vostrel(loop);
  assert.equal(nxt.ConnectNXT(3, 9600), 1);
  assert.equal(nxt.lastError.number, 8002);
  assert.match(nxt.lastError.message, /no serial port has been chosen as port 3/);
  nxt.usePort(brick.port, 3);
  assert.equal(nxt.ConnectNXT(3, 0), 1);
  assert.equal(nxt.lastError.number, 380);
  await brick.port.open({ baudRate: 9600 });
  assert.equal(nxt.ConnectNXT(3, 9600), 0);
  await clock.advance(1);
  assert.deepEqual(brick.tones, [[1000, 500]]);
});

test('bytes go out and come back unchanged, all 256 values', async () => {
  const { clock, brick, nxt } = await session({ echoBoxes: [] });
  const all = Uint8Array.from({ length: 58 }, (_, i) => (i * 37 + 200) & 0xff);
  assert.equal(nxt.SendText(1, all), 0);
  brick.sendText(2, all.subarray(0, 40));
  const back = nxt.nextMail(2, 100);
  await clock.advance(5);
  assert.deepEqual(brick.stored(1), [Uint8Array.from([...all, 0])]);
  assert.deepEqual(await back, Uint8Array.from([...all.subarray(0, 40), 0]));
});

test('the simulated brick sends its scheduled texts and numbers, on the loop\'s clock', async () => {
  const { clock, mails } = await session({ sendTexts: [[2, 'tick']], sendNumbers: [[3, 7]], sendEvery: 500, sendCount: 2 });
  await clock.advance(498);
  assert.deepEqual(mails, []);
  await clock.advance(1000);
  assert.deepEqual(mails.map(([box]) => box), [2, 3, 2, 3]);
  assert.equal(mails[0][1], 'tick');
  await clock.advance(5000);
  assert.equal(mails.length, 4);
});

test('a loop is freed only after the controls and bricks on it', async () => {
  const { clock, brick, nxt } = await session({ pingEvery: 1000 });
  assert.throws(() => nxt.loop.close(), /close the 2 control\(s\) and brick\(s\) on this loop first/);
  await clock.advance(1500);
  assert.equal(brick.status().pingAnswers, 1);  // still running
  nxt.close();
  brick.close();
  nxt.close();  // twice: nothing more
  nxt.loop.close();
  assert.equal(clock.due.size, 0);
  await clock.advance(5000);
});
