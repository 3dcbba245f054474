// Headless Chromium loads the page from a local server and runs a whole
// session against the simulated brick, then runs the Web Serial port cases
// inside the page. Exits 1 naming what failed.
//   node tests/chromium.mjs   (CHROMIUM: the browser, /usr/bin/chromium by default)
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import { extname, normalize, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const root = fileURLToPath(new URL('..', import.meta.url));
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm' };

// The page's files as python3 -m http.server serves them, on loopback (a
// secure context, so navigator.serial exists).
const server = createServer(async (req, res) => {
  const path = normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname));
  if (path.includes('..')) return res.writeHead(403).end();
  try {
    const body = await readFile(join(root, path));
    res.writeHead(200, { 'content-type': types[extname(path)] ?? 'application/octet-stream' }).end(body);
  } catch {
    res.writeHead(404).end();
  }
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const base = `http://127.0.0.1:${server.address().port}`;

const failures = [];
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
  headless: true,
  // No sandbox as root; nothing reaches out to the network, which is closed here.
  args: ['--no-sandbox', '--disable-background-networking', '--disable-component-update',
    '--disable-default-apps', '--disable-sync', '--no-first-run', '--disable-features=Translate,MediaRouter'],
});
try {
  const page = await browser.newPage();
  page.on('pageerror', (e) => failures.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    if (m.type() === 'error') failures.push(`console: ${m.text()}`);
  });
  await page.goto(`${base}/demo/index.html`);
  await page.waitForSelector('body[data-ready="true"]', { timeout: 10000 });
  if (!(await page.evaluate(() => 'serial' in navigator && window.isSecureContext)))
    failures.push('navigator.serial is missing: the page is not a secure context');

  // A whole session against the simulated brick, through the page's controls.
  const text = (sel) => page.$eval(sel, (e) => e.textContent);
  await page.click('#simulated');
  await page.click('#connect');
  await page.waitForFunction(() => document.getElementById('state').dataset.state === 'connected', { timeout: 5000 });
  await page.waitForFunction(() => [...document.querySelectorAll('#mail li')].some(
    (li) => li.textContent.includes('mailbox 9: tone 1000 Hz 500 ms')), { timeout: 5000 });
  await page.type('#text3', 'hello <b>brick</b>');
  await page.click('#sendText3');
  await page.waitForFunction(() => [...document.querySelectorAll('#mail li')].some(
    (li) => li.textContent.endsWith('mailbox 3: got hello <b>brick</b>')), { timeout: 5000 });
  if (await page.$('#mail b')) failures.push('text from the brick was taken as markup');
  if ((await text('#status')) !== 'No errores') failures.push(`status after a send: ${await text('#status')}`);
  await page.click('#sendText3');  // empty text: still a message
  await page.type('#text5', '1234');
  await page.click('#sendValue5');
  await page.waitForFunction(() => [...document.querySelectorAll('#mail li')].some(
    (li) => li.textContent.endsWith('mailbox 5: got 1234')), { timeout: 5000 });
  // The brick's keep-alive query every 3 s, answered by the control.
  await page.waitForFunction(() => Number(document.getElementById('answers').textContent) >= 1,
    { timeout: 8000 }).catch(() => failures.push('no keep-alive query answered within 8 s'));
  await page.click('#disconnect');
  await page.waitForFunction(() => document.getElementById('state').dataset.state === 'not connected', { timeout: 5000 });
  if ((await text('#status')) !== 'No errores') failures.push(`status after disconnect: ${await text('#status')}`);

  // The Web Serial port code against the stand-in SerialPort, in the page.
  const results = await page.evaluate(async () => {
    const { load } = await import('/src/vostrel.js');
    const { portCases } = await import('/tests/port_cases.js');
    const v = await load();
    const out = [];
    for (const [name, run] of Object.entries(portCases)) {
      try {
        await run(v);
        out.push([name, null]);
      } catch (e) {
        out.push([name, String(e?.message ?? e)]);
      }
    }
    return out;
  });
  for (const [name, error] of results) {
    console.log(`${error ? 'not ok' : 'ok'} - in Chromium: ${name}${error ? `: ${error}` : ''}`);
    if (error) failures.push(`${name}: ${error}`);
  }
  if (results.length === 0) failures.push('no port case ran');
} finally {
  await browser.close();
  server.close();
}
if (failures.length) {
  for (const f of failures) console.error(`FAILED: ${f}`);
  process.exit(1);
}
console.log('ok - the page ran a session against the simulated brick in headless Chromium');
