// The viewer's page: a WebSocket brings frames as binary messages (see
// frame_message.h for their layout) and texts that say what the stream
// holds; three.js draws each sensor's newest frame as one point cloud.
import * as THREE from '/three/three.module.js';
import { OrbitControls } from '/three/OrbitControls.js';

const BACKGROUND = 0x10141a;
const HEADER_MAGIC = 0x31524656;  // "VFR1"
const SENSOR_COLOURS = [0xe6194b, 0x3cb44b, 0xffe119, 0x4363d8, 0xf58231, 0x911eb4, 0x46f0f0, 0xf032e6,
  0xbcf60c, 0xfabebe, 0x008080, 0xe6beff];
const RETURN_COLOURS = [0x88c0d0, 0xebcb8b, 0xbf616a, 0xa3be8c];

const $ = (id) => document.getElementById(id);

// What the tests and the benchmark read.
const state = {
  connected: false, live: false, framesReceived: 0, rendered: 0, fps: 0,
  lastFrame: null, paused: false, length: 0, position: 0, origin: null,
};
window.vorlanView = state;

// ---- scene ----

const renderer = new THREE.WebGLRenderer({ antialias: false, preserveDrawingBuffer: true });
renderer.setPixelRatio(window.devicePixelRatio);
renderer.setSize(window.innerWidth, window.innerHeight);
renderer.setClearColor(BACKGROUND);
$('scene').appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(60, window.innerWidth / window.innerHeight, 0.1, 2000);
// The sensors' frame: x to the right, y along the sensor's axis, z up.
camera.up.set(0, 0, 1);
camera.position.set(-25, -30, 25);
const controls = new OrbitControls(camera, renderer.domElement);
controls.target.set(0, 15, 0);
controls.update();

const grid = new THREE.GridHelper(100, 100, 0x3b4252, 0x262c36);
grid.rotation.x = Math.PI / 2;  // lie in the x-y plane
scene.add(grid);
scene.add(new THREE.AxesHelper(3));

const material = { size: 2 };
const clouds = new Map();  // sensor slot -> { points, visible, frame }

function cloudFor(slot) {
  let cloud = clouds.get(slot);
  if (!cloud) {
    const geometry = new THREE.BufferGeometry();
    const points = new THREE.Points(geometry,
      new THREE.PointsMaterial({ size: material.size, sizeAttenuation: false, vertexColors: true }));
    points.frustumCulled = false;
    scene.add(points);
    cloud = { points, visible: true, frame: null, colours: new Float32Array(0) };
    clouds.set(slot, cloud);
  }
  return cloud;
}

// ---- colours ----

const colour = { mode: 'height' };
const scratch = new THREE.Color();

function ramp(t) {  // blue (low) to red (high)
  const v = Math.min(1, Math.max(0, t));
  return scratch.setHSL((1 - v) * 0.66, 1, 0.5);
}

function paint(cloud, slot) {
  const f = cloud.frame;
  if (!f) return;
  const n = f.count;
  if (cloud.colours.length < n * 3) cloud.colours = new Float32Array(n * 3);
  const out = cloud.colours;
  const p = f.positions;
  const flat = (hex) => { scratch.setHex(hex); for (let i = 0; i < n; ++i) out.set([scratch.r, scratch.g, scratch.b], i * 3); };
  if (colour.mode === 'sensor') {
    flat(SENSOR_COLOURS[slot % SENSOR_COLOURS.length]);
  } else {
    for (let i = 0; i < n; ++i) {
      let c;
      if (colour.mode === 'height') c = ramp((p[i * 3 + 2] + 2) / 8);
      else if (colour.mode === 'intensity') c = ramp(f.intensity[i] / 65535);
      else if (colour.mode === 'distance') c = ramp(Math.hypot(p[i * 3], p[i * 3 + 1], p[i * 3 + 2]) / 60);
      else c = scratch.setHex(RETURN_COLOURS[f.returns[i] % RETURN_COLOURS.length]);
      out[i * 3] = c.r; out[i * 3 + 1] = c.g; out[i * 3 + 2] = c.b;
    }
  }
  const geometry = cloud.points.geometry;
  geometry.setAttribute('position', new THREE.BufferAttribute(p, 3));
  geometry.setAttribute('color', new THREE.BufferAttribute(out.subarray(0, n * 3), 3));
  geometry.setDrawRange(0, n);
}

function repaintAll() { for (const [slot, cloud] of clouds) paint(cloud, slot); }

// ---- sensors and panel ----

let sensors = [];
const totals = new Map();  // slot -> losses added up since the page opened

function sensorName(slot) {
  const s = sensors.find((x) => x.slot === slot);
  return s ? (s.name || s.address || `sensor ${slot}`) : `sensor ${slot}`;
}

function showSensors() {
  const list = $('sensors');
  for (const s of sensors) {
    let item = document.getElementById(`sensor-item-${s.slot}`);
    if (!item) {
      item = document.createElement('li');
      item.id = `sensor-item-${s.slot}`;
      const label = document.createElement('label');
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.checked = true;
      box.id = `sensor-${s.slot}`;
      box.className = 'sensor-toggle';
      box.addEventListener('change', () => {
        const cloud = cloudFor(s.slot);
        cloud.visible = box.checked;
        cloud.points.visible = box.checked;
      });
      const swatch = document.createElement('span');
      swatch.className = 'swatch';
      swatch.style.background = '#' + SENSOR_COLOURS[s.slot % SENSOR_COLOURS.length].toString(16).padStart(6, '0');
      const text = document.createElement('span');
      text.className = 'sensor-name';
      label.append(box, swatch, text);
      item.append(label);
      list.append(item);
    }
    item.querySelector('.sensor-name').textContent =
      (s.name || s.address || `sensor ${s.slot}`) + (s.model ? ` (${s.model})` : '');
  }
}

// A capture's frame is placed by where playback stood when it came; frame
// times need not start at the capture's start, and repeat when it loops.
function secondsIntoCapture(f) {
  if (Number.isFinite(f.position)) return f.position;
  return state.origin === null ? 0 : (f.firstTime - state.origin) / 1e6;
}

function showFrame(f) {
  $('frame-sensor').textContent = sensorName(f.slot);
  $('frame-index').textContent = String(f.index);
  $('frame-time').textContent = state.live ? new Date(f.firstTime / 1000).toISOString().slice(11, 23)
    : `${secondsIntoCapture(f).toFixed(2)} s`;
  $('frame-points').textContent = String(f.nPoints);
  $('frame-valid').textContent = String(f.nValid);
  const t = totals.get(f.slot) || { packets: 0, points: 0, datagrams: 0, undecodable: 0 };
  $('frame-losses').textContent = `${t.packets} packets, ${t.points} points, ${t.datagrams} datagrams` +
    (t.undecodable ? `, ${t.undecodable} undecodable` : '');
}

function onStatus(m) {
  if (m.origin !== undefined && m.origin !== null) state.origin = m.origin;
  state.paused = !!m.paused;
  $('play').textContent = m.paused || m.ended ? 'Play' : 'Pause';
  if (m.length !== undefined) {
    state.length = m.length;
    state.position = m.position;
    const seek = $('seek');
    seek.max = String(m.length);
    if (!seeking) {
      seek.value = String(m.position);
      $('position').textContent = `${m.position.toFixed(1)} / ${m.length.toFixed(1)} s`;
    }
  }
  $('stream-dropped').textContent = `${m.framesDropped} of ${m.framesSent + m.framesDropped} frames (server)`;
}

// ---- frames ----

function decode(buffer) {
  const v = new DataView(buffer);
  if (buffer.byteLength < 96 || v.getUint32(0, true) !== HEADER_MAGIC) return null;
  const header = v.getUint16(4, true);
  const count = v.getUint32(44, true);
  if (header < 96 || buffer.byteLength < header + count * 15) return null;
  return {
    slot: v.getUint16(6, true),
    index: Number(v.getBigUint64(8, true)),
    sensorIndex: Number(v.getBigUint64(16, true)),
    firstTime: Number(v.getBigInt64(24, true)),
    lastTime: Number(v.getBigInt64(32, true)),
    nPoints: v.getUint32(40, true),
    count,
    nValid: v.getUint32(48, true),
    whole: (v.getUint32(52, true) & 1) !== 0,
    position: v.getFloat32(60, true),
    losses: {
      packets: Number(v.getBigUint64(64, true)), points: Number(v.getBigUint64(72, true)),
      datagrams: Number(v.getBigUint64(80, true)), undecodable: Number(v.getBigUint64(88, true)),
    },
    positions: new Float32Array(buffer, header, count * 3),
    intensity: new Uint16Array(buffer, header + count * 12, count),
    returns: new Uint8Array(buffer, header + count * 14, count),
  };
}

function onFrame(buffer) {
  const f = decode(buffer);
  if (!f) { console.warn('vorlan view: a frame message that does not parse'); return; }
  state.framesReceived += 1;
  const t = totals.get(f.slot) || { packets: 0, points: 0, datagrams: 0, undecodable: 0 };
  t.packets += f.losses.packets; t.points += f.losses.points;
  t.datagrams += f.losses.datagrams; t.undecodable += f.losses.undecodable;
  totals.set(f.slot, t);
  const cloud = cloudFor(f.slot);
  cloud.frame = f;
  paint(cloud, f.slot);
  state.lastFrame = { slot: f.slot, index: f.index, sensorIndex: f.sensorIndex, time: secondsIntoCapture(f),
    points: f.nPoints, sent: f.count };
  showFrame(f);
}

// ---- connection and commands ----

let socket = null;
function send(command) { if (socket && socket.readyState === WebSocket.OPEN) socket.send(command); }

function connect() {
  socket = new WebSocket(`ws://${location.host}/stream`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => { state.connected = true; $('connection').textContent = 'connected'; $('connection').className = 'good'; };
  socket.onclose = () => {
    state.connected = false;
    $('connection').textContent = 'disconnected';
    $('connection').className = 'bad';
    setTimeout(connect, 2000);
  };
  socket.onmessage = (event) => {
    if (typeof event.data !== 'string') { onFrame(event.data); return; }
    const m = JSON.parse(event.data);
    if (m.type === 'hello') {
      state.live = m.live;
      $('playback').hidden = m.live;
    }
    if (m.sensors) { sensors = m.sensors; showSensors(); }
    if (m.type === 'hello' || m.type === 'status') onStatus(m);
  };
}

let seeking = false;
$('play').addEventListener('click', () => send(state.paused ? 'play' : 'pause'));
$('step').addEventListener('click', () => send('step'));
$('speed').addEventListener('change', (e) => send(`speed ${e.target.value}`));
$('seek').addEventListener('input', (e) => {
  seeking = true;
  $('position').textContent = `${Number(e.target.value).toFixed(1)} / ${state.length.toFixed(1)} s`;
});
$('seek').addEventListener('change', (e) => { seeking = false; send(`seek ${e.target.value}`); });
$('colour').addEventListener('change', (e) => { colour.mode = e.target.value; repaintAll(); });
$('point-size').addEventListener('input', (e) => {
  material.size = Number(e.target.value);
  for (const cloud of clouds.values()) cloud.points.material.size = material.size;
});
window.addEventListener('keydown', (e) => {
  if (e.target instanceof HTMLInputElement || e.target instanceof HTMLSelectElement) return;
  if (e.code === 'Space') { send(state.paused ? 'play' : 'pause'); e.preventDefault(); }
  else if (e.code === 'ArrowRight') { send('step'); e.preventDefault(); }
  else if (e.code === 'ArrowLeft' && state.lastFrame) {
    send('pause');
    send(`seek ${Math.max(0, state.lastFrame.time - 0.15)}`);
    e.preventDefault();
  }
});
window.addEventListener('resize', () => {
  camera.aspect = window.innerWidth / window.innerHeight;
  camera.updateProjectionMatrix();
  renderer.setSize(window.innerWidth, window.innerHeight);
});

// Pixels of the canvas that are not the background, for the tests.
state.countLitPixels = () => {
  const gl = renderer.getContext();
  const w = gl.drawingBufferWidth, h = gl.drawingBufferHeight;
  const pixels = new Uint8Array(w * h * 4);
  gl.readPixels(0, 0, w, h, gl.RGBA, gl.UNSIGNED_BYTE, pixels);
  const bg = new THREE.Color(BACKGROUND);
  const [r, g, b] = [bg.r * 255, bg.g * 255, bg.b * 255];
  let lit = 0;
  for (let i = 0; i < pixels.length; i += 4) {
    if (Math.abs(pixels[i] - r) + Math.abs(pixels[i + 1] - g) + Math.abs(pixels[i + 2] - b) > 60) lit += 1;
  }
  return lit;
};
state.pointsOnScreen = () => {
  let n = 0;
  for (const cloud of clouds.values()) if (cloud.visible && cloud.frame) n += cloud.frame.count;
  return n;
};
// Hides the grid and axes so that only points count as lit.
state.showHelpers = (on) => { grid.visible = on; scene.children.forEach((c) => { if (c.type === 'AxesHelper') c.visible = on; }); };

let fpsFrames = 0, fpsStart = performance.now();
function animate() {
  controls.update();
  renderer.render(scene, camera);
  state.rendered += 1;
  fpsFrames += 1;
  const now = performance.now();
  if (now - fpsStart >= 1000) { state.fps = fpsFrames * 1000 / (now - fpsStart); fpsFrames = 0; fpsStart = now; }
  requestAnimationFrame(animate);
}

connect();
animate();
