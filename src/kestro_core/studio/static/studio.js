// The studio page. Every text that comes from a file or a job goes in with textContent,
// never as HTML.
"use strict";

const token = document.querySelector('meta[name="studio-token"]').content;
history.replaceState(null, "", "/");

const $ = (id) => document.getElementById(id);
const video = $("video");
const STILL_MS = 700; // a narration is spoken once its text has been still this long
// what a Segment sounds like: its narration alone, the source's own sound, or both
const NARRATION = "narration";
const ORIGINAL = "original";
const MIX = "mix";
const MIXED_VOLUME = 0.2; // the source's sound under a "mix" narration: about -14 dB

let state = null;
let rows = [];
let selected = -1;
let keyframes = { from: 0, to: 0, times: [] }; // read for the window [from, to]
let hearing = null;
let progressSource = null;
let shotTimes = []; // the shot changes found so far, sorted (seconds of the source)
let strip = { from: 0, to: 0, url: "" }; // the window the filmstrip shown was made for

// ---------------------------------------------------------------------------------------
// talking to the server
// ---------------------------------------------------------------------------------------

async function answer(response) {
  let data = {};
  try {
    data = await response.json();
  } catch (e) {
    data = { message: `the server answered ${response.status}` };
  }
  return { ok: response.ok, status: response.status, data };
}

async function post(path, body) {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Studio-Token": token },
    body: JSON.stringify(body),
  });
  return answer(response);
}

// Fit questions wait their turn: the browser keeps only a few connections per server, and
// the video must never queue behind narrations being spoken.
const MAX_FITS = 2;
const fitQueue = [];
let fitsInFlight = 0;

function askInTurn(body, stale) {
  return new Promise((resolve) => {
    fitQueue.push({ body, stale, resolve });
    pumpFits();
  });
}

function pumpFits() {
  while (fitsInFlight < MAX_FITS && fitQueue.length) {
    const job = fitQueue.shift();
    if (job.stale()) {
      job.resolve(null);
      continue;
    }
    fitsInFlight += 1;
    post("/api/fit", job.body)
      .catch((e) => ({ ok: false, status: 0, data: { message: String(e) } }))
      .then(job.resolve)
      .finally(() => {
        fitsInFlight -= 1;
        pumpFits();
      });
  }
}

// What the page finds in the background (shot changes, the filmstrip, an auto frame's path)
// waits for the video's first frame, then goes one request at a time: the video, the fits
// and the keyframes keep their connections. A job that is stale when its turn comes is
// dropped; first: the job goes to the front.
const background = [];
let backgroundBusy = false;
let pictureShown = false;

function inBackground(job, stale, first) {
  return new Promise((resolve) => {
    const entry = { job, stale, resolve };
    if (first) background.unshift(entry);
    else background.push(entry);
    pumpBackground();
  });
}

function pumpBackground() {
  while (pictureShown && !backgroundBusy && background.length) {
    const { job, stale, resolve } = background.shift();
    if (stale()) {
      resolve(null);
      continue;
    }
    backgroundBusy = true;
    Promise.resolve()
      .then(job)
      .catch(() => null)
      .then(resolve)
      .finally(() => {
        backgroundBusy = false;
        pumpBackground();
      });
  }
}

function pictureReady() {
  pictureShown = true;
  pumpBackground();
}
video.addEventListener("loadeddata", pictureReady);
video.addEventListener("error", pictureReady);

async function getJson(path) {
  return answer(await fetch(path));
}

function say(text, kind) {
  const box = $("message");
  box.textContent = text || "";
  box.className = "message" + (kind ? " " + kind : "");
}

// a row's frame and sound are undefined while its Segment has none: then the page sends none
function pageSegments() {
  return rows.map((r) => ({
    id: r.id, start: r.start, end: r.end, voiceover: r.voiceover, frame: r.frame, sound: r.sound,
  }));
}

// what the row's Segment sounds like (a value the check refuses is heard as a narration)
function soundOf(row) {
  return [NARRATION, ORIGINAL, MIX].includes(row.sound) ? row.sound : NARRATION;
}

function voiceIndex() {
  return Number($("voice").value || 0);
}

// ---------------------------------------------------------------------------------------
// the Segment rows
// ---------------------------------------------------------------------------------------

function element(tag, className, text) {
  const el = document.createElement(tag);
  if (className) el.className = className;
  if (text !== undefined) el.textContent = text;
  return el;
}

function makeRow(seg) {
  const row = {
    id: seg.id, start: seg.start, end: seg.end, voiceover: seg.voiceover, frame: seg.frame,
    sound: seg.sound, fileSound: seg.sound, timer: null, seq: 0, asked: null, plan: null,
  };
  const el = element("div", "seg");
  el.dataset.testid = "segment";
  const head = element("div", "row");
  row.num = element("span", "num");
  row.startInput = element("input");
  row.startInput.dataset.testid = "start";
  row.endInput = element("input");
  row.endInput.dataset.testid = "end";
  const buttons = [
    ["▶", "hear the range as it will sound", () => hear(row)],
    ["fit", "end = start + narration, as plan --fit writes it", () => fitEnd(row)],
    ["↑", "move up", () => move(row, -1)],
    ["↓", "move down", () => move(row, 1)],
    ["✕", "delete", () => remove(row)],
  ];
  row.frameMenu = element("select", "frame-menu");
  row.frameMenu.dataset.testid = "frame";
  row.frameMenu.title = "where the Segment sits in the finished short's vertical frame";
  row.frameMenu.addEventListener("change", () => {
    const value = row.frameMenu.value;
    if (value !== OTHER) setFrame(row, value === "fit" || value === "auto" ? value : Number(value));
  });
  showFrameMenu(row);
  row.soundMenu = element("select", "sound-menu");
  row.soundMenu.dataset.testid = "sound";
  row.soundMenu.title = "what is heard over the range: the narration, the source's own sound, or both";
  row.soundMenu.addEventListener("change", () => {
    const value = row.soundMenu.value;
    if (value === OTHER) return;
    // back to the default on a Segment that had no sound: it is written without one again
    setSound(row, value === NARRATION && row.fileSound === undefined ? undefined : value);
  });
  head.append(row.num, row.startInput, element("span", "", "–"), row.endInput, row.frameMenu, row.soundMenu);
  for (const [label, title, action] of buttons) {
    const b = element("button", "", label);
    b.type = "button";
    b.title = title;
    b.addEventListener("click", (ev) => { ev.stopPropagation(); action(); });
    head.append(b);
  }
  row.text = element("textarea");
  row.text.dataset.testid = "narration";
  const info = element("div", "info");
  row.rangeCell = element("span", "range");
  row.narrationCell = element("span", "nlen");
  row.fitCell = element("span", "fit");
  row.fitCell.dataset.testid = "fit";
  info.append(row.rangeCell, row.narrationCell, row.fitCell);
  row.errorCell = element("div", "error");
  el.append(head, row.text, info, row.errorCell);
  row.el = el;
  showSoundMenu(row);

  for (const [key, input] of [["start", row.startInput], ["end", row.endInput]]) {
    input.value = row[key];
    input.addEventListener("input", () => { row[key] = input.value; changed(row, false); });
    input.addEventListener("change", () => askFit(row));
  }
  row.text.value = row.voiceover;
  row.text.addEventListener("input", () => { row.voiceover = row.text.value; changed(row, true); });
  row.text.addEventListener("blur", () => askFit(row));
  // a click on the row seeks to its start; one in its fields or buttons only selects it
  el.addEventListener("click", (ev) => select(rows.indexOf(row), !ev.target.closest("input, textarea, button, select")));
  return row;
}

function renumber() {
  rows.forEach((r, i) => {
    r.num.textContent = String(i + 1);
    r.el.classList.toggle("selected", i === selected);
  });
  drawTimeline();
  drawFrame();
}

function select(index, seek) {
  selected = index;
  renumber();
  const row = rows[index];
  if (row && seek) {
    const t = parseTime(row.start);
    if (t !== null) video.currentTime = t;
  }
}

function setRows(segments) {
  stopHearing();
  rows = segments.map(makeRow);
  const list = $("list");
  list.replaceChildren(...rows.map((r) => r.el));
  selected = rows.length ? 0 : -1;
  renumber();
  rows.forEach((r) => askFit(r));
}

function addRow() {
  const t = formatTime(video.currentTime || 0);
  const row = makeRow({ id: null, start: t, end: t, voiceover: "" });
  const at = selected + 1;
  rows.splice(at, 0, row);
  $("list").insertBefore(row.el, rows[at + 1] ? rows[at + 1].el : null);
  select(at, false);
  showRow(row);
  row.el.scrollIntoView({ block: "nearest" });
}

function move(row, step) {
  const i = rows.indexOf(row);
  const j = i + step;
  if (j < 0 || j >= rows.length) return;
  rows.splice(i, 1);
  rows.splice(j, 0, row);
  $("list").replaceChildren(...rows.map((r) => r.el));
  select(j, false);
  rows.forEach((r) => askFit(r, true)); // narrations are served by Segment number
}

function remove(row) {
  const i = rows.indexOf(row);
  rows.splice(i, 1);
  row.el.remove();
  select(Math.min(i, rows.length - 1), false);
  rows.forEach((r) => askFit(r, true));
}

// ---------------------------------------------------------------------------------------
// the frame: where the selected Segment sits in the finished short's 9:16 frame
// ---------------------------------------------------------------------------------------

// A number is the crop's centre as a fraction of the picture's width; "fit" shows the whole
// picture; "auto" keeps the subject (a face, else what stands out). The menu offers centre,
// fit and auto; a number the box was dragged to (or the file had) is shown as one more entry.
const CENTRE = 0.5;
const OTHER = "other";
const FRAME_CHOICES = [[String(CENTRE), "centre"], ["fit", "fit"], ["auto", "auto"]];

function isCrop(frame) {
  return typeof frame === "number" && frame >= 0 && frame <= 1;
}

function showFrameMenu(row) {
  const f = row.frame === undefined ? CENTRE : row.frame;
  const choices = [...FRAME_CHOICES];
  let chosen = choices.find(([value]) => value === String(f));
  if (!chosen) {
    chosen = [OTHER, isCrop(f) ? `crop at ${f.toFixed(3)}` : `${JSON.stringify(f)}: not a frame`];
    choices.push(chosen);
  }
  row.frameMenu.replaceChildren(...choices.map(([value, label]) => {
    const option = element("option", "", label);
    option.value = value;
    return option;
  }));
  row.frameMenu.value = chosen[0];
}

const SOUND_CHOICES = [[NARRATION, "narration"], [ORIGINAL, "original"], [MIX, "mix"]];

function showSoundMenu(row) {
  const choices = [...SOUND_CHOICES];
  const s = row.sound === undefined ? NARRATION : row.sound;
  let chosen = choices.find(([value]) => value === s);
  if (!chosen) {
    chosen = [OTHER, `${JSON.stringify(s)}: not a sound`];
    choices.push(chosen);
  }
  row.soundMenu.replaceChildren(...choices.map(([value, label]) => {
    const option = element("option", "", label);
    option.value = value;
    return option;
  }));
  row.soundMenu.value = chosen[0];
  const original = s === ORIGINAL;
  row.el.classList.toggle("original", original);
  row.text.placeholder = original ? "no narration: the range plays with its own sound" : "narration";
  row.text.title = original ? "not heard: the range plays with its own sound" : "";
}

function setSound(row, value) {
  row.sound = value;
  showSoundMenu(row);
  askFit(row, true);
}

function setFrame(row, frame) {
  row.frame = frame;
  showFrameMenu(row);
  drawFrame();
}

// the picture inside the video element (it is letterboxed to keep its shape), in pixels
function pictureBox() {
  const [vw, vh] = [video.videoWidth, video.videoHeight];
  const [cw, ch] = [video.clientWidth, video.clientHeight];
  if (!vw || !vh || !cw || !ch) return null;
  const scale = Math.min(cw / vw, ch / vh);
  const [w, h] = [vw * scale, vh * scale];
  return { left: (cw - w) / 2, top: (ch - h) / 2, width: w, height: h };
}

// the 9:16 crop in the picture: the picture's height (its width when it is narrower than
// 9:16), its left edge kept between the picture's edges
function cropBox(picture, centre) {
  const width = Math.min(picture.width, (picture.height * 9) / 16);
  const height = Math.min(picture.height, (width * 16) / 9);
  const x = Math.min(Math.max(0, centre * picture.width - width / 2), picture.width - width);
  return { left: x, top: (picture.height - height) / 2, width, height };
}

function drawFrame() {
  const box = $("frame-box");
  const row = rows[selected];
  const picture = pictureBox();
  if (!row || !picture) {
    box.hidden = true;
    return;
  }
  const f = row.frame === undefined ? CENTRE : row.frame;
  const fit = f === "fit";
  const auto = f === "auto";
  const crop = fit
    ? { left: 0, top: 0, width: picture.width, height: picture.height }
    : cropBox(picture, isCrop(f) ? f : auto ? autoCentre(row) : CENTRE);
  Object.assign(box.style, {
    left: `${picture.left + crop.left}px`,
    top: `${picture.top + crop.top}px`,
    width: `${crop.width}px`,
    height: `${crop.height}px`,
  });
  box.className = "frame-box" + (fit ? " fit" : f === "auto" ? " auto" : isCrop(f) ? "" : " bad");
  $("frame-label").textContent = fit
    ? `Segment ${selected + 1}: fit, the whole picture over a blurred fill`
    : f === "auto"
      ? `Segment ${selected + 1}: auto, keeps the subject${row.path && !row.path.points ? " (finding its path…)" : ""}`
      : isCrop(f)
        ? `Segment ${selected + 1}: ${f === CENTRE ? "centre" : f.toFixed(3)}`
        : `Segment ${selected + 1}: not a frame`;
  $("frame-grip").hidden = fit;
  box.hidden = false;
}

// a drag moves the crop sideways; the Segment's frame becomes the crop's centre
let frameDrag = null;
$("frame-grip").addEventListener("pointerdown", (ev) => {
  const row = rows[selected];
  const picture = pictureBox();
  if (!row || !picture) return;
  ev.preventDefault();
  const f = isCrop(row.frame) ? row.frame : row.frame === "auto" ? autoCentre(row) : CENTRE;
  frameDrag = { row, picture, x: ev.clientX, left: cropBox(picture, f).left, moved: false };
  $("frame-grip").setPointerCapture(ev.pointerId);
});
$("frame-grip").addEventListener("pointermove", (ev) => {
  if (!frameDrag) return;
  const { row, picture, x, left } = frameDrag;
  // a click on an auto frame leaves it auto; a drag makes it the crop dragged to
  frameDrag.moved = frameDrag.moved || Math.abs(ev.clientX - x) > 2;
  if (!frameDrag.moved) return;
  const width = cropBox(picture, CENTRE).width;
  const moved = Math.min(Math.max(0, left + ev.clientX - x), picture.width - width);
  setFrame(row, Math.round((1000 * (moved + width / 2)) / picture.width) / 1000);
});
for (const name of ["pointerup", "pointercancel"]) {
  $("frame-grip").addEventListener(name, () => { frameDrag = null; });
}
video.addEventListener("loadedmetadata", drawFrame);
window.addEventListener("resize", drawFrame);

// An "auto" frame's path over its range, asked for in the background once per range: where
// the crop's centre is at each time ([time, centre] points). The box follows it while the
// range plays, and stands where the path is at the playhead (held at the range's ends).
function pathOf(row) {
  const [t0, t1] = [parseTime(row.start), parseTime(row.end)];
  if (t0 === null || t1 === null || t1 <= t0 || t1 - t0 > state.path_longest) return null;
  const key = `${t0} ${t1}`;
  if (!row.path || row.path.key !== key) {
    const asked = { key, t0, t1, points: null };
    row.path = asked;
    inBackground(
      () => getJson(`/api/path?from=${t0.toFixed(3)}&to=${t1.toFixed(3)}`),
      () => row.path !== asked,
      true,
    ).then((answer) => {
      if (row.path !== asked) return;
      asked.points = answer && answer.ok ? answer.data.path : [];
      if (rows[selected] === row) drawFrame();
    });
  }
  return row.path;
}

function along(points, t) {
  if (!points.length) return CENTRE;
  if (t <= points[0][0]) return points[0][1];
  for (let i = 1; i < points.length; i++) {
    const [b, xb] = points[i];
    if (t <= b) {
      const [a, xa] = points[i - 1];
      return b > a ? xa + ((xb - xa) * (t - a)) / (b - a) : xb;
    }
  }
  return points[points.length - 1][1];
}

function autoCentre(row) {
  const path = pathOf(row);
  if (!path || !path.points) return CENTRE;
  return along(path.points, Math.min(Math.max(video.currentTime, path.t0), path.t1));
}

function autoSelected() {
  const row = rows[selected];
  return !!row && row.frame === "auto";
}

// once a frame while the video plays (once after a seek)
let following = false;
function followPath() {
  if (following) return;
  following = true;
  const tick = () => {
    drawFrame();
    if (!video.paused && autoSelected()) requestAnimationFrame(tick);
    else following = false;
  };
  requestAnimationFrame(tick);
}
["play", "timeupdate", "seeked"].forEach((name) => video.addEventListener(name, () => {
  if (autoSelected()) followPath();
}));

// ---------------------------------------------------------------------------------------
// fit cells
// ---------------------------------------------------------------------------------------

function showRow(row) {
  const t0 = parseMicros(row.start);
  const t1 = parseMicros(row.end);
  let error = "";
  if (t0 === null || t1 === null) error = "write the times as HH:MM:SS.mmm or seconds";
  else if (t1 <= t0) error = "the end is not after the start";
  row.errorCell.textContent = error;
  row.rangeCell.textContent = error ? "range –" : `range ${(Number(t1 - t0) / 1e6).toFixed(3)} s`;
  drawTimeline();
  return !error;
}

function changed(row, narration) {
  showRow(row);
  clearTimeout(row.timer);
  if (narration) {
    row.fitCell.textContent = "…";
    row.fitCell.className = "fit";
  }
  row.timer = setTimeout(() => askFit(row), STILL_MS);
}

function fitText(plan) {
  if (plan.problems && plan.problems.length) return [plan.loss || plan.problems.join(" "), "bad"];
  if (plan.loss) return [`fits; ${plan.loss}`, "warn"];
  return ["fits", "good"];
}

async function askFit(row, force, speak) {
  clearTimeout(row.timer);
  if (!showRow(row)) {
    row.fitCell.textContent = "";
    return;
  }
  const n = rows.indexOf(row) + 1;
  if (n < 1) return;
  const ask = JSON.stringify([n, row.start, row.end, row.voiceover, soundOf(row), voiceIndex(), $("exact").checked]);
  if (ask === row.asked && !force && !speak) return;
  row.asked = ask;
  const seq = ++row.seq;
  row.fitCell.textContent = "…";
  const answer = await askInTurn({
    n, start: row.start, end: row.end, voiceover: row.voiceover, sound: soundOf(row),
    voice: voiceIndex(), exact: $("exact").checked, speak: !!speak,
  }, () => seq !== row.seq);
  if (answer === null || seq !== row.seq) return; // a newer question is on its way
  const plan = answer.data;
  if (!answer.ok || plan.error) {
    row.asked = null;
    row.plan = null;
    row.fitCell.textContent = plan.error || plan.message;
    row.fitCell.className = "fit bad";
    row.narrationCell.textContent = "narration –";
    return;
  }
  row.plan = plan;
  if (plan.original) {
    row.narrationCell.textContent = "no narration";
    row.fitCell.textContent = "plays with its own sound, start to end";
    row.fitCell.className = "fit good";
    return;
  }
  if (plan.narration == null) {
    row.narrationCell.textContent = "narration not spoken";
    row.fitCell.textContent = "press ▶ to have the service speak it";
    row.fitCell.className = "fit warn";
    return;
  }
  row.narrationCell.textContent = `narration ${plan.narration.toFixed(3)} s`;
  const [text, kind] = fitText(plan);
  row.fitCell.textContent = text;
  row.fitCell.className = "fit " + kind;
}

// the one-click fit: the end moved to where the whole narration is heard
async function fitEnd(row) {
  const n = rows.indexOf(row) + 1;
  const paid = !!state.voices[voiceIndex()]?.paid;
  const answer = await askInTurn({
    n, start: row.start, end: row.end, voiceover: row.voiceover, sound: soundOf(row),
    voice: voiceIndex(), exact: $("exact").checked, speak: paid,
  }, () => false);
  const end = answer.data.fitted_end;
  if (!end) {
    say(answer.data.fit_error || answer.data.error || answer.data.message, "bad");
    return;
  }
  row.end = end;
  row.endInput.value = end;
  askFit(row);
}

// ---------------------------------------------------------------------------------------
// hearing one Segment over its range, as it will sound: its narration over the source
// muted; the source's own sound and no narration ("original"); or its narration over the
// source's sound, which is lowered while the narration is heard ("mix")
// ---------------------------------------------------------------------------------------

function stopHearing() {
  if (!hearing) return;
  if (hearing.audio) hearing.audio.pause();
  video.pause();
  video.muted = hearing.muted;
  video.volume = hearing.volume;
  hearing = null;
}

async function hear(row) {
  stopHearing();
  const n = rows.indexOf(row) + 1;
  const sound = soundOf(row);
  let audio = null;
  if (sound === ORIGINAL) {
    if (!showRow(row)) return;
  } else {
    const paid = state.voices[voiceIndex()] && state.voices[voiceIndex()].paid;
    if (row.plan?.narration == null) await askFit(row, true, paid);
    if (row.plan?.narration == null) return;
    audio = new Audio(`/media/narration/${n}?t=${Date.now()}`);
  }
  select(n - 1, true);
  const heard = { audio, end: parseTime(row.end), muted: video.muted, volume: video.volume };
  hearing = heard;
  video.muted = sound === NARRATION;
  if (sound === MIX) {
    audio.addEventListener("ended", () => {
      if (hearing === heard) video.volume = heard.volume;
    });
  }
  try {
    await video.play();
    if (audio) {
      if (sound === MIX) video.volume = heard.volume * MIXED_VOLUME;
      await audio.play();
    }
  } catch (e) {
    say(`cannot play: ${e}`, "bad");
    stopHearing();
  }
}

video.addEventListener("timeupdate", () => {
  if (hearing && video.currentTime >= hearing.end) stopHearing();
});

// ---------------------------------------------------------------------------------------
// the video, the time, the timeline
// ---------------------------------------------------------------------------------------

// The timeline shows the window view.from .. view.from + view.span: the whole film at first,
// down to MIN_SPAN seconds across. Keyframe ticks are read for the window shown, once it is
// no wider than the server reads at once (state.keyframe_window).
const MIN_SPAN = 2;
const ZOOM_STEP = 1.5;
const MIN_BLOCK_PX = 3;
let view = { from: 0, span: 1 };
let tickTimer = null;
let tickAsk = 0;

function timeAt(clientX) {
  const box = $("timeline").getBoundingClientRect();
  return view.from + ((clientX - box.left) / box.width) * view.span;
}

function setView(from, span) {
  const duration = state.video.duration;
  const s = Math.min(duration, Math.max(Math.min(MIN_SPAN, duration), span));
  view = { from: Math.min(Math.max(0, from), duration - s), span: s };
  drawTimeline();
  clearTimeout(tickTimer);
  tickTimer = setTimeout(() => {
    readTicks();
    readShots();
    readStrip();
  }, 150);
}

// zoom by factor, keeping the time at keeps where it is on the line
function zoom(factor, at) {
  const duration = state.video.duration;
  const span = Math.min(duration, Math.max(Math.min(MIN_SPAN, duration), view.span * factor));
  setView(at - ((at - view.from) * span) / view.span, span);
}

async function readTicks() {
  const [from, to] = [view.from, view.from + view.span];
  const ask = ++tickAsk;
  if (view.span > state.keyframe_window) {
    keyframes = { from: 0, to: 0, times: [] };
  } else {
    const query = `from=${from.toFixed(3)}&to=${to.toFixed(3)}`;
    const data = await fetch(`/api/keyframes?${query}`).then((r) => r.json()).catch(() => ({}));
    if (ask !== tickAsk || !data.keyframes) return; // the view moved on meanwhile
    keyframes = { from: data.from, to: data.to, times: data.keyframes };
  }
  drawTimeline();
}

// Shot changes: looked for in the background for the window shown (once it is no wider
// than state.shot_window); every change found is kept, for the ticks, for [ and ], and for
// I and O, which snap onto a change within SNAP seconds.
const SNAP = 0.3;
let shotsSearched = []; // [from, to] windows already looked in
let shotAsk = 0;

function readShots() {
  const [from, to] = [view.from, view.from + view.span];
  const ask = ++shotAsk;
  if (view.span > state.shot_window) return;
  if (shotsSearched.some(([a, b]) => a <= from && to <= b)) return;
  const query = `from=${from.toFixed(3)}&to=${to.toFixed(3)}`;
  inBackground(() => getJson(`/api/shots?${query}`), () => ask !== shotAsk).then((answer) => {
    if (!answer || !answer.ok) return; // (what was found is kept even when the view moved on)
    shotsSearched.push([answer.data.from, answer.data.to]);
    const merged = [...shotTimes, ...answer.data.shots].sort((a, b) => a - b);
    shotTimes = merged.filter((t, i) => i === 0 || t - merged[i - 1] > 1e-3);
    drawTimeline();
  });
}

function snapped(t) {
  let best = null;
  for (const s of shotTimes) {
    if (Math.abs(s - t) <= SNAP && (best === null || Math.abs(s - t) < Math.abs(best - t))) best = s;
  }
  return best === null ? t : best;
}

function jumpShot(direction) {
  const t = video.currentTime;
  const margin = 0.5 / (state.video.fps || 25);
  const next = direction > 0
    ? shotTimes.find((s) => s > t + margin)
    : shotTimes.findLast((s) => s < t - margin);
  if (next === undefined) {
    say(view.span > state.shot_window
      ? "zoom in (+, wheel) to find the shot changes"
      : `no shot change found ${direction > 0 ? "after" : "before"} ${formatTime(t)} in the windows shown so far`);
    return;
  }
  video.pause();
  video.currentTime = next;
}

// The filmstrip: one picture of small tiles for the window shown, made in the background and
// drawn into a canvas (the page holds no image element); until the next one comes, the
// last one is drawn where its window lies.
const TILE_PX = 80; // on the page: about a 16:9 tile in the strip's height
let stripAsk = 0;
let stripWanted = "";

function readStrip() {
  const width = $("filmstrip").clientWidth || 1;
  const count = Math.min(state.max_tiles, Math.max(1, Math.round(width / TILE_PX)));
  const [from, to] = [view.from, Math.min(view.from + view.span, state.video.duration)];
  const url = `/api/filmstrip?from=${from.toFixed(3)}&to=${to.toFixed(3)}&count=${count}`;
  if (url === strip.url || url === stripWanted) return;
  stripWanted = url;
  const ask = ++stripAsk;
  const load = () => new Promise((resolve) => {
    const picture = new Image();
    picture.onload = () => resolve(picture);
    picture.onerror = () => resolve(null);
    picture.src = url;
  });
  inBackground(load, () => ask !== stripAsk).then((picture) => {
    if (!picture || ask !== stripAsk) return;
    const canvas = element("canvas");
    [canvas.width, canvas.height] = [picture.naturalWidth, picture.naturalHeight];
    canvas.getContext("2d").drawImage(picture, 0, 0);
    canvas.id = "filmstrip-image";
    canvas.dataset.testid = "filmstrip-image";
    $("filmstrip").replaceChildren(canvas);
    Object.assign(strip, { from, to, url });
    drawStrip();
  });
}

function drawStrip() {
  const canvas = $("filmstrip-image");
  if (!state || !canvas) return;
  const width = $("filmstrip").clientWidth || 1;
  const x = (t) => ((t - view.from) / view.span) * width;
  canvas.style.left = `${x(strip.from)}px`;
  canvas.style.width = `${x(strip.to) - x(strip.from)}px`;
}

function showTime() {
  const t = video.currentTime || 0;
  $("time").textContent = formatTime(t);
  const head = $("timeline").querySelector(".head");
  if (head) {
    head.style.left = `${(100 * (t - view.from)) / view.span}%`;
    head.hidden = t < view.from || t > view.from + view.span;
  }
}

// a seek, or playing on, out of the window brings the window along
function keepHeadInView() {
  const t = video.currentTime;
  if (state && (t < view.from || t > view.from + view.span)) setView(t - view.span / 10, view.span);
  showTime();
}

["timeupdate", "seeked", "loadedmetadata"].forEach((name) => video.addEventListener(name, keepHeadInView));

function drawTimeline() {
  if (!state) return;
  const line = $("timeline");
  const width = line.clientWidth || 1;
  const [from, to] = [view.from, view.from + view.span];
  const x = (t) => ((t - from) / view.span) * width;
  const parts = [];
  rows.forEach((r, i) => {
    const t0 = parseTime(r.start);
    const t1 = parseTime(r.end);
    if (t0 === null || t1 === null || t1 <= t0 || t1 < from || t0 > to) return;
    const block = element("div", "block" + (i === selected ? " selected" : ""), String(i + 1));
    const [left, right] = [Math.max(-2, x(t0)), Math.min(width + 2, x(t1))];
    block.style.left = `${left}px`;
    block.style.width = `${Math.max(MIN_BLOCK_PX, right - left)}px`;
    parts.push(block);
  });
  for (const k of keyframes.times) {
    if (k < from || k > to) continue;
    const tick = element("div", "tick");
    tick.style.left = `${x(k)}px`;
    parts.push(tick);
  }
  for (const s of shotTimes) {
    if (s < from || s > to) continue;
    const tick = element("div", "shot");
    tick.dataset.testid = "shot";
    tick.title = `shot change at ${formatTime(s)}`;
    tick.style.left = `${x(s)}px`;
    parts.push(tick);
  }
  parts.push(element("div", "head"));
  line.replaceChildren(...parts);
  $("view-from").textContent = formatTime(from);
  $("view-to").textContent = formatTime(to);
  $("view-note").textContent = view.span > state.keyframe_window ? "zoom in (+, wheel) to see the keyframes and shot changes" : "";
  drawStrip();
  showTime();
}

// a click seeks; a drag pans; the wheel zooms about the pointer (with Shift, or sideways, pans)
let drag = null;
$("timeline").addEventListener("pointerdown", (ev) => {
  drag = { x: ev.clientX, from: view.from, moved: false };
  $("timeline").setPointerCapture(ev.pointerId);
});
$("timeline").addEventListener("pointermove", (ev) => {
  if (!drag) return;
  const dx = ev.clientX - drag.x;
  drag.moved = drag.moved || Math.abs(dx) > 3;
  if (drag.moved) setView(drag.from - (dx / $("timeline").clientWidth) * view.span, view.span);
});
$("timeline").addEventListener("pointerup", (ev) => {
  if (drag && !drag.moved) video.currentTime = Math.min(Math.max(0, timeAt(ev.clientX)), state.video.duration);
  drag = null;
});
$("filmstrip").addEventListener("click", (ev) => {
  const box = $("filmstrip").getBoundingClientRect();
  const t = view.from + ((ev.clientX - box.left) / box.width) * view.span;
  video.currentTime = Math.min(Math.max(0, t), state.video.duration);
});
$("timeline").addEventListener("wheel", (ev) => {
  ev.preventDefault();
  const sideways = ev.shiftKey || Math.abs(ev.deltaX) > Math.abs(ev.deltaY);
  const delta = ev.shiftKey ? ev.deltaY || ev.deltaX : sideways ? ev.deltaX : ev.deltaY;
  if (sideways) setView(view.from + (delta / $("timeline").clientWidth) * view.span, view.span);
  else zoom(Math.exp(delta * 0.002), timeAt(ev.clientX));
}, { passive: false });

// the keys zoom about the playhead when it is in the window, else about the middle
function zoomKey(factor) {
  const t = video.currentTime;
  zoom(factor, t >= view.from && t <= view.from + view.span ? t : view.from + view.span / 2);
}

function step(frames) {
  video.pause();
  const t = video.currentTime + frames / (state.video.fps || 25);
  video.currentTime = Math.min(Math.max(0, t), state.video.duration);
}

document.addEventListener("keydown", (ev) => {
  if (ev.ctrlKey || ev.metaKey || ev.altKey) return;
  if (ev.target.closest && ev.target.closest("input, textarea, select")) return;
  const key = ev.key.toLowerCase();
  const row = rows[selected];
  if (key === "i" || key === "o") {
    if (!row) addRow();
    const target = rows[selected];
    const now = formatTime(snapped(video.currentTime));
    if (key === "i") {
      target.start = now;
      target.startInput.value = now;
    } else {
      target.end = now;
      target.endInput.value = now;
    }
    askFit(target);
  } else if (key === "n") {
    addRow();
  } else if (key === ",") {
    step(-1);
  } else if (key === ".") {
    step(1);
  } else if (key === "[" || key === "]") {
    jumpShot(key === "]" ? 1 : -1);
  } else if (key === "+" || key === "=") {
    zoomKey(1 / ZOOM_STEP);
  } else if (key === "-") {
    zoomKey(ZOOM_STEP);
  } else {
    return;
  }
  ev.preventDefault();
});

// ---------------------------------------------------------------------------------------
// dialogue: the lines that say the words searched for; a click on one seeks to it, its
// button makes the selected Segment's range the line's
// ---------------------------------------------------------------------------------------

const SEARCH_STILL_MS = 600; // typing searches once the words have been still this long
const SEARCH_MIN = 3; // characters before typing searches (Enter searches any words)
let searchTimer = null;
let searchAsk = 0;
let searched = null;

function dialogueNote(text, kind) {
  const note = $("dialogue-note");
  note.textContent = text || "";
  note.className = "note" + (kind ? " " + kind : "");
}

async function searchDialogue(force) {
  clearTimeout(searchTimer);
  const words = $("dialogue-search").value.trim();
  if (!words) {
    searched = null;
    $("dialogue-lines").replaceChildren();
    dialogueNote("");
    return;
  }
  if (words === searched && !force) return;
  searched = words;
  const ask = ++searchAsk;
  dialogueNote("searching…");
  const answer = await getJson(`/api/dialogue?q=${encodeURIComponent(words)}`)
    .catch((e) => ({ ok: false, data: { message: String(e) } }));
  if (ask !== searchAsk) return; // newer words are on their way
  if (!answer.ok) {
    searched = null;
    $("dialogue-lines").replaceChildren();
    dialogueNote(answer.data.message, "bad");
    return;
  }
  const lines = answer.data.lines;
  $("dialogue-lines").replaceChildren(...lines.map(dialogueLine));
  dialogueNote(lines.length ? `${lines.length} line${lines.length === 1 ? "" : "s"}` : `no line says “${words}”`);
}

function dialogueLine(line) {
  const el = element("div", "line");
  el.dataset.testid = "dialogue-line";
  el.title = "click to see it; Use makes it the selected Segment's range";
  const when = element("span", "when", formatTime(line.start));
  when.dataset.testid = "dialogue-time";
  const text = element("span", "text", line.text);
  const use = element("button", "", "Use");
  use.type = "button";
  use.dataset.testid = "dialogue-use";
  use.title = "the selected Segment's start and end become this line's (a new Segment when none is selected)";
  use.addEventListener("click", (ev) => {
    ev.stopPropagation();
    useLine(line);
  });
  el.append(when, text, use);
  el.addEventListener("click", () => {
    video.pause();
    video.currentTime = line.start;
  });
  return el;
}

function useLine(line) {
  if (!rows[selected]) addRow();
  const row = rows[selected];
  [row.start, row.end] = [formatTime(line.start), formatTime(line.end)];
  row.startInput.value = row.start;
  row.endInput.value = row.end;
  askFit(row);
  drawFrame();
  row.el.scrollIntoView({ block: "nearest" });
}

$("dialogue-search").addEventListener("keydown", (ev) => {
  if (ev.key === "Enter") {
    ev.preventDefault();
    searchDialogue(true);
  }
});
$("dialogue-search").addEventListener("input", () => {
  clearTimeout(searchTimer);
  const words = $("dialogue-search").value.trim();
  if (!words || words.length >= SEARCH_MIN) searchTimer = setTimeout(() => searchDialogue(false), SEARCH_STILL_MS);
});

// ---------------------------------------------------------------------------------------
// save
// ---------------------------------------------------------------------------------------

async function save(overwrite) {
  $("choice").hidden = true;
  const answer = await post("/api/save", { segments: pageSegments(), overwrite: !!overwrite });
  if (answer.ok) {
    // each row now stands for the Segment just saved (a sound left out stays out)
    answer.data.ids.forEach((id, i) => { Object.assign(rows[i], { id, fileSound: rows[i].sound }); });
    $("problems").hidden = true;
    state.blocked = false;
    say(answer.data.message, "good");
    return;
  }
  say(answer.data.problems || answer.data.message, "bad");
  if (answer.data.conflict) $("choice").hidden = false;
}

async function reload() {
  $("choice").hidden = true;
  const answer = await post("/api/reload", {});
  if (!answer.ok) {
    say(answer.data.message, "bad");
    return;
  }
  state = answer.data;
  showProblems();
  setRows(state.segments);
  say("reloaded from disk", "good");
}

function showProblems() {
  const box = $("problems");
  let text = state.problems || "";
  if (state.blocked) text += "\nSaving over this file needs an explicit Overwrite.";
  box.textContent = text.trim();
  box.hidden = !text.trim();
}

// ---------------------------------------------------------------------------------------
// render
// ---------------------------------------------------------------------------------------

// the music is heard only in the finished short: while it is chosen, so is the finished short
const FINISH_TITLE = $("finish").parentElement.title;

function showMusic() {
  const on = !!state.music && $("music").checked;
  $("finish").disabled = on;
  if (on) $("finish").checked = true;
  $("finish").parentElement.title = on
    ? "the music is heard only in the finished short: it is made while the music is chosen"
    : FINISH_TITLE;
  $("caption-style").disabled = !$("finish").checked;
}

async function render() {
  const music = !!state.music && $("music").checked;
  const level = $("music-level").valueAsNumber;
  if (music && !Number.isFinite(level)) {
    say(`write the music's level in dB, from ${state.music.levels[0]} to ${state.music.levels[1]}`, "bad");
    return;
  }
  const answer = await post("/api/render", {
    segments: pageSegments(),
    speed: Number($("speed").value),
    voice: voiceIndex(),
    options: {
      captions: $("captions").checked,
      burn: $("burn").checked,
      exact: $("exact").checked,
      finish: $("finish").checked,
      timeline: $("export-timeline").checked,
      snap: $("snap").checked,
      caption_style: $("caption-style").value,
      ...(state.music ? { music, music_level: level } : {}),
    },
  });
  if (!answer.ok) {
    say(answer.data.problems || answer.data.message, "bad");
    return;
  }
  say(answer.data.note ? `rendering… (${answer.data.note})` : "rendering…");
  follow();
}

// one event of the render: its step in words, how far the step is, how long it has left
let stepKey = null;
let stepStarted = 0;

function showEvent(ev) {
  const key = `${ev.step} ${ev.index}`;
  if (key !== stepKey) {
    [stepKey, stepStarted] = [key, ev.t];
    const log = $("progress-log");
    log.textContent += `${ev.label}${ev.message ? `: ${ev.message}` : ""}\n`;
    log.scrollTop = log.scrollHeight;
  }
  $("progress-line").textContent = ev.message ? `${ev.label}: ${ev.message}` : ev.label;
  const f = ev.fraction;
  $("bar-fill").style.width = `${100 * (f || 0)}%`;
  const left = f > 0 && f < 1 ? ((ev.t - stepStarted) * (1 - f)) / f : null;
  $("eta").textContent = left === null ? "" : `about ${Math.ceil(left)} s left in this step`;
}

// a line the job warned with (a stream-copy piece that opens before its Segment's start)
function showWarning(line) {
  const box = $("warnings");
  box.append(element("div", "", line));
  box.hidden = false;
}

function follow() {
  if (progressSource) progressSource.close();
  $("progress-log").textContent = "";
  $("warnings").replaceChildren();
  $("warnings").hidden = true;
  $("outcome").hidden = true;
  $("render").disabled = true;
  stepKey = null;
  const source = new EventSource("/api/progress");
  progressSource = source;
  source.onmessage = (ev) => showEvent(JSON.parse(ev.data));
  source.addEventListener("warning", (ev) => showWarning(JSON.parse(ev.data)));
  source.addEventListener("idle", () => {
    source.close();
    $("render").disabled = false;
  });
  source.addEventListener("done", (ev) => {
    source.close();
    progressSource = null;
    $("render").disabled = false;
    finished(JSON.parse(ev.data));
  });
  source.onerror = () => {
    if (source.readyState === EventSource.CLOSED) $("render").disabled = false;
  };
}

function finished(done) {
  $("eta").textContent = "";
  if (!done.ok) {
    $("progress-line").textContent = "the render failed";
    say(done.message, "bad");
    return;
  }
  $("bar-fill").style.width = "100%";
  $("progress-line").textContent = "done";
  say("rendered", "good");
  const p = state.products;
  const url = (name) => `/media/output/${name}?t=${Date.now()}`;
  const result = $("result");
  result.replaceChildren();
  // the finished short when one was made (its captions are drawn in), else the vertical
  // video with its captions as a track
  const finishedShort = done.products.includes(p.finished);
  result.src = url(finishedShort ? p.finished : p.vertical);
  if (!finishedShort && done.products.includes(p.captions)) {
    const track = element("track");
    Object.assign(track, { kind: "captions", label: "captions", srclang: "en", default: true });
    track.src = url(p.captions.replace(/\.srt$/, ".vtt"));
    result.append(track);
  }
  const links = [
    ["vertical", p.vertical], ["horizontal", p.horizontal], ["captioned", p.captioned],
    ["finished", p.finished], ["words-vertical", p.words[0]], ["words-horizontal", p.words[1]],
  ];
  for (const [id, name] of links) {
    $(`link-${id}`).href = url(name);
    $(`link-${id}`).hidden = !done.products.includes(name);
  }
  $("outcome").hidden = false;
  $("outcome").scrollIntoView({ block: "nearest" });
  result.play().catch(() => {});
}

// ---------------------------------------------------------------------------------------
// start
// ---------------------------------------------------------------------------------------

async function start() {
  const response = await fetch("/api/state");
  state = await response.json();
  $("paths").textContent = `${state.paths.video} · ${state.paths.segments} → ${state.paths.output}`;
  $("speed").value = String(state.speed);
  const voices = $("voice");
  state.voices.forEach((v, i) => {
    const option = element("option", "", v.label);
    option.value = String(i);
    voices.append(option);
  });
  for (const style of state.caption_styles) {
    const option = element("option", "", style);
    option.value = style;
    $("caption-style").append(option);
  }
  $("caption-style").value = "words";
  if (state.music) {
    $("music-name").textContent = state.music.name;
    $("music-level").value = String(state.music.level);
    [$("music-level").min, $("music-level").max] = state.music.levels.map(String);
    $("music-controls").hidden = false;
    showMusic();
  }
  showProblems();
  setRows(state.segments);
  if (state.render) follow();
  setView(0, state.video.duration);
  if (video.readyState >= 2) pictureReady();
}

$("add").addEventListener("click", addRow);
$("save").addEventListener("click", () => save(false));
$("overwrite").addEventListener("click", () => save(true));
$("reload").addEventListener("click", reload);
$("render").addEventListener("click", render);
$("voice").addEventListener("change", () => rows.forEach((r) => askFit(r)));
$("exact").addEventListener("change", () => rows.forEach((r) => askFit(r)));
$("finish").addEventListener("change", () => { $("caption-style").disabled = !$("finish").checked; });
$("music").addEventListener("change", showMusic);

start();
