// The page at /: one self-contained document (no file, no network beyond this
// server) that draws the match as SVG and polls /view.json; for a replay it
// loads /recording.jsonl once and plays it with its own controls.
#pragma once

inline constexpr char PAGE[] = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>ZOLT match</title>
<style>
body { margin: 0; font: 14px sans-serif; background: #11151c; color: #dde3ea; display: flex; height: 100vh; }
#map { flex: 1; min-width: 0; }
#svg { width: 100%; height: 100%; display: block; background: #1a202a; }
.legend svg { vertical-align: middle; }
#side { width: 330px; padding: 10px; overflow-y: auto; border-left: 1px solid #333c4a; }
h1 { font-size: 17px; margin: 0 0 8px; }
.figures div { margin: 2px 0; }
.figures b { color: #fff; }
table { border-collapse: collapse; width: 100%; margin-top: 8px; font-size: 12px; }
th, td { text-align: right; padding: 2px 4px; border-bottom: 1px solid #2a3240; }
tr.stalled td { background: #7a1d1d; color: #fff; font-weight: bold; }
#stall { margin-top: 6px; padding: 4px; background: #7a1d1d; color: #fff; font-weight: bold; display: none; }
#replay { display: none; margin-top: 10px; }
#replay input[type=range] { width: 100%; }
.legend span { margin-right: 10px; }
.human-mark { fill: #4aa3ff; }
.bot-mark { fill: #ffb347; }
g.stalled .human-mark { fill: #ff4040; }
.route { fill: none; stroke: #ffb34766; stroke-width: 1.5; stroke-dasharray: 5 4; }
.label { fill: #dde3ea; font-size: 11px; }
#error { color: #ff8080; }
</style>
</head>
<body>
<div id="map"><svg id="svg" xmlns="http://www.w3.org/2000/svg"><g id="routes"></g><g id="players"></g></svg></div>
<div id="side">
<h1>ZOLT match</h1>
<div class="figures">
<div>Turn <b id="turn">-</b></div>
<div><b id="tps">0</b> turns/s, <b id="mps">0</b> messages/s</div>
<div>Map <b id="mapno">-</b>, relays <b id="relays">-</b></div>
</div>
<div class="legend"><span><svg width="12" height="12"><circle cx="6" cy="6" r="5" class="human-mark"/></svg> human</span><span><svg width="12" height="12"><rect x="1" y="1" width="10" height="10" class="bot-mark"/></svg> bot</span></div>
<div id="stall"></div>
<div id="replay">
<button id="play">Pause</button>
speed <select id="speed"><option value="1">1</option><option value="2">2</option><option value="5">5</option><option value="10" selected>10</option><option value="30">30</option><option value="100">100</option></select> turns/s
<input id="slider" type="range" min="0" max="0" value="0">
</div>
<table><thead><tr><th>player</th><th>kind</th><th>x</th><th>y</th><th>health</th><th>heading</th><th>round trip</th></tr></thead><tbody id="rows"></tbody></table>
<div id="error"></div>
</div>
<script>
"use strict";
const NS = "http://www.w3.org/2000/svg";
const svg = document.getElementById("svg");
const marks = [];
let history = [];  // [time ms, turns, messages] of the last polls

function el(name, attrs, parent) {
  const e = document.createElementNS(NS, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (parent) parent.appendChild(e);
  return e;
}

// A transform from match coordinates to the drawing, fitting every
// coordinate in play with a margin; y grows upwards as on a map.
function fit(points) {
  const box = svg.getBoundingClientRect();
  const w = box.width || 1000, h = box.height || 700;
  let minx = Infinity, miny = Infinity, maxx = -Infinity, maxy = -Infinity;
  for (const p of points) {
    minx = Math.min(minx, p[0]); maxx = Math.max(maxx, p[0]);
    miny = Math.min(miny, p[1]); maxy = Math.max(maxy, p[1]);
  }
  if (!isFinite(minx)) { minx = 0; maxx = 1; miny = 0; maxy = 1; }
  const spanx = Math.max(maxx - minx, 1), spany = Math.max(maxy - miny, 1);
  const pad = 40;
  const scale = Math.min((w - 2 * pad) / spanx, (h - 2 * pad) / spany);
  const ox = (w - spanx * scale) / 2, oy = (h - spany * scale) / 2;
  svg.setAttribute("viewBox", "0 0 " + w + " " + h);
  return (x, y) => [ox + (x - minx) * scale, h - (oy + (y - miny) * scale)];
}

function mark(i, human) {
  while (marks.length <= i) marks.push(null);
  if (marks[i] && marks[i].human === human) return marks[i];
  if (marks[i]) marks[i].g.remove();
  const g = el("g", {"data-player": i, "class": "player " + (human ? "human" : "bot")},
               document.getElementById("players"));
  const body = human ? el("circle", {r: 8, "class": "human-mark"}, g)
                     : el("rect", {x: -7, y: -7, width: 14, height: 14, "class": "bot-mark"}, g);
  const arrow = el("path", {d: "M0,0 L22,0 M16,-5 L22,0 L16,5", stroke: "#fff", "stroke-width": 2, fill: "none", "class": "heading"}, g);
  el("rect", {x: -12, y: -18, width: 24, height: 4, fill: "#552222"}, g);
  const bar = el("rect", {x: -12, y: -18, width: 24, height: 4, fill: "#3ddc84", "class": "health"}, g);
  const label = el("text", {x: 11, y: 16, "class": "label"}, g);
  label.textContent = i;
  marks[i] = {g, body, arrow, bar, human};
  return marks[i];
}

function fmtTime(s) {
  if (s === null || s === undefined) return "-";
  if (s < 1e-3) return (s * 1e6).toFixed(1) + " us";
  if (s < 1) return (s * 1e3).toFixed(2) + " ms";
  return s.toFixed(2) + " s";
}

// Draws one state: {state, humans, round_trip, waiting, routes}.
function draw(v) {
  const st = v.state;
  const points = st.players.map(p => [p.x, p.y]);
  for (const r of v.routes || []) for (let k = 0; k < 9; ++k) points.push([r[k], r[9 + k]]);
  const at = fit(points);
  const routes = document.getElementById("routes");
  routes.textContent = "";
  for (const r of v.routes || []) {
    const pts = [];
    for (let k = 0; k < 9; ++k) pts.push(at(r[k], r[9 + k]).join(","));
    el("polyline", {points: pts.join(" "), "class": "route"}, routes);
  }
  const waiting = v.waiting && v.waiting.seconds >= 1 ? v.waiting : null;
  const rows = [];
  st.players.forEach((p, i) => {
    const m = mark(i, p.human);
    const [sx, sy] = at(p.x, p.y);
    m.g.setAttribute("transform", "translate(" + sx.toFixed(1) + "," + sy.toFixed(1) + ")");
    m.g.setAttribute("data-x", p.x);
    m.g.setAttribute("data-y", p.y);
    m.g.setAttribute("data-health", p.health);
    m.g.setAttribute("data-heading", p.heading);
    // Headings are tenths of a degree, counter-clockwise from +x.
    m.arrow.setAttribute("transform", "rotate(" + (-p.heading / 10) + ")");
    m.bar.setAttribute("width", (24 * Math.max(0, Math.min(100, p.health)) / 100).toFixed(1));
    const stalled = waiting && waiting.player === i;
    m.g.classList.toggle("stalled", !!stalled);
    const rt = p.human && v.round_trip ? fmtTime(v.round_trip[i]) : "";
    rows.push("<tr data-player=\"" + i + "\"" + (stalled ? " class=\"stalled\"" : "") + "><td>" + i +
              "</td><td>" + (p.human ? "human" : "bot") + "</td><td>" + p.x + "</td><td>" + p.y +
              "</td><td>" + p.health + "</td><td>" + p.heading + "</td><td>" +
              (stalled ? "waiting " + waiting.seconds.toFixed(1) + " s" : rt) + "</td></tr>");
  });
  for (let i = st.players.length; i < marks.length; ++i) if (marks[i]) { marks[i].g.remove(); marks[i] = null; }
  document.getElementById("rows").innerHTML = rows.join("");
  document.getElementById("turn").textContent = st.turn;
  document.getElementById("mapno").textContent = st.map;
  document.getElementById("relays").textContent = st.relay_a + ", " + st.relay_b;
  const stall = document.getElementById("stall");
  stall.style.display = waiting ? "block" : "none";
  if (waiting) stall.textContent = "Player " + waiting.player + " has kept everyone waiting for " + waiting.seconds.toFixed(1) + " s";
}

function rates(now, turns, messages) {
  history.push([now, turns, messages]);
  while (history.length > 2 && now - history[0][0] > 2000) history.shift();
  const first = history[0];
  const dt = (now - first[0]) / 1000;
  if (dt <= 0) return;
  document.getElementById("tps").textContent = ((turns - first[1]) / dt).toFixed(1);
  document.getElementById("mps").textContent = Math.round((messages - first[2]) / dt);
}

async function live() {
  try {
    const response = await fetch("/view.json", {cache: "no-store"});
    if (response.ok) {
      const v = await response.json();
      if (v.replay) { replay(); return; }
      draw(v);
      rates(performance.now(), v.turns_total, v.messages_total);
      document.getElementById("error").textContent = "";
    } else {
      document.getElementById("error").textContent = "waiting for the match to start";
    }
  } catch (e) {
    document.getElementById("error").textContent = "server unreachable";
  }
  setTimeout(live, 150);
}

async function replay() {
  const text = await (await fetch("/recording.jsonl", {cache: "no-store"})).text();
  const turns = [];
  for (const line of text.split("\n")) {
    try { if (line.trim()) turns.push(JSON.parse(line)); } catch (e) { /* a line cut by a kill */ }
  }
  document.getElementById("replay").style.display = "block";
  const slider = document.getElementById("slider"), play = document.getElementById("play");
  const speed = document.getElementById("speed");
  slider.max = Math.max(0, turns.length - 1);
  let at = 0, playing = true, last = performance.now(), carry = 0;
  const show = () => {
    if (!turns.length) { document.getElementById("error").textContent = "the recording is empty"; return; }
    const t = turns[at];
    draw({state: t, round_trip: null, waiting: null, routes: []});
    slider.value = at;
    document.getElementById("tps").textContent = playing ? speed.value : "0";
    document.getElementById("mps").textContent = "-";
  };
  play.onclick = () => { playing = !playing; play.textContent = playing ? "Pause" : "Play"; last = performance.now(); show(); };
  slider.oninput = () => { at = Number(slider.value); show(); };
  show();
  setInterval(() => {
    const now = performance.now();
    if (playing && turns.length) {
      carry += (now - last) / 1000 * Number(speed.value);
      const step = Math.floor(carry);
      carry -= step;
      if (step > 0) { at = Math.min(turns.length - 1, at + step); show(); }
    }
    last = now;
  }, 100);
}

live();
</script>
</body>
</html>
)PAGE";
