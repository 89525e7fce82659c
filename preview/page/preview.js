// The preview page. Everything it shows comes from the server: frames rendered by the module, control
// values at a frame (the host's interpolation), the command. The page only asks and shows.
"use strict";

const $ = (id) => document.getElementById(id);
const client = Math.random().toString(36).slice(2, 12);

const state = {
  desc: null,
  frame: 0,
  divisor: 1,
  view: "effect",  // effect, source, split
  revision: -1,  // of the settings the server holds
  shownRevision: -1,  // of the settings the effect frame shown was rendered with
  values: new Map(),  // control index -> {v, text, keys}
  rows: new Map(),  // control index -> row elements
  playing: false,
  editing: new Map(),  // control index -> text waiting to be sent
};

// ---- requests --------------------------------------------------------------------------------------------
async function api(path, body) {
  const init = body === undefined ? {} : {method: "POST", headers: {"Content-Type": "application/json"}, body: JSON.stringify(body)};
  const res = await fetch(path, init);
  const data = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(data.error || res.statusText);
  return data;
}

function say(text, ok) {
  const m = $("message");
  m.textContent = text;
  m.className = ok ? "ok" : "";
  m.hidden = !text;
  if (ok) setTimeout(() => { if (m.textContent === text) m.hidden = true; }, 3000);
}

// ---- frames: at most two requests in flight per view; the newest wins ------------------------------------
class FrameChannel {
  constructor(view, image) {
    this.view = view;
    this.image = image;
    this.inFlight = 0;
    this.wanted = null;  // the latest request not sent yet
    this.sent = 0;
    this.shownSeq = 0;
    this.url = null;
  }
  request(frame, divisor) {
    this.wanted = {frame, divisor, seq: ++this.sent};
    this.pump();
  }
  pump() {
    if (!this.wanted || this.inFlight >= 2) return;
    const w = this.wanted;
    this.wanted = null;
    this.inFlight++;
    const started = performance.now();
    fetch(`/api/frame?frame=${w.frame}&scale=${w.divisor}&view=${this.view}&client=${client}`)
      .then(async (res) => {
        if (res.status === 204) return;  // a newer request took its place
        if (!res.ok) throw new Error((await res.json().catch(() => ({}))).error || res.statusText);
        const blob = await res.blob();
        if (w.seq < this.shownSeq) return;
        this.shownSeq = w.seq;
        const url = URL.createObjectURL(blob);
        await new Promise((ok) => { this.image.onload = ok; this.image.onerror = ok; this.image.src = url; });
        if (this.url) URL.revokeObjectURL(this.url);
        this.url = url;
        $("frameError").hidden = true;
        this.shown(w, Number(res.headers.get("X-Revision")), performance.now() - started, res.headers);
      })
      .catch((e) => { $("frameError").textContent = e.message; $("frameError").hidden = false; })
      .finally(() => { this.inFlight--; this.pump(); if (this.idle) this.idle(); });
  }
  busy() { return this.inFlight > 0 || this.wanted !== null; }
  shown() {}
}

const effect = new FrameChannel("effect", $("effectImage"));
const source = new FrameChannel("source", $("sourceImage"));

effect.shown = (w, revision, ms, headers) => {
  state.shownRevision = revision;
  if (state.view === "source") return;
  const d = state.desc.input;
  $("frameInfo").textContent =
    `${effect.image.naturalWidth}×${effect.image.naturalHeight} · ${d.depth}-bit · ${Number(headers.get("X-Render-Ms")).toFixed(0)} ms`;
  const s = $("status");
  s.dataset.frame = w.frame;
  s.dataset.scale = w.divisor;
  s.dataset.frameRevision = revision;
  sizeImages();
  tickPlay();
};
// In the Source view the source frames set the pace of playing.
source.shown = () => {
  sizeImages();
  if (state.view === "source") tickPlay();
};

function requestFrames() {
  if (state.view !== "source") effect.request(state.frame, state.divisor);
  if (state.view !== "effect") source.request(state.frame, state.divisor);
  $("status").dataset.wantedFrame = state.frame;
}

// ---- view --------------------------------------------------------------------------------------------------
function setView(view) {
  state.view = view;
  for (const [id, v] of [["viewEffect", "effect"], ["viewSource", "source"], ["viewSplit", "split"]])
    $(id).classList.toggle("on", v === view);
  $("effectImage").hidden = view === "source";
  $("sourceImage").hidden = view === "effect";
  $("wipe").hidden = $("wipeLine").hidden = $("labelSource").hidden = $("labelEffect").hidden = view !== "split";
  $("stage").classList.toggle("splitting", view === "split");
  applyWipe();
  requestFrames();
}

function applyWipe() {
  const img = $("effectImage");
  if (state.view !== "split") { img.style.clipPath = ""; return; }
  const f = Number($("wipe").value) / 1000;
  const box = img.getBoundingClientRect(), stage = $("frameBox").getBoundingClientRect();
  // The picture's own rectangle inside the element (object-fit: contain leaves bars).
  let w = box.width, h = box.height, x0 = box.left;
  if (img.naturalWidth && $("stage").classList.contains("fit")) {
    const s = Math.min(box.width / img.naturalWidth, box.height / img.naturalHeight);
    w = img.naturalWidth * s; h = img.naturalHeight * s; x0 = box.left + (box.width - w) / 2;
  }
  const cut = x0 + f * w - box.left;
  img.style.clipPath = `inset(0 0 0 ${Math.max(0, cut)}px)`;
  $("wipeLine").style.left = `${x0 + f * w - stage.left - 1}px`;
}

function setZoom(actual) {
  $("stage").classList.toggle("actual", actual);
  $("stage").classList.toggle("fit", !actual);
  $("zoomFit").classList.toggle("on", !actual);
  $("zoom100").classList.toggle("on", actual);
  sizeImages();
}

// At 100% a frame of a reduced preview scale is shown at the size of the frame the render makes.
function sizeImages() {
  const actual = $("stage").classList.contains("actual");
  for (const img of [$("effectImage"), $("sourceImage")]) {
    img.style.width = actual ? `${state.desc.input.width}px` : "";
    img.style.height = actual ? `${state.desc.input.height}px` : "";
  }
  applyWipe();
}

// ---- time --------------------------------------------------------------------------------------------------
function setFrame(n, fromTimeline) {
  const d = state.desc.input;
  n = Math.max(d.first, Math.min(d.last, Math.round(Number(n))));
  if (Number.isNaN(n)) return;
  state.frame = n;
  $("frameNumber").value = n;
  if (!fromTimeline) $("timeline").value = n;
  requestFrames();
  loadValues();
}

let playClock = {last: 0, times: [], timer: 0};
function tickPlay() {
  const now = performance.now();
  playClock.times.push(now);
  while (playClock.times.length && now - playClock.times[0] > 1000) playClock.times.shift();
  if (!state.playing) return;
  const fps = playClock.times.length > 1 ? (playClock.times.length - 1) * 1000 / (now - playClock.times[0]) : 0;
  $("fps").textContent = `${fps.toFixed(1)} fps`;
  const d = state.desc.input;
  const wait = Math.max(0, 1000 / d.fps - (now - playClock.last));
  if (playClock.timer) return;  // the next frame is already on its way
  playClock.timer = setTimeout(() => {
    playClock.timer = 0;
    if (!state.playing) return;
    playClock.last = performance.now();
    setFrame(state.frame >= d.last ? d.first : state.frame + 1);
  }, wait);
}

function togglePlay() {
  state.playing = !state.playing;
  $("play").innerHTML = state.playing ? "&#10074;&#10074;" : "&#9654;";
  clearTimeout(playClock.timer);
  playClock = {last: performance.now(), times: [], timer: 0};
  if (state.playing) setFrame(state.frame >= state.desc.input.last ? state.desc.input.first : state.frame + 1);
  else $("fps").textContent = "";
}

function drawKeyMarks() {
  const c = $("keyMarks"), d = state.desc.input;
  const w = c.clientWidth;
  c.width = w * devicePixelRatio;
  c.height = 14 * devicePixelRatio;
  const g = c.getContext("2d");
  g.scale(devicePixelRatio, devicePixelRatio);
  g.clearRect(0, 0, w, 14);
  const frames = new Set();
  for (const v of state.values.values()) for (const k of v.keys) frames.add(k);
  const thumb = 8;  // half the range thumb: its centre runs from thumb to w - thumb
  for (const f of frames) {
    const x = d.last > d.first ? thumb + (f - d.first) / (d.last - d.first) * (w - 2 * thumb) : w / 2;
    g.fillStyle = f === state.frame ? "#ffd970" : "#e8b339";
    g.beginPath();
    g.moveTo(x, 2); g.lineTo(x + 5, 7); g.lineTo(x, 12); g.lineTo(x - 5, 7);
    g.fill();
  }
}

// ---- controls ------------------------------------------------------------------------------------------------
function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === "class") e.className = v;
    else if (k === "data") Object.assign(e.dataset, v);
    else if (k in e) e[k] = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c);
  return e;
}

function numberText(c, x) {
  const digits = c.type === "int" ? 0 : Math.max(1, Math.min(3, c.precision || 1));
  return Number(x).toFixed(digits).replace(/(\.\d*?)0+$/, "$1").replace(/\.$/, "");
}

function rangeText(c) {
  const unit = c.percent ? "%" : "";
  const [a, b] = c.valid;
  return `${numberText(c, a)} to ${numberText(c, b)}${unit}`;
}

function hex(v) { return "#" + [v[1], v[2], v[3]].map((x) => Math.round(x).toString(16).padStart(2, "0")).join(""); }

// Groups (and groups in them) as sections, every control in the module's order.
function buildControls() {
  const list = $("controlList");
  list.textContent = "";
  const loose = () => list.appendChild(el("div", {class: "loose"}));
  const stack = [];
  let into = loose();
  for (const c of state.desc.controls) {
    if (c.type === "group") {
      const g = el("section", {class: "group", data: {index: c.index, label: c.label}},
        el("h3", {textContent: c.label, title: c.description}), el("p", {class: "about", textContent: c.description}),
        el("div", {class: "body"}));
      g.querySelector("h3").onclick = () => g.classList.toggle("closed");
      (stack.length ? into : list).append(g);
      stack.push(into);
      into = g.querySelector(".body");
    } else if (c.type === "end") {
      if (stack.length) into = stack.length === 1 ? (stack.pop(), loose()) : stack.pop();
    } else if (c.value) {
      into.append(buildControl(c));
    }
  }
}

function buildControl(c) {
  const name = c.label || c.checkbox || c.script;
  const row = el("div", {class: "control", data: {index: c.index, script: c.script, label: name}});
  const label = el("span", {class: "label", textContent: name, title: c.script});
  const head = el("div", {class: "head"}, label);
  const widget = el("div", {class: "widget"});
  const parts = {row, label};
  const send = (text) => sendValue(c, text);
  if (c.type === "float" || c.type === "int" || c.type === "angle") {
    const step = c.type === "int" ? 1 : Math.pow(10, -Math.max(1, Math.min(3, c.precision || 1)));
    const slider = el("input", {type: "range", class: "slider", min: c.slider[0], max: c.slider[1], step});
    const number = el("input", {type: "number", class: "number", min: c.valid[0], max: c.valid[1], step});
    slider.oninput = () => { number.value = slider.value; send(slider.value); };
    number.onchange = () => send(number.value);
    widget.append(slider, number, el("span", {class: "units", textContent: c.percent ? "%" : ""}));
    head.append(el("span", {class: "range", textContent: rangeText(c)}));
    parts.set = (v) => {
      if (document.activeElement !== number) number.value = numberText(c, v.v[0]);
      if (document.activeElement !== slider) slider.value = v.v[0];
    };
  } else if (c.type === "choice") {
    const select = el("select", {class: "choice"});
    c.items.forEach((item, i) => select.append(el("option", {value: i + 1, textContent: item})));
    select.onchange = () => send(c.items[select.value - 1]);
    widget.append(select);
    parts.set = (v) => { select.value = Math.round(v.v[0]); };
  } else if (c.type === "checkbox") {
    const box = el("input", {type: "checkbox", class: "checkbox"});
    box.onchange = () => send(box.checked ? "on" : "off");
    widget.append(el("label", {class: "check"}, box, c.checkbox && c.checkbox !== name ? c.checkbox : "on"));
    parts.set = (v) => { box.checked = v.v[0] !== 0; };
  } else if (c.type === "colour") {
    const colour = el("input", {type: "color", class: "colour"});
    colour.oninput = () => send(colour.value);
    const text = el("span", {class: "dim"});
    widget.append(colour, text);
    parts.set = (v) => { if (document.activeElement !== colour) colour.value = hex(v.v); text.textContent = hex(v.v).toUpperCase(); };
  } else if (c.type === "point") {
    const x = el("input", {type: "number", class: "number"}), y = el("input", {type: "number", class: "number"});
    const go = () => send(`${x.value},${y.value}`);
    x.onchange = go; y.onchange = go;
    widget.append(x, y);
    parts.set = (v) => { x.value = v.v[0]; y.value = v.v[1]; };
  }
  const key = el("button", {class: "key", textContent: "\u25C6", title: c.animatable ? "Keyframe at this frame (add or remove)" : "This control cannot vary over time", disabled: !c.animatable});
  key.onclick = () => change(api("/api/key", {index: c.index, frame: state.frame}));
  const reset = el("button", {class: "reset", textContent: "\u21BA", title: `Reset to the default (${c.defaultText})`});
  reset.onclick = () => change(api("/api/reset", {index: c.index}));
  widget.append(key, reset);
  parts.key = key;
  row.append(head, widget, el("div", {class: "about", textContent: c.description}));
  row.title = `${c.script}: ${c.accepts}`;
  state.rows.set(c.index, parts);
  return row;
}

// Values are sent one at a time per control; while one is on its way only the latest waits.
function sendValue(c, text) {
  const waiting = state.editing.has(c.index);
  state.editing.set(c.index, text);
  if (waiting) return;
  const next = () => {
    const t = state.editing.get(c.index);
    api("/api/set", {index: c.index, text: t, frame: state.frame})
      .then((r) => { say(""); noteRevision(r.revision); })
      .catch((e) => say(e.message))
      .finally(() => {
        if (state.editing.get(c.index) !== t) next();
        else { state.editing.delete(c.index); loadValues(); }
      });
  };
  next();
}

function change(promise) {
  return promise.then((r) => { say(""); noteRevision(r.revision); loadValues(); return r; }).catch((e) => say(e.message));
}

function noteRevision(revision) {
  if (revision === undefined || revision === state.revision) return;
  state.revision = revision;
  $("status").dataset.revision = revision;
  requestFrames();
  loadStatus();
}

let valuesAsked = 0;
async function loadValues() {
  const ask = ++valuesAsked;
  const data = await api(`/api/values?frame=${state.frame}`).catch((e) => { say(e.message); return null; });
  if (!data || ask !== valuesAsked) return;
  for (const v of data.controls) {
    state.values.set(v.index, v);
    const parts = state.rows.get(v.index);
    if (!parts) continue;
    if (!state.editing.has(v.index)) parts.set(v);
    const c = state.desc.controls.find((x) => x.index === v.index);
    const changed = v.keys.length > 0 || v.v.some((x, i) => x !== c.default[i]);
    parts.label.classList.toggle("changed", changed);
    parts.key.classList.toggle("keyed", v.keys.length > 0);
    parts.key.classList.toggle("here", v.keys.includes(state.frame));
  }
  $("status").dataset.valuesFrame = data.frame;
  $("status").dataset.valuesRevision = data.revision;
  drawKeyMarks();
}

// ---- status: other tabs' changes, the command, the render -----------------------------------------------------
async function loadStatus() {
  const s = await api("/api/status").catch(() => null);
  if (!s) return;
  if (s.revision !== state.revision) {
    state.revision = s.revision;
    $("status").dataset.revision = s.revision;
    requestFrames();
    loadValues();
  }
  if ($("command").value !== s.command) $("command").value = s.command;
  showRender(s.render);
}

function seconds(t) {
  t = Math.round(t);
  return t >= 60 ? `${Math.floor(t / 60)} min ${t % 60} s` : `${t} s`;
}

function showRender(r) {
  const running = r.state === "running";
  $("renderStart").disabled = running;
  $("renderCancel").hidden = !running;
  const pct = r.total ? Math.floor(100 * r.done / r.total) : 0;
  $("renderFill").style.width = `${r.state === "done" ? 100 : pct}%`;
  let text = "";
  if (running) text = `${pct}% · ${r.done} of ${r.total} frames` + (r.left !== undefined ? ` · ${seconds(r.left)} left` : "");
  else if (r.state === "done") text = `100% · ${r.output} written in ${seconds(r.elapsed)}`;
  else if (r.state === "cancelled") text = "cancelled: nothing was written";
  else if (r.state === "failed") text = `failed: ${r.message}`;
  if (r.notes && r.notes.length) text += ` (${r.notes.join("; ")})`;
  const p = $("renderProgress");
  p.textContent = text;
  p.dataset.state = r.state;
  p.dataset.percent = r.state === "done" ? 100 : pct;
}

// ---- presets -------------------------------------------------------------------------------------------------
async function loadPresetList() {
  const r = await api("/api/presets").catch(() => null);
  if (!r) return;
  const list = $("presetFiles");
  list.textContent = "";
  for (const f of r.files) list.append(el("option", {value: f}));
}

// ---- start -------------------------------------------------------------------------------------------------
async function start() {
  state.desc = await api("/api/describe");
  const d = state.desc.input;
  document.title = `watchcam preview · ${d.name}`;
  $("effectName").textContent = state.desc.effect || "watchcam";
  $("inputName").textContent = d.name;
  $("inputFacts").textContent = `${d.width}×${d.height} · ${d.depth}-bit · ${Number(d.fps.toFixed(3))} fps`;
  $("timeline").min = d.first;
  $("timeline").max = d.last;
  $("frameNumber").min = d.first;
  $("frameNumber").max = d.last;
  $("lastFrame").textContent = d.last;
  $("outputPath").value = state.desc.output;
  $("outputPath").placeholder = "name in this folder, such as look.mp4";
  $("renderOverwrite").checked = state.desc.overwrite;
  buildControls();
  setZoom(false);

  $("viewEffect").onclick = () => setView("effect");
  $("viewSource").onclick = () => setView("source");
  $("viewSplit").onclick = () => setView("split");
  $("wipe").oninput = applyWipe;
  // The line follows the pointer dragged over the picture.
  const dragWipe = (e) => {
    if (state.view !== "split" || !(e.buttons & 1) || e.target === $("wipe")) return;
    const img = $("effectImage"), box = img.getBoundingClientRect();
    let w = box.width, x0 = box.left;
    if (img.naturalWidth && $("stage").classList.contains("fit")) {
      const s = Math.min(box.width / img.naturalWidth, box.height / img.naturalHeight);
      w = img.naturalWidth * s; x0 = box.left + (box.width - w) / 2;
    }
    $("wipe").value = Math.round(1000 * Math.max(0, Math.min(1, (e.clientX - x0) / w)));
    applyWipe();
  };
  $("stage").addEventListener("pointerdown", dragWipe);
  $("stage").addEventListener("pointermove", dragWipe);
  $("zoomFit").onclick = () => setZoom(false);
  $("zoom100").onclick = () => setZoom(true);
  $("previewScale").onchange = () => { state.divisor = Number($("previewScale").value); requestFrames(); };
  $("timeline").oninput = () => setFrame($("timeline").value, true);
  $("frameNumber").onchange = () => setFrame($("frameNumber").value);
  $("stepBack").onclick = () => setFrame(state.frame - 1);
  $("stepForward").onclick = () => setFrame(state.frame + 1);
  $("play").onclick = togglePlay;
  $("resetAll").onclick = () => change(api("/api/reset", {index: -1}));
  $("copyCommand").onclick = () => {
    $("command").select();
    (navigator.clipboard ? navigator.clipboard.writeText($("command").value) : Promise.reject())
      .then(() => say("Command copied", true)).catch(() => document.execCommand("copy"));
  };
  $("presetOpen").onclick = () => change(api("/api/preset/open", {path: $("presetPath").value}))
    .then((r) => r && say(`Read ${$("presetPath").value}`, true));
  $("presetSave").onclick = () => api("/api/preset/save", {path: $("presetPath").value, overwrite: $("presetOverwrite").checked})
    .then(() => { say(`Saved ${$("presetPath").value}`, true); loadPresetList(); }).catch((e) => say(e.message));
  $("renderStart").onclick = () => api("/api/render", {path: $("outputPath").value, overwrite: $("renderOverwrite").checked})
    .then((s) => showRender(s.render)).catch((e) => say(e.message));
  $("renderCancel").onclick = () => api("/api/render/cancel", {}).then((s) => showRender(s.render)).catch((e) => say(e.message));
  document.addEventListener("keydown", (e) => {
    if (e.target.closest("input, select, textarea")) return;
    if (e.key === " ") { e.preventDefault(); togglePlay(); }
    else if (e.key === "ArrowLeft") setFrame(state.frame - 1);
    else if (e.key === "ArrowRight") setFrame(state.frame + 1);
  });
  window.addEventListener("resize", () => { drawKeyMarks(); applyWipe(); });

  setFrame(d.first);
  await loadStatus();
  loadPresetList();
  setInterval(loadStatus, 700);
  $("status").dataset.ready = "1";
}

start().catch((e) => say(e.message));
