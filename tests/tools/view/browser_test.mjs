// The viewer's page in Debian's chromium, headless, on the software
// renderer: starts a viewer server (the program after `--`), loads the page
// and checks what a person would: points on the canvas, step, sensor
// toggles, seek, and a console without errors. Exit 77 (skipped) where no
// chromium is installed.
//
//   node browser_test.mjs --modules DIR [--live] [--screenshot FILE] [--seek SECONDS]
//        [--feed 'PROGRAM ARGS'] -- PROGRAM ARGS...
// `{udp}` in the arguments becomes a free UDP port on 127.0.0.1, the same in
// both commands: the viewer listens there, the feed (a simulator) sends there.
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const argv = process.argv.slice(2);
const split = argv.indexOf('--');
const options = split < 0 ? argv : argv.slice(0, split);
const udpPort = await new Promise((resolve) => {
  const socket = dgram.createSocket('udp4');
  socket.bind(0, '127.0.0.1', () => { const { port } = socket.address(); socket.close(() => resolve(port)); });
});
const withPort = (list) => list.map((a) => a.replaceAll('{udp}', String(udpPort)));
const server = withPort(split < 0 ? [] : argv.slice(split + 1));
const option = (name) => { const i = options.indexOf(name); return i < 0 ? undefined : options[i + 1]; };
const live = options.includes('--live');
const screenshot = option('--screenshot');
const modules = option('--modules');
const feed = option('--feed') ? withPort(option('--feed').split(' ')) : null;
const seekTarget = Number(option('--seek') || '1.5');

const chromium = ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((p) => existsSync(p));
if (!chromium) { console.log('skipped: no chromium installed'); process.exit(77); }
if (!modules || server.length === 0) { console.error('usage: browser_test.mjs --modules DIR -- PROGRAM ARGS...'); process.exit(2); }
const puppeteer = createRequire(path.join(modules, 'x.js'))('puppeteer-core');

let failures = 0;
const started = Date.now();
function check(ok, what) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${what} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
  if (!ok) failures += 1;
}

// The server prints its page's address on a line of its own.
function startServer() {
  const child = spawn(server[0], server.slice(1), { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  child.stderr.on('data', (d) => process.stderr.write(d));
  const url = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('the server printed no URL within 30 s')), 30000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = /(http:\/\/127\.0\.0\.1:\d+\/)/.exec(out);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    child.on('exit', (code) => reject(new Error(`the server ended (${code}) before it printed a URL:\n${out}`)));
  });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal, out: () => out })));
  return { child, url, exited };
}

const { child, url: urlReady, exited } = startServer();
const feeder = feed ? spawn(feed[0], feed.slice(1), { stdio: ['ignore', 'ignore', 'inherit'] }) : null;
let browser;
try {
  const url = await urlReady;
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-dev-shm-usage', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
      '--ignore-gpu-blocklist', '--window-size=960,600', '--no-first-run', '--disable-extensions'],
    defaultViewport: { width: 960, height: 600 },
  });
  const page = await browser.newPage();
  const consoleErrors = [];
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  page.on('requestfailed', (r) => consoleErrors.push(`request failed: ${r.url()}`));

  await page.goto(url, { waitUntil: 'load', timeout: 30000 });
  await page.waitForFunction(() => window.vorlanView && window.vorlanView.framesReceived >= 4, { timeout: 30000 });
  check(true, 'frames arrive');

  const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);
  const lit = async () => {
    // Two animation frames, so the last change is drawn.
    await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    return page.evaluate(() => window.vorlanView.countLitPixels());
  };

  await page.evaluate(() => window.vorlanView.showHelpers(false));
  const shown = await lit();
  check(shown > 200, `the canvas shows points (${shown} pixels that are not the background)`);

  const hidden = await page.$eval('#playback', (e) => e.hidden);
  check(hidden === live, live ? 'live data has no playback controls' : 'a capture has playback controls');

  if (!live) {
    await page.click('#play');  // pause
    await page.waitForFunction(() => window.vorlanView.paused, { timeout: 15000 });
    const before = await text('frame-index');
    await page.click('#step');
    await page.waitForFunction((b) => document.getElementById('frame-index').textContent !== b, { timeout: 15000 },
      before);
    check(true, `step changes the frame index (${before} -> ${await text('frame-index')})`);

    const target = seekTarget;
    await page.click('#play');  // play on, then seek
    await page.waitForFunction(() => !window.vorlanView.paused, { timeout: 15000 });
    await page.$eval('#seek', (e, t) => {
      e.value = String(t);
      e.dispatchEvent(new Event('change'));
    }, target);
    const sought = await page.waitForFunction((t) => {
      const f = window.vorlanView.lastFrame;
      return f && f.time >= t - 0.25 && f.time <= t + 0.6 ? f.time : false;
    }, { timeout: 20000 }, target).then((h) => h.jsonValue()).catch(() => null);
    check(sought !== null, `seeking to ${target} s shows a frame of that time (${sought} s, panel ${await text('frame-time')})`);
  }

  const everySensor = await page.$$eval('.sensor-toggle', (boxes) => boxes.map((b) => b.id));
  check(everySensor.length > 0, `the panel lists the sensors (${everySensor.length})`);
  const full = await lit();
  const toggle = (ids) => page.evaluate((list) => list.forEach((id) => document.getElementById(id).click()), ids);
  await toggle(everySensor);
  const none = await lit();
  check(none < Math.max(20, full * 0.02), `sensor toggles hide their points (${full} -> ${none} pixels)`);
  await page.click(`#${everySensor[0]}`);
  const one = await lit();
  check(one > none, `a sensor toggled back shows its points again (${one} pixels)`);
  await toggle(everySensor.slice(1));

  for (const mode of ['intensity', 'distance', 'sensor', 'return', 'height']) {
    await page.select('#colour', mode);
  }
  const coloured = await lit();
  check(coloured > 0, `colouring by intensity, distance, sensor, return and height keeps the points (${coloured} pixels)`);
  await page.evaluate(() => window.vorlanView.showHelpers(true));
  if (screenshot) {
    await lit();
    await page.screenshot({ path: screenshot });
    console.log(`screenshot: ${screenshot}`);
  }
  check(consoleErrors.length === 0, `no errors in the console${consoleErrors.length ? ': ' + consoleErrors.join(' | ') : ''}`);
} catch (e) {
  check(false, String(e && e.stack || e));
  if (browser) {
    const pages = await browser.pages();
    const state = await pages[pages.length - 1].evaluate(() => JSON.stringify({ ...window.vorlanView, lastFrame: window.vorlanView.lastFrame }))
      .catch(() => 'no state');
    console.log(`page state: ${state}`);
  }
} finally {
  if (browser) await browser.close().catch(() => {});
  if (feeder) feeder.kill('SIGKILL');
  child.kill('SIGINT');
  const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
  const end = await exited;
  clearTimeout(timer);
  check(end.code === 0, `the server ends cleanly on Ctrl-C (exit ${end.code}${end.signal ? ', ' + end.signal : ''})`);
  const stats = end.out().split('\n').filter((l) => /frames|sent|dropped/.test(l));
  if (stats.length) console.log(stats.join('\n'));
}
console.log(`${failures === 0 ? 'passed' : 'FAILED'}: ${failures} failure(s)`);
process.exit(failures === 0 ? 0 : 1);
