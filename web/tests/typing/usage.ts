// Compiled by the typing test: right uses type-check, wrong ones must not.
import { load, FakeClock, type Api, type Vostrel } from '../../src/vostrel.js';

async function session(): Promise<void> {
  const v: Api = await load();
  const loop = new v.Loop(new FakeClock());
  const brick = new v.sim.Brick({ loop, echoBoxes: [1], sendTexts: [[2, 'hi']] });
  const nxt: Vostrel = new v.Vostrel(loop);
  const result: 0 | 1 = await nxt.connect(brick.port, { baudRate: 9600 });
  nxt.onNewMail((box: number) => nxt.readText(box));
  const mail: Uint8Array = await nxt.nextMail(1, 1000);
  const why: string | undefined = nxt.lastError?.message;
  nxt.SendText(1, new Uint8Array([1, 2]));
  void [result, mail, why];
  // @ts-expect-error a mailbox is a number
  nxt.SendText('1', 'x');
  // @ts-expect-error ReadText gives bytes, not a string
  const s: string = nxt.ReadText(1);
  // @ts-expect-error the result is 0 or 1, not a boolean
  const ok: boolean = nxt.DisconnectNXT();
  // @ts-expect-error a no-ping handler takes no mailbox
  nxt.onNoPing((box: number) => box);
  void [s, ok];
}
void session;
import { Brick } from '../../src/vostrel.js';
// @ts-expect-error the classes come from load(), not from the module itself
void Brick;
