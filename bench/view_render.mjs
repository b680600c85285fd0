// `vorlan view` under load: render rate of the page in headless chromium
// (software WebGL) with 200,000 points on screen from 8 sensors streamed at
// replay speed 1, beside the rate of the same page drawing the same points
// with the stream paused (its ceiling: drawing alone); then the server's
// frames sent and dropped and the bytes each point costs on the wire.
//
//   node bench/view_render.mjs --build build [--seconds 10] [--capture FILE --sdk 2]
//
// Without --capture the viewer runs over the test fixture's synthetic
// sensors (25,000 valid points each); with it, `vorlan view FILE` runs.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const args = process.argv.slice(2);
const arg = (name, fallback) => { const i = args.indexOf(name); return i < 0 ? fallback : args[i + 1]; };
const build = path.resolve(arg('--build', 'build'));
const seconds = Number(arg('--seconds', '10'));
const capture = arg('--capture');
const chromium = ['/usr/bin/chromium', '/usr/bin/chromium-browser'].find((p) => existsSync(p));
if (!chromium) { console.log('view_render: skipped, no chromium installed'); process.exit(0); }
const puppeteer = createRequire(path.join(build, 'view_npm', 'node_modules', 'x.js'))('puppeteer-core');

const command = capture
  ? [path.join(build, 'vorlan'), 'view', capture, '--sdk', arg('--sdk', '2'), '--speed', '1']
  : [path.join(build, 'tests', 'tools', 'view', 'vorlan_view_fixture'), '--sensors', '8', '--points', '27778',
    '--seconds', '3600', '--speed', '1'];

function goalLine(name, figure, ceiling, wanted, unit) {
  const ratio = ceiling > 0 ? figure / ceiling : 0;
  const holds = ceiling > 0 && ratio >= wanted;
  return `${holds ? 'holds ' : 'SHORT '} ${name.padEnd(44)} ${figure.toPrecision(4).padStart(11)} ${unit.padEnd(13)} ` +
    `ceiling ${ceiling.toPrecision(4).padStart(11)}  ratio ${ratio.toFixed(2)}  goal >= ${wanted.toFixed(2)}`;
}

const server = spawn(command[0], command.slice(1), { stdio: ['ignore', 'pipe', 'inherit'] });
let out = '';
const url = await new Promise((resolve, reject) => {
  server.stdout.on('data', (d) => {
    out += d;
    const m = /(http:\/\/127\.0\.0\.1:\d+\/)/.exec(out);
    if (m) resolve(m[1]);
  });
  server.on('exit', (code) => reject(new Error(`the viewer ended (${code}):\n${out}`)));
});
const exited = new Promise((resolve) => server.on('exit', resolve));

const browser = await puppeteer.launch({
  executablePath: chromium, headless: true, defaultViewport: { width: 1280, height: 800 },
  args: ['--no-sandbox', '--disable-dev-shm-usage', '--use-angle=swiftshader', '--enable-unsafe-swiftshader',
    '--ignore-gpu-blocklist', '--window-size=1280,800'],
});
const page = await browser.newPage();
await page.goto(url, { waitUntil: 'load' });
await page.waitForFunction(() => window.vorlanView && window.vorlanView.framesReceived >= 16, { timeout: 60000 });

async function measure() {
  const start = await page.evaluate(() => ({ r: window.vorlanView.rendered, f: window.vorlanView.framesReceived,
    t: performance.now() }));
  await new Promise((r) => setTimeout(r, seconds * 1000));
  const end = await page.evaluate(() => ({ r: window.vorlanView.rendered, f: window.vorlanView.framesReceived,
    t: performance.now(), points: [...document.querySelectorAll('.sensor-toggle')].length }));
  const elapsed = (end.t - start.t) / 1000;
  return { fps: (end.r - start.r) / elapsed, frames: (end.f - start.f) / elapsed };
}

const onScreen = await page.evaluate(() => window.vorlanView.pointsOnScreen());
const streaming = await measure();
if (!capture) {
  await page.click('#play');  // pause: the same cloud, drawing alone
  await page.waitForFunction(() => window.vorlanView.paused, { timeout: 20000 });
}
const still = capture ? streaming : await measure();
await browser.close();
server.kill('SIGINT');
await exited;

const stats = /frames (?:published )?(\d+)\s+sent (\d+)\s+dropped (\d+)\s+bytes(?: per |\/)point ([\d.]+)/.exec(out);
console.log(`view_render: ${onScreen} points on screen, ${seconds} s per figure, chromium software WebGL, 1280x800`);
console.log(`page: ${streaming.fps.toFixed(1)} renders/s streaming (${streaming.frames.toFixed(1)} frames/s received), ` +
  `${still.fps.toFixed(1)} renders/s paused`);
if (stats) {
  const [published, sent, dropped, bytes] = stats.slice(1).map(Number);
  console.log(`server: frames published ${published}, sent ${sent}, dropped ${dropped} (newest per sensor kept), ` +
    `${bytes} bytes per point`);
}
console.log(goalLine('view: renders/s with 200k points (vs 60 fps)', streaming.fps, 60, 1.0, 'fps'));
console.log(goalLine('view: renders/s streaming vs paused', streaming.fps, still.fps, 0.8, 'fps'));
