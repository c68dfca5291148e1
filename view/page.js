"use strict";
const NS = "http://www.w3.org/2000/svg";
const svg = document.getElementById("svg");
const marks = [];
let history = [];  // [time ms, turns, messages] of the last polls
const HIT_FEED = 8;       // hits listed
const HIT_FADE_MS = 3000; // how long an older hit's line stays
const seen = new Map();   // when the page first saw a hit, by turn and shooter

const PALETTE = ["#4aa3ff", "#ffb347", "#5ddc6a", "#ff6b9a", "#c792ea", "#ffe156",
                 "#4ee3d4", "#ff7a45", "#a0d468", "#f5a6ff", "#8ab4ff", "#d9c8a0"];
function colour(i) {
  return i < PALETTE.length ? PALETTE[i] : "hsl(" + ((i * 137.508) % 360).toFixed(0) + ", 80%, 65%)";
}

function el(name, attrs, parent) {
  const e = document.createElementNS(NS, name);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (parent) parent.appendChild(e);
  return e;
}

function text(id, value) { document.getElementById(id).textContent = value; }

// The frame is the map's, not the players': fitted once to the first
// positions and the routes, grown when a player leaves it (by a quarter of
// its size at least, so that a walker does not push it every turn) and
// never shrunk, so that a player who walks is seen to walk. A change eases
// in over a few frames. y grows downwards, as the headings count it: 900 is
// toward -y, drawn up, and 2700 toward +y, drawn down.
const frame = {target: null, shown: null};
const MIN_SPAN = 100;  // in match units: players on one spot still have room around them
function bounds(points) {
  let b = null;
  for (const p of points) {
    if (!isFinite(p[0]) || !isFinite(p[1])) continue;
    if (!b) b = {minx: p[0], maxx: p[0], miny: p[1], maxy: p[1]};
    b.minx = Math.min(b.minx, p[0]); b.maxx = Math.max(b.maxx, p[0]);
    b.miny = Math.min(b.miny, p[1]); b.maxy = Math.max(b.maxy, p[1]);
  }
  return b;
}
function padded(b) {
  const cx = (b.minx + b.maxx) / 2, cy = (b.miny + b.maxy) / 2;
  const hx = Math.max(b.maxx - b.minx, MIN_SPAN) * 0.55, hy = Math.max(b.maxy - b.miny, MIN_SPAN) * 0.55;
  return {minx: cx - hx, maxx: cx + hx, miny: cy - hy, maxy: cy + hy};
}
// Grows frame.target to hold the points; true when it changed.
function grow(points) {
  const b = bounds(points);
  if (!b) return false;
  if (!frame.target) {
    frame.target = padded(b);
    frame.shown = Object.assign({}, frame.target);
    return true;
  }
  const t = frame.target, sx = (t.maxx - t.minx) / 4, sy = (t.maxy - t.miny) / 4;
  let grown = false;
  if (b.minx < t.minx) { t.minx = Math.min(b.minx, t.minx - sx) - sx / 4; grown = true; }
  if (b.maxx > t.maxx) { t.maxx = Math.max(b.maxx, t.maxx + sx) + sx / 4; grown = true; }
  if (b.miny < t.miny) { t.miny = Math.min(b.miny, t.miny - sy) - sy / 4; grown = true; }
  if (b.maxy > t.maxy) { t.maxy = Math.max(b.maxy, t.maxy + sy) + sy / 4; grown = true; }
  return grown;
}
// Moves the shown frame toward the target; true while it is still on its way.
function ease() {
  const s = frame.shown, t = frame.target;
  let moving = false;
  for (const k of ["minx", "maxx", "miny", "maxy"]) {
    const d = t[k] - s[k], span = Math.max(t.maxx - t.minx, t.maxy - t.miny);
    if (Math.abs(d) <= span / 500) { s[k] = t[k]; } else { s[k] += d * 0.3; moving = true; }
  }
  return moving;
}
// The transform from match coordinates to the drawing, one easing step on.
function fit(points) {
  grow(points);
  frame.moving = !!frame.shown && ease();
  const box = svg.getBoundingClientRect();
  const w = box.width || 1000, h = box.height || 700;
  svg.setAttribute("viewBox", "0 0 " + w + " " + h);
  if (!frame.shown) return (x, y) => [w / 2, h / 2];
  const f = frame.shown;
  const spanx = f.maxx - f.minx, spany = f.maxy - f.miny;
  const pad = 30;
  const scale = Math.min((w - 2 * pad) / spanx, (h - 2 * pad) / spany);
  const ox = (w - spanx * scale) / 2, oy = (h - spany * scale) / 2;
  return (x, y) => [ox + (x - f.minx) * scale, oy + (y - f.miny) * scale];
}

// Player i's name as the operator gave it, "" when none.
let names = [];
function name_of(i) { return names[i] || ""; }
function esc(t) {
  return String(t).replace(/[&<>"']/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;"}[c]));
}

function mark(i, human) {
  while (marks.length <= i) marks.push(null);
  if (marks[i] && marks[i].human === human) return marks[i];
  if (marks[i]) marks[i].g.remove();
  const c = colour(i);
  const g = el("g", {"data-player": i, "class": "player " + (human ? "human" : "bot")},
               document.getElementById("players"));
  const leader = el("line", {"class": "leader", stroke: c}, g);
  el("circle", {r: 18, "class": "ring"}, g);
  const body = human ? el("circle", {r: 11, "class": "mark human-mark", fill: c}, g)
                     : el("rect", {x: -10, y: -10, width: 20, height: 20, "class": "mark bot-mark", fill: c}, g);
  const arrow = el("path", {d: "M0,0 L28,0 M20,-6 L28,0 L20,6", stroke: "#fff", "stroke-width": 2.5, fill: "none", "class": "heading"}, g);
  el("rect", {x: -15, y: -27, width: 30, height: 6, fill: "#552222", "class": "health-back"}, g);
  const bar = el("rect", {x: -15, y: -27, width: 30, height: 6, fill: "#3ddc84", "class": "health"}, g);
  const number = el("text", {x: 19, y: -19, "class": "health-number"}, g);
  const label = el("text", {"class": "label", fill: c}, g);
  label.textContent = i;
  marks[i] = {g, body, arrow, bar, number, label, leader, human, named: ""};
  return marks[i];
}

function overlaps(a, b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

// Labels and health numbers go where they cover no other text, no mark,
// bar or arrow head: the first free box of eight around the mark (the
// health number first tries beside its bar), on rings farther out as
// needed, with a line back to the mark once off the first ring. Marks are
// served in order, so a crowd keeps every number readable.
const DIRECTIONS = [[1, 1], [1, -1], [-1, 1], [-1, -1], [1, 0], [-1, 0], [0, 1], [0, -1]];
function* around(sx, sy, w, h, rings) {
  for (let ring = 0; ring < rings; ++ring) {
    const r = 14 + ring * h * 0.8;
    for (const [dx, dy] of DIRECTIONS) {
      yield {x: sx + dx * r - (dx < 0 ? w : dx === 0 ? w / 2 : 0),
             y: sy + dy * r - (dy < 0 ? h : dy === 0 ? h / 2 : 0), w, h, ring};
    }
  }
}

// Moves text t of the mark at (sx, sy) to the first box that covers nothing
// taken, and takes it.
function put_text(t, sx, sy, taken, boxes) {
  const bb = t.getBBox();
  const ox = bb.x - Number(t.getAttribute("x") || 0), oy = bb.y - Number(t.getAttribute("y") || 0);
  // Room for the outline the text is drawn with (4 px wide), so that two
  // texts side by side do not touch.
  const w = bb.width + 6, h = bb.height + 2;
  // Only boxes inside the map: beyond its edge a text is cut off, or hidden
  // under the side panel.
  const view = svg.viewBox.baseVal;
  const inside = b => b.x >= 0 && b.y >= 0 && b.x + b.w <= view.width && b.y + b.h <= view.height;
  let box = null;
  for (const b of boxes(w, h)) if (inside(b) && !taken.some(o => overlaps(o, b))) { box = b; break; }
  if (!box) {  // nowhere free within reach: beside the mark, within the map
    box = {x: Math.max(0, Math.min(sx + 14, view.width - w)), y: Math.max(0, Math.min(sy + 14, view.height - h)), w, h, ring: 0};
  }
  taken.push(box);
  t.setAttribute("x", (box.x - sx - ox + 3).toFixed(1));
  t.setAttribute("y", (box.y - sy - oy + 1).toFixed(1));
  return box;
}

function place_labels(drawn) {
  const taken = [];
  for (const d of drawn) {
    const a = -d.heading * Math.PI / 1800;
    taken.push({x: d.sx - 13, y: d.sy - 13, w: 26, h: 26}, {x: d.sx - 15, y: d.sy - 28, w: 30, h: 8},
               {x: d.sx + 24 * Math.cos(a) - 8, y: d.sy + 24 * Math.sin(a) - 8, w: 16, h: 16});
  }
  // Beyond a few hundred players the search would slow the page down.
  const rings = drawn.length > 300 ? 1 : 40;
  for (const d of drawn) {
    const box = put_text(d.m.label, d.sx, d.sy, taken, (w, h) => around(d.sx, d.sy, w, h, rings));
    const far = box.ring > 0;
    d.m.leader.setAttribute("x2", far ? (box.x + box.w / 2 - d.sx).toFixed(1) : 0);
    d.m.leader.setAttribute("y2", far ? (box.y + box.h / 2 - d.sy).toFixed(1) : 0);
  }
  for (const d of drawn) {
    if (d.m.number.style.display === "none") continue;
    put_text(d.m.number, d.sx, d.sy, taken, function* (w, h) {
      yield {x: d.sx + 17, y: d.sy - 24 - h / 2, w, h, ring: 0};
      yield* around(d.sx, d.sy, w, h, rings);
    });
  }
}

function fmtTime(s) {
  if (s === null || s === undefined) return "-";
  if (s < 1e-3) return (s * 1e6).toFixed(1) + " us";
  if (s < 1) return (s * 1e3).toFixed(2) + " ms";
  return s.toFixed(2) + " s";
}

function swatch(i) {
  const n = name_of(i);
  return "<span class=\"swatch\" style=\"background:" + colour(i) + "\"></span>" + i + (n ? " " + esc(n) : "");
}

// The feed of the latest hits, newest first: [{turn, from, damage, target}].
function feed(hits, players) {
  const lines = hits.slice(0, HIT_FEED).map(h => {
    const victim = h.target >= 1 && h.target <= players ? swatch(h.target - 1)
                                                        : "no player (target " + h.target + ")";
    return "<div>turn " + h.turn + ": " + swatch(h.from) + " &rarr; " + victim + ", damage " + h.damage + "</div>";
  });
  document.getElementById("feed").innerHTML = lines.length ? lines.join("") : "<div class=\"none\">none yet</div>";
}

// The hits' lines from shooter to target; each hit has its opacity. Two
// shooters or more on one target in a turn share its ring, an arc each in
// their colours.
function draw_hits(hits, at, players) {
  const layer = document.getElementById("hits");
  layer.textContent = "";
  const shared = new Map();  // "turn:target" -> shooters
  for (const h of hits) {
    if (h.opacity <= 0) continue;
    const key = h.turn + ":" + h.target;
    if (!shared.has(key)) shared.set(key, []);
    if (!shared.get(key).includes(h.from)) shared.get(key).push(h.from);
  }
  for (const h of hits) {
    if (h.opacity <= 0 || h.target < 1 || h.target > players.length || h.from >= players.length) continue;
    const [x1, y1] = at(players[h.from].x, players[h.from].y);
    const [x2, y2] = at(players[h.target - 1].x, players[h.target - 1].y);
    const g = el("g", {opacity: h.opacity.toFixed(2)}, layer);
    // From the shooter's centre to the ring around its target.
    const len = Math.hypot(x2 - x1, y2 - y1), k = len > 22 ? (len - 22) / len : 0;
    el("line", {"class": "hit", "data-from": h.from, "data-target": h.target - 1, x1, y1,
                x2: x1 + (x2 - x1) * k, y2: y1 + (y2 - y1) * k, stroke: colour(h.from),
                "marker-end": "url(#tip)"}, g);
    const ring = {"class": "hit-ring", cx: x2, cy: y2, r: 20, stroke: colour(h.from), "data-from": h.from,
                  "data-target": h.target - 1};
    const shooters = shared.get(h.turn + ":" + h.target), n = shooters.length;
    if (n > 1) {
      const arc = 2 * Math.PI * 20 / n;
      ring["class"] += " shared";
      ring["stroke-dasharray"] = arc.toFixed(2) + " " + (2 * Math.PI * 20 - arc).toFixed(2);
      ring["stroke-dashoffset"] = (-arc * shooters.indexOf(h.from)).toFixed(2);
    }
    el("circle", ring, g);
  }
}

// Draws one state: {state, round_trip, waiting, routes, map_name, hits, last}
// where hits carry their opacity.
let drawn_last = null, easing = false;
function draw(v) {
  drawn_last = v;
  document.getElementById("lobby").style.display = "none";
  const st = v.state;
  names = st.names || [];
  const points = st.players.map(p => [p.x, p.y]);
  const routes = v.routes || [];
  for (const r of routes) for (let k = 0; k < 9; ++k) points.push([r[k], r[9 + k]]);
  const at = fit(points);
  // A grown frame eases in between polls.
  if (!easing && frame.moving) {
    easing = true;
    requestAnimationFrame(() => { easing = false; draw(drawn_last); });
  }
  const layer = document.getElementById("routes");
  layer.textContent = "";
  routes.forEach((r, b) => {
    const pts = [];
    for (let k = 0; k < 9; ++k) pts.push(at(r[k], r[9 + k]).join(","));
    el("polyline", {points: pts.join(" "), "class": "route", stroke: colour(st.players.length - routes.length + b)}, layer);
  });
  // Once the match is over nobody is waited for.
  const waiting = !st.end && v.waiting && v.waiting.seconds >= 1 ? v.waiting : null;
  const rows = [], drawn = [];
  st.players.forEach((p, i) => {
    const m = mark(i, p.human);
    const [sx, sy] = at(p.x, p.y);
    m.g.setAttribute("transform", "translate(" + sx.toFixed(1) + "," + sy.toFixed(1) + ")");
    m.g.setAttribute("data-x", p.x);
    m.g.setAttribute("data-y", p.y);
    m.g.setAttribute("data-health", p.health);
    m.g.setAttribute("data-heading", p.heading);
    // Headings are tenths of a degree from +x, 900 toward -y: with y drawn
    // downwards that is counter-clockwise on the screen.
    m.arrow.setAttribute("transform", "rotate(" + (-p.heading / 10) + ")");
    m.bar.setAttribute("width", (30 * Math.max(0, Math.min(100, p.health)) / 100).toFixed(1));
    m.g.classList.toggle("below-zero", p.health < 0);
    const n = name_of(i);
    if (m.named !== n) { m.label.textContent = n ? i + " " + n : i; m.named = n; }
    const beyond = p.health < 0 || p.health > 100;
    m.number.style.display = beyond ? "inline" : "none";
    m.number.textContent = beyond ? p.health : "";
    const stalled = waiting && waiting.player === i;
    m.g.classList.toggle("stalled", !!stalled);
    const seat = p.human && st.clients ? st.clients[i] : "playing";
    m.g.classList.toggle("dropped", seat === "dropped");
    m.g.setAttribute("data-seat", seat);
    drawn.push({m, sx, sy, heading: p.heading});
    const rt = p.human && v.round_trip ? fmtTime(v.round_trip[i]) : "";
    const kind = !p.human ? "bot" : seat === "dropped" ? "human, dropped" : seat === "rejoined" ? "human, back" : "human";
    rows.push("<tr data-player=\"" + i + "\"" + (stalled ? " class=\"stalled\"" : "") + "><td class=\"who\">" + swatch(i) +
              "</td><td>" + kind + "</td><td>" + p.x + "</td><td>" + p.y +
              "</td><td" + (p.health < 0 ? " class=\"below-zero\"" : "") + ">" + p.health + "</td><td>" + p.heading + "</td><td>" +
              (stalled ? "waiting " + waiting.seconds.toFixed(1) + " s" : rt) + "</td></tr>");
  });
  for (let i = st.players.length; i < marks.length; ++i) if (marks[i]) { marks[i].g.remove(); marks[i] = null; }
  place_labels(drawn);
  draw_hits(v.hits || [], at, st.players);
  feed(v.hits || [], st.players.length);
  document.getElementById("rows").innerHTML = rows.join("");
  scoreboard(st, v.scores || (st.scoreboard || []).map(s => [s.hits_made, s.hits_taken, s.damage_dealt, s.damage_taken]), v.chart);
  text("turn", st.turn);
  text("clock", v.elapsed === undefined || v.elapsed === null ? "-" : clock(v.elapsed));
  show_end(st.end || v.end || null, st);
  text("mapno", st.map);
  text("mapname", v.map_name || "");
  text("relays", st.relay_a + ", " + st.relay_b);
  const stall = document.getElementById("stall");
  const paused = !st.end && st.paused === true;  // the operator's pause
  stall.style.display = waiting || paused ? "block" : "none";
  if (paused) stall.textContent = "Paused by the operator: no new turn starts until the match resumes";
  else if (waiting) stall.textContent = "Player " + waiting.player + " has kept everyone waiting for " + waiting.seconds.toFixed(1) + " s";
}

function clock(seconds) {
  const s = Math.floor(seconds), h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return (h ? h + ":" + String(m).padStart(2, "0") : m) + ":" + String(s % 60).padStart(2, "0");
}

// The scoreboard beside the map, sorted as the spectator asks by clicking a
// column (again: the other way). Health is that of the tables; a health
// below 0 is red, as nobody dies of it.
const CHART_PLAYERS = 64;   // players with a chart
const LIVE_CHART_TURNS = 300;
let sort_key = "health", sort_up = false;
const live_health = [];     // per player: [turn, health] of the turns the page saw
document.querySelectorAll("#scores th[data-key]").forEach(th => th.onclick = () => {
  if (sort_key === th.dataset.key) sort_up = !sort_up; else { sort_key = th.dataset.key; sort_up = th.dataset.key === "player"; }
  document.querySelectorAll("#scores th").forEach(o => o.classList.toggle("sorted", o === th));
  th.classList.toggle("up", sort_up);
  if (drawn_last) draw(drawn_last);
});
function sparkline(values, now, stroke) {
  if (!values || values.length === 0) return "";
  if (values.length === 1) values = [values[0], values[0]];  // one turn seen: a level line
  const w = 100, h = 26;
  let lo = Math.min(0, ...values), hi = Math.max(100, ...values);
  const x = k => values.length === 1 ? w : k * w / (values.length - 1);
  const y = v => h - 2 - (v - lo) * (h - 4) / (hi - lo);
  const pts = values.map((v, k) => x(k).toFixed(1) + "," + y(v).toFixed(1)).join(" ");
  let out = "<svg width=\"" + w + "\" height=\"" + h + "\">";
  if (lo < 0) out += "<line class=\"spark-zero\" x1=\"0\" x2=\"" + w + "\" y1=\"" + y(0).toFixed(1) + "\" y2=\"" + y(0).toFixed(1) + "\"/>";
  if (now !== undefined) out += "<line class=\"spark-now\" x1=\"" + x(now).toFixed(1) + "\" x2=\"" + x(now).toFixed(1) + "\" y1=\"0\" y2=\"" + h + "\"/>";
  return out + "<polyline class=\"spark\" stroke=\"" + stroke + "\" points=\"" + pts + "\"/></svg>";
}
// chart: the replay's whole-match health ({every, health, at}); live, the turns seen.
function scoreboard(st, scores, chart) {
  const rows = st.players.map((p, i) => {
    const s = scores[i] || [0, 0, 0, 0];
    return {i, health: p.health, hits_made: s[0], hits_taken: s[1], damage_dealt: s[2], damage_taken: s[3]};
  });
  const key = sort_key === "player" ? "i" : sort_key;
  rows.sort((a, b) => (a[key] === b[key] ? a.i - b.i : (a[key] < b[key]) === sort_up ? -1 : 1));
  document.getElementById("scorerows").innerHTML = rows.map(r => {
    let spark = "";
    if (r.i < CHART_PLAYERS) {
      spark = chart ? sparkline(chart.health[r.i], chart.at, colour(r.i))
                    : sparkline((live_health[r.i] || []).map(e => e[1]), undefined, colour(r.i));
    }
    return "<tr data-player=\"" + r.i + "\"><td class=\"who\">" + swatch(r.i) + "</td><td class=\"health" +
           (r.health < 0 ? " below-zero" : "") + "\">" + r.health + "</td><td class=\"made\">" + r.hits_made +
           "</td><td class=\"taken\">" + r.hits_taken + "</td><td class=\"dealt\">" + r.damage_dealt +
           "</td><td class=\"damage-taken\">" + r.damage_taken + "</td><td class=\"chart\">" + spark + "</td></tr>";
  }).join("");
}
function note_health(st) {
  st.players.slice(0, CHART_PLAYERS).forEach((p, i) => {
    const h = live_health[i] || (live_health[i] = []);
    if (h.length && h[h.length - 1][0] === st.turn) return;
    h.push([st.turn, p.health]);
    if (h.length > LIVE_CHART_TURNS) h.shift();
  });
}

// The end screen: what ended the match, how long it lasted, the standings.
const END_TITLES = {protocol: "A client broke the protocol", no_client: "No client is left",
                    stopped: "Stopped by the operator", no_players: "The match has no players",
                    console: "The console input ended"};
// The server's words for what ended it ("player 1 left", "player 1 timed
// out", "player 1 broke the protocol", "stopped by the operator's end
// command (console)") said as the headline, with the player's name.
function end_words(end) {
  const player = /^player (\d+) (.+)$/.exec(end.why);
  if (end.reason === "protocol" && player) {
    const n = name_of(Number(player[1]));
    return "Player " + player[1] + (n ? " (" + n + ")" : "") + " " + player[2];
  }
  const command = /^stopped by the operator's end command \((\w+)\)$/.exec(end.why);
  if (end.reason === "stopped" && command) {
    return "Ended by the operator" + (command[1] === "rcon" ? " over the remote console" : " at the console");
  }
  return (END_TITLES[end.reason] || end.reason) + (end.why ? ": " + end.why : "");
}
// How long the match lasted: tenths under a minute, where a clock would say 0:00.
function lasted(seconds) {
  return seconds < 60 ? seconds.toFixed(1) + " s" : clock(seconds);
}
let end_hidden = false;
document.getElementById("endhide").onclick = () => { end_hidden = true; document.getElementById("end").style.display = "none"; };
function show_end(end, st) {
  const box = document.getElementById("end");
  if (!end) { box.style.display = "none"; end_hidden = false; return; }
  if (end_hidden) return;
  box.style.display = "block";
  if (end.names) names = end.names;
  text("endwhy", end_words(end));
  text("endlasted", end.turns + " turn" + (end.turns === 1 ? "" : "s") + " in " + lasted(end.seconds));
  document.getElementById("standings").innerHTML = end.standings.map((p, k) => {
    if (p.name && !names[p.index]) names[p.index] = p.name;
    return "<tr data-player=\"" + p.index + "\"><td>" + (k + 1) + "</td><td class=\"who\">" + swatch(p.index) +
           "</td><td" + (p.health < 0 ? " class=\"below-zero\"" : "") + ">" + p.health + "</td><td>" + p.hits_made +
           "</td><td>" + p.hits_taken + "</td><td>" + p.damage_dealt + "</td><td>" + p.damage_taken + "</td></tr>";
  }).join("");
}

function lobby(l) {
  document.getElementById("lobby").style.display = "flex";
  text("joined", l.joined + " of " + l.humans + " joined");
  text("addresses", "");
  for (const a of l.addresses) {
    const d = document.createElement("div");
    d.textContent = a;
    document.getElementById("addresses").appendChild(d);
  }
  text("lobbymatch", "Map " + l.map + (l.map_name ? " " + l.map_name : "") + ", " + l.bots + " bot" + (l.bots === 1 ? "" : "s"));
  text("mapno", l.map);
  text("mapname", l.map_name);
  // A restarted server going on with its match: where it stood.
  const r = l.resuming;
  text("lobbyresume", r ? "Resuming after turn " + num(r.after_turn) : "");
  document.getElementById("lobbystandings").innerHTML = !r || !Array.isArray(r.standings) ? "" :
    "<tr><th>#</th><th>player</th><th>health</th><th>hits made</th><th>hits taken</th><th>damage dealt</th><th>damage taken</th></tr>" +
    r.standings.map((p, k) => "<tr data-player=\"" + num(p.index) + "\"><td>" + (k + 1) + "</td><td class=\"who\">" +
      swatch(num(p.index)) + (p.name ? " " + esc(p.name) : "") + "</td><td>" + num(p.health) + "</td><td>" + num(p.hits_made) +
      "</td><td>" + num(p.hits_taken) + "</td><td>" + num(p.damage_dealt) + "</td><td>" + num(p.damage_taken) + "</td></tr>").join("");
}

// From the first update: the match's own mean until a second poll gives a
// recent one.
function rates(now, turns, messages, elapsed) {
  history.push([now, turns, messages]);
  while (history.length > 2 && now - history[0][0] > 2000) history.shift();
  const first = history[0];
  const dt = (now - first[0]) / 1000;
  if (dt <= 0) {
    if (elapsed > 0) {
      text("tps", (turns / elapsed).toFixed(1));
      text("mps", Math.round(messages / elapsed));
    }
    return;
  }
  text("tps", ((turns - first[1]) / dt).toFixed(1));
  text("mps", Math.round((messages - first[2]) / dt));
}

async function live() {
  try {
    const response = await fetch("/view.json", {cache: "no-store"});
    if (response.ok) {
      const v = await response.json();
      if (v.replay) { replay(); return; }
      if (v.lobby) {
        lobby(v.lobby);
      } else {
        // The last completed turn's hits stay drawn; older ones fade.
        const now = performance.now();
        for (const h of v.hits) {
          const key = h.turn + ":" + h.from;
          if (!seen.has(key)) seen.set(key, now);
          h.opacity = h.turn >= v.turns_total ? 1 : 1 - (now - seen.get(key)) / HIT_FADE_MS;
        }
        if (seen.size > 4 * HIT_FEED) for (const k of [...seen.keys()].slice(0, seen.size - 2 * HIT_FEED)) seen.delete(k);
        note_health(v.state);
        draw(v);
        ended = !!v.state.end;
        if (!ended) rates(now, v.turns_total, v.messages_total, v.elapsed);
      }
      text("error", "");
    } else {
      text("error", "waiting for the match to start");
    }
  } catch (e) {
    // Once the match is over the server ends: its end stays on the page.
    text("error", ended ? "the server has ended" : "server unreachable");
    document.getElementById("error").classList.toggle("gone", ended);
  }
  setTimeout(live, ended ? 1000 : 150);
}
let ended = false;

// A recording is a file from anywhere: what the page draws of it is taken
// as numbers (and names as text), so that no value of it becomes markup.
const num = v => Number(v);
function clean_turn(t) {
  if (!t || !Array.isArray(t.players)) return null;
  return {turn: num(t.turn), map: num(t.map), relay_a: num(t.relay_a), relay_b: num(t.relay_b),
          players: t.players.map(p => ({index: num(p.index), human: p.human === true, x: num(p.x), y: num(p.y),
                                        health: num(p.health), heading: num(p.heading)})),
          routes: Array.isArray(t.routes) ? t.routes.map(r => Array.isArray(r) ? r.map(num) : []) : undefined,
          names: Array.isArray(t.names) ? t.names.map(n => typeof n === "string" ? n : null) : undefined,
          hits: Array.isArray(t.hits) ? t.hits.map(h => ({from: num(h.from), damage: num(h.damage), target: num(h.target)})) : []};
}
function clean_end(e) {
  if (!e || !Array.isArray(e.standings)) return null;
  return {reason: String(e.reason), why: String(e.why || ""), turns: num(e.turns), seconds: num(e.seconds),
          standings: e.standings.map(p => ({index: num(p.index), name: typeof p.name === "string" ? p.name : undefined,
                                            health: num(p.health), hits_made: num(p.hits_made), hits_taken: num(p.hits_taken),
                                            damage_dealt: num(p.damage_dealt), damage_taken: num(p.damage_taken)}))};
}

// A replay reads the recording in windows of turns, as it plays and seeks,
// keeping a few: however long the recording, the page holds little of it.
const WINDOW = 256;
const KEPT_WINDOWS = 4;
async function replay() {
  document.getElementById("replay").style.display = "block";
  const slider = document.getElementById("slider"), play = document.getElementById("play");
  const speed = document.getElementById("speed");
  const windows = [], pending = new Map();
  let total = 0, mapName = "", at = 0, playing = true, last = performance.now(), carry = 0;
  let restarts = [];  // where the match went on after a restart, in order
  let broken = false;  // a window could not be had: no more asking
  const held = (i) => windows.find(w => w.from <= i && i < w.from + w.turns.length);
  // Loads the window that starts at line i, once.
  const load = (i) => {
    if (!pending.has(i)) {
      pending.set(i, fetch("/turns.jsonl?from=" + i + "&count=" + WINDOW, {cache: "no-store"})
        .then(r => r.ok ? r.text() : Promise.reject(r.status))
        .then(body => {
          const lines = body.split("\n");
          const head = JSON.parse(lines[0]);
          total = head.total;
          mapName = head.map_name;
          slider.max = Math.max(0, total - 1);
          const turns = [];
          restarts = (Array.isArray(head.restarts) ? head.restarts : [])
            .map(r => ({after_turn: num(r && r.after_turn), at: String(r && r.at)}));
          // A damaged line keeps its place: the turn is shown as missing.
          for (const line of lines.slice(1, -1)) {
            try {
              const t = JSON.parse(line);
              turns.push(t && t.damaged ? {damaged: {line: num(t.damaged.line), why: String(t.damaged.why)}} : clean_turn(t));
            } catch (e) { turns.push(null); }
          }
          const clean = clean_turn({players: [], routes: head.routes, names: head.names});
          windows.push({from: i, routes: clean.routes || [], names: clean.names || [],
                        scores: (head.scores || []).map(s => Array.isArray(s) ? s.map(num) : [0, 0, 0, 0]),
                        end: clean_end(head.end), turns});
          while (windows.length > KEPT_WINDOWS) {
            let far = 0;
            windows.forEach((w, k) => { if (Math.abs(w.from - at) > Math.abs(windows[far].from - at)) far = k; });
            windows.splice(far, 1);
          }
        })
        .catch(status => {
          broken = true;
          text("error", status === 404 && i === 0 ? "the recording is empty" : "the recording could not be read");
        })
        .finally(() => { pending.delete(i); show(); }));
    }
  };
  // The latest hits up to line i, newest first; those of the last two
  // seconds of play fade out.
  const hitsUpTo = (w, i) => {
    const hits = [], fade = playing ? 2 * Number(speed.value) : 0;
    for (let k = i; k >= w.from && k > i - 5000 && hits.length < HIT_FEED; --k) {
      const t = w.turns[k - w.from];
      for (const h of (t && t.hits || []).slice().reverse()) {
        hits.push({turn: t.turn, from: h.from, damage: h.damage, target: h.target,
                   opacity: k === i ? 1 : (fade > 0 ? 1 - (i - k) / fade : 0)});
      }
    }
    return hits;
  };
  // A line names the routes when they changed; the window knows those before it.
  const routesAt = (w, i) => {
    let routes = w.routes;
    for (let k = w.from; k <= i; ++k) if (w.turns[k - w.from] && w.turns[k - w.from].routes) routes = w.turns[k - w.from].routes;
    return routes;
  };
  // The names likewise.
  const namesAt = (w, i) => {
    let given = w.names;
    for (let k = w.from; k <= i; ++k) if (w.turns[k - w.from] && w.turns[k - w.from].names) given = w.turns[k - w.from].names;
    return given;
  };
  // The scoreboard after line i: the window's count before it, and the hits
  // of its lines up to i, counted as the server counts them.
  const scoresAt = (w, i, players) => {
    const scores = [];
    for (let p = 0; p < players; ++p) scores.push((w.scores[p] || [0, 0, 0, 0]).slice());
    for (let k = w.from; k <= i; ++k) {
      const t = w.turns[k - w.from];
      for (const h of (t && t.hits) || []) {
        if (h.from < 0 || h.from >= players || h.target < 1 || h.target > players) continue;
        scores[h.from][0] += 1; scores[h.from][2] += h.damage;
        scores[h.target - 1][1] += 1; scores[h.target - 1][3] += h.damage;
      }
    }
    return scores;
  };
  // The whole match's health, asked for once.
  let chart = null;
  fetch("/health.json", {cache: "no-store"}).then(r => r.ok ? r.json() : null).then(c => { chart = c; show(); }).catch(() => {});
  const show = () => {
    const w = held(at);
    if (!w) {
      if (!broken) load(at);
      return;
    }
    const next = w.from + w.turns.length;
    if (next < total && at - w.from >= w.turns.length / 2 && !held(next)) load(next);
    const t = w.turns[at - w.from];
    const restart = t && !t.damaged && restarts.filter(r => r.after_turn < t.turn).pop();
    text("replaynote", !t ? "turn missing: its line is not a turn" :
                       t.damaged ? "turn missing: line " + t.damaged.line + " of the recording " + t.damaged.why :
                       restart ? "restarted after turn " + restart.after_turn + " at " + restart.at : "");
    if (t && !t.damaged) {
      t.names = namesAt(w, at);
      draw({state: t, round_trip: null, waiting: null, routes: routesAt(w, at), map_name: mapName, hits: hitsUpTo(w, at),
            scores: scoresAt(w, at, t.players.length), elapsed: null,
            chart: chart && {every: chart.every, health: chart.health, at: Math.floor(at / chart.every)},
            end: at === total - 1 ? w.end : null});
    }
    slider.value = at;
    text("tps", playing ? speed.value : "0");
    text("mps", "-");
  };
  play.onclick = () => { playing = !playing; play.textContent = playing ? "Pause" : "Play"; last = performance.now(); show(); };
  slider.oninput = () => { at = Number(slider.value); show(); };
  load(0);
  setInterval(() => {
    const now = performance.now();
    if (playing && total > 0) {
      carry += (now - last) / 1000 * Number(speed.value);
      const step = Math.floor(carry);
      carry -= step;
      if (step > 0 && at < total - 1) { at = Math.min(total - 1, at + step); show(); }
    }
    last = now;
  }, 100);
}

live();
