// The page: a control connected to a brick over Web Serial (or to the
// simulated brick), ten mailboxes to send to, the mail as it arrives. All
// text from the brick or the browser is shown as text, never as markup.
import { load } from '../src/vostrel.js';

const $ = (id) => document.getElementById(id);
const vostrel = await load();
const nxt = new vostrel.Vostrel();
let brick = null;
const MAIL_SHOWN = 200;  // lines kept in the list

// The mailbox rows.
for (let box = 0; box < vostrel.MAILBOX_COUNT; ++box) {
  const row = $('mailboxes').tBodies[0].insertRow();
  row.insertCell().textContent = String(box);
  const input = document.createElement('input');
  input.type = 'text';
  input.maxLength = 58;
  input.id = `text${box}`;
  input.setAttribute('aria-label', `text for mailbox ${box}`);
  row.insertCell().append(input);
  const text = document.createElement('button');
  text.textContent = 'Send text';
  text.id = `sendText${box}`;
  text.onclick = () => report(nxt.sendText(box, input.value));
  row.insertCell().append(text);
  const value = document.createElement('button');
  value.textContent = 'Send number';
  value.id = `sendValue${box}`;
  value.onclick = () => {
    const n = Number(input.value);
    if (!Number.isInteger(n)) return show('', `"${input.value}" is not a whole number`);
    try {
      report(nxt.sendValue(box, n));
    } catch (e) {
      show('', e.message);
    }
  };
  row.insertCell().append(value);
}

function show(state, why) {
  if (state) {
    $('state').textContent = state;
    $('state').dataset.state = state;
  }
  $('status').textContent = nxt.ErrorMessage;
  $('why').textContent = why ?? '';
}

function report(result) {
  show('', result === 0 ? '' : nxt.lastError?.message);
}

function escapeBytes(bytes) {
  // Printable ASCII as it is, anything else as \xNN.
  let out = '';
  for (const b of bytes) out += b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : `\\x${b.toString(16).padStart(2, '0')}`;
  return out;
}

nxt.onNewMail((box) => {
  const bytes = nxt.ReadText(box);
  const end = bytes.indexOf(0);
  const item = document.createElement('li');
  item.textContent = `${new Date().toLocaleTimeString()}  mailbox ${box}: ${escapeBytes(end < 0 ? bytes : bytes.subarray(0, end))}`;
  item.dataset.mailbox = String(box);
  $('mail').prepend(item);
  while ($('mail').children.length > MAIL_SHOWN) $('mail').lastElementChild.remove();
  if ($('state').dataset.state === 'silent') show('connected');
});
nxt.onNoPing(() => show('silent', 'the brick has sent nothing for 10 s'));

if (!('serial' in navigator)) {
  $('unsupported').hidden = false;
  $('simulated').checked = true;
}

$('connect').onclick = async () => {
  $('connect').disabled = true;
  let port;
  try {
    if ($('simulated').checked) {
      brick?.close();
      // Echoes every text, answers the control's keep-alive every 3 s.
      brick = new vostrel.sim.Brick({ echoBoxes: [1, 2, 3, 4, 5, 6, 7, 8, 9], pingEvery: 3000, reportTones: 9 });
      port = brick.port;
    } else {
      port = await vostrel.requestPort();
    }
  } catch (e) {
    $('connect').disabled = false;
    return show('', `no port chosen: ${e.message}`);
  }
  $('brickStatus').hidden = !brick || port !== brick.port;
  port.addEventListener('disconnect', () => show('lost', 'the device went away'));
  const result = await nxt.connect(port, { baudRate: 9600 });
  if (result === 0) {
    show('connected');
    $('disconnect').disabled = false;
  } else {
    show('not connected', nxt.lastError?.message);
    $('connect').disabled = false;
  }
};

$('disconnect').onclick = async () => {
  $('disconnect').disabled = true;
  const result = await nxt.disconnect();
  show('not connected', result === 0 ? '' : nxt.lastError?.message);
  $('connect').disabled = false;
};

// The simulated brick counts the keep-alive queries the control answered.
setInterval(() => {
  if (!brick || $('brickStatus').hidden) return;
  const status = brick.status();
  $('answers').textContent = String(status.pingAnswers);
  $('pings').textContent = String(status.pingsSent);
}, 500);

document.body.dataset.ready = 'true';
