// The dashboard page: HTML, CSS, SVG and a little JavaScript, served as one document. It
// fetches nothing from anywhere but the tool that serves it (GET /events), so it works on a
// phone on a home network with no Internet, and its policy header forbids anything else.
#include <string>

#include "firmware/gauges.h"
#include "tools/web/web_server.h"

namespace vontrel::web {

namespace {

constexpr char PAGE[] = R"PAGE(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="dark">
<title>Vontrel cluster</title>
<link rel="icon" href="data:,">
<style>
:root { --bg: #0d1115; --panel: #171d24; --line: #2a333d; --text: #e9eef3; --dim: #75818d;
        --needle: #ff5b35; --red: #ff3b30; --amber: #ffb000; --green: #35d05a; --blue: #3b8cff; }
* { box-sizing: border-box; }
html, body { margin: 0; height: 100%; background: var(--bg); color: var(--text);
             font: 15px/1.3 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; }
/* An upright phone: one column, the gauges sharing what the rest leaves. */
main { display: grid; gap: 8px; padding: 8px; max-width: 1400px; margin: 0 auto; height: 100%;
       grid-template-columns: minmax(0, 1fr);
       grid-template-rows: auto minmax(0, 1fr) minmax(0, 1fr) auto auto auto;
       grid-template-areas: "turns" "speed" "rpm" "info" "lamps" "foot"; }
section { background: var(--panel); border: 1px solid var(--line); border-radius: 14px;
          padding: 8px; min-width: 0; min-height: 0; }
#speed-gauge { grid-area: speed; }
#rpm-gauge { grid-area: rpm; }
.side { grid-area: info; display: flex; flex-direction: column; gap: 8px; min-height: 0; }
.side > * { flex-shrink: 0; }
#lamps { grid-area: lamps; }
footer { grid-area: foot; }
/* The turn signals at the top centre, left on the left, as on a cluster. */
.turns { grid-area: turns; display: flex; justify-content: center; gap: 96px; }
.turns .lamp { flex-direction: row; gap: 6px; padding: 2px 10px; }
.gauge { display: flex; align-items: center; justify-content: center; }
.gauge svg { width: 100%; height: 100%; display: block; }
.gauge .face { fill: #0a0e12; stroke: var(--line); stroke-width: 2; }
.gauge .tick { stroke: var(--text); stroke-width: 2; }
.gauge .minor { stroke: var(--dim); stroke-width: 1; }
.gauge .num { fill: var(--text); font-size: 12px; text-anchor: middle; dominant-baseline: middle; }
.gauge .needle { stroke: var(--needle); stroke-width: 4; stroke-linecap: round;
                 transition: transform 0.12s linear; }
.gauge .hub { fill: #3a444f; }
.gauge .value { fill: var(--text); font-size: 26px; font-weight: 600; text-anchor: middle; }
/* The speed is the reading a driver looks for: the largest on the page. */
#speed .value { font-size: 40px; }
.gauge .unit { fill: var(--dim); font-size: 12px; text-anchor: middle; }
.gauge .redline { fill: none; stroke: var(--red); stroke-width: 6; }
.clock { display: flex; justify-content: space-between; align-items: baseline; }
.clock b { font-size: 24px; font-variant-numeric: tabular-nums; letter-spacing: 1px; }
.clock span { color: var(--dim); font-variant-numeric: tabular-nums; }
.clock[hidden] { display: none; }
.bar { display: grid; grid-template-columns: 3.5em 1fr 4.5em; align-items: center; gap: 8px;
       margin: 4px 0; }
.bar .track { height: 12px; border-radius: 6px; background: #0a0e12; border: 1px solid var(--line);
              overflow: hidden; }
.bar .fill { height: 100%; width: 0; background: var(--green); transition: width 0.2s linear; }
.bar .fill.hot, .bar .fill.empty { background: var(--red); }
.bar .fill.low { background: var(--amber); }
.bar output { text-align: right; font-variant-numeric: tabular-nums; }
.lamps { display: grid; grid-template-columns: repeat(auto-fill, minmax(64px, 1fr)); gap: 4px; }
.lamp { display: flex; flex-direction: column; align-items: center; gap: 2px; padding: 4px 2px;
        border-radius: 8px; color: #313a44; font-size: 12px; text-align: center; }
.lamp svg { width: 28px; height: 28px; fill: none; stroke: currentColor; stroke-width: 2;
            stroke-linecap: round; stroke-linejoin: round; }
.lamp svg .solid { fill: currentColor; stroke: none; }
.lamp.on { color: var(--c); background: color-mix(in srgb, var(--c) 14%, transparent);
           text-shadow: 0 0 6px var(--c); }
.lamp.on svg { filter: drop-shadow(0 0 4px var(--c)); }
.lcd { font: 600 18px/1.25 ui-monospace, "DejaVu Sans Mono", Consolas, monospace;
       background: #8fb43a; color: #1a2a08; border-radius: 6px; padding: 6px 10px;
       white-space: pre; text-align: center; }
.lcd[hidden] { display: none; }
footer { color: var(--dim); font-size: 12px; display: flex; flex-wrap: wrap;
         gap: 4px 16px; }
footer b { color: var(--text); font-weight: 500; }
footer button { margin-left: auto; font: inherit; color: var(--text); background: #2a333d;
                border: 1px solid var(--line); border-radius: 8px; padding: 2px 10px; }
footer button[hidden], footer .details[hidden], #hint[hidden] { display: none; }
footer .details { display: contents; }
#hint { flex-basis: 100%; color: var(--amber); }
#signal { font-weight: 700; color: #06210d; background: var(--green); border-radius: 9px;
          padding: 0 8px; text-transform: uppercase; letter-spacing: 0.5px; }
body.nosignal #signal { color: var(--text); background: #4a535d; }
body.nosignal .gauge, body.nosignal .bar, body.nosignal .clock, body.nosignal .lcd,
body.nosignal .lamps, body.nosignal .turns { filter: grayscale(1); opacity: 0.35; }
body.stopped #signal { background: #7a2a24; }
/* A phone held sideways, a tablet, a desktop: gauges as tall as the screen allows, the
   lamps in one row beneath them, like a cluster. */
@media (orientation: landscape) {
  main { grid-template-columns: minmax(0, 1fr) minmax(0, 1fr) minmax(220px, 0.6fr);
         grid-template-rows: auto minmax(0, 1fr) auto auto;
         grid-template-areas: "turns turns info" "speed rpm info" "lamps lamps lamps"
                              "foot foot foot"; }
  .lamps { grid-template-columns: repeat(11, minmax(0, 1fr)); }
  .side { justify-content: center; }
}
@media (orientation: landscape) and (max-height: 480px) {
  .lamp svg { width: 22px; height: 22px; }
  .lamp { padding: 2px 0; }
  .turns .lamp svg { width: 20px; height: 20px; }
  .clock b { font-size: 20px; }
  .lcd { font-size: 14px; }
}
</style>
</head>
<body class="nosignal">
<main>
  <div class="turns" id="turns"></div>
  <section class="gauge" id="speed-gauge"><svg id="speed" viewBox="0 0 200 200" role="img"
    aria-label="speed"></svg></section>
  <section class="gauge" id="rpm-gauge"><svg id="rpm" viewBox="0 0 200 200" role="img"
    aria-label="engine speed"></svg></section>
  <div class="side">
    <section>
      <div class="clock" id="clock-row"><b id="clock">--:--</b><span id="date"></span></div>
      <div class="bar"><span>Fuel</span><div class="track"><div class="fill" id="fuel"></div></div>
        <output id="fuel_value">-</output></div>
      <div class="bar"><span>Water</span><div class="track"><div class="fill" id="water"></div></div>
        <output id="water_value">-</output></div>
    </section>
    <div class="lcd" id="lcd" hidden></div>
  </div>
  <section class="lamps" id="lamps"></section>
  <footer>
    <span id="signal">connecting</span>
    <span class="details" id="details" hidden>
      <span>source <b id="source">-</b></span>
      <span><b id="rate">0</b> cycles/s</span>
      <span>torn <b id="torn">0</b></span>
      <span>unknown <b id="unknown">0</b></span>
      <span>resets <b id="resets">0</b></span>
    </span>
    <button id="show-details" type="button">Details</button>
    <button id="units" type="button">km/h</button>
    <button id="fullscreen" type="button" hidden>Full screen</button>
    <span id="hint" hidden>This browser lets the screen sleep: set the phone's screen timeout
      longer while you drive.</span>
  </footer>
</main>
<script>
"use strict";
const SCALE = { speed: %SPEED_FULL%, rpm: %RPM_FULL%, waterLow: %WATER_LOW%,
                waterHigh: %WATER_HIGH% };
const SVG = "http://www.w3.org/2000/svg";

function el(parent, name, attributes, text) {
  const node = document.createElementNS(SVG, name);
  for (const key in attributes) node.setAttribute(key, attributes[key]);
  if (text !== undefined) node.textContent = text;
  parent.appendChild(node);
  return node;
}

// A round gauge over 270 degrees, zero at the lower left; its reading rounded to `step`, a red
// zone from `red` on, and what the scale's numerals count when that is not the unit.
function gauge(svg, full, major, minor, unit, divisor, step, red, scale) {
  const angle = (v) => -135 + 270 * Math.min(Math.max(v / full, 0), 1);
  const at = (v, r) => {
    const a = (angle(v) - 90) * Math.PI / 180;
    return [100 + r * Math.cos(a), 100 + r * Math.sin(a)];
  };
  el(svg, "circle", { class: "face", cx: 100, cy: 100, r: 96 });
  if (red !== undefined) {
    const [x1, y1] = at(red, 85), [x2, y2] = at(full, 85);
    const large = (full - red) / full * 270 > 180 ? 1 : 0;
    el(svg, "path", { class: "redline", d: `M${x1} ${y1}A85 85 0 ${large} 1 ${x2} ${y2}` });
  }
  for (let v = 0; v <= full + 1e-9; v += minor) {
    const isMajor = Math.abs(v / major - Math.round(v / major)) < 1e-6;
    const [x1, y1] = at(v, 88), [x2, y2] = at(v, isMajor ? 76 : 82);
    el(svg, "line", { class: isMajor ? "tick" : "minor", x1, y1, x2, y2 });
    if (isMajor) {
      const [x, y] = at(v, 64);
      el(svg, "text", { class: "num", x, y }, String(Math.round(v / divisor)));
    }
  }
  const needle = el(svg, "line", { class: "needle", x1: 100, y1: 112, x2: 100, y2: 22 });
  needle.style.transformOrigin = "100px 100px";
  el(svg, "circle", { class: "hub", cx: 100, cy: 100, r: 8 });
  if (scale !== undefined) el(svg, "text", { class: "unit", x: 100, y: 132 }, scale);
  // Below the scale's end numerals, which stand at the lower left and right.
  const value = el(svg, "text", { class: "value", x: 100, y: 174 }, "-");
  el(svg, "text", { class: "unit", x: 100, y: 190 }, unit);
  return (v, live) => {
    needle.style.transform = "rotate(" + angle(v) + "deg)";
    value.textContent = live ? String(Math.round(v / step) * step) : "-";
  };
}

// km/h or mph, as this device last chose. The dial keeps the cluster's full scale.
const MILE_KM = 1.609344;
let units = "km/h";
try { units = localStorage.getItem("vontrel-units") === "mph" ? "mph" : "km/h"; } catch (e) {}
let showSpeed = null;
function buildSpeed() {
  const svg = document.getElementById("speed");
  while (svg.firstChild) svg.removeChild(svg.firstChild);
  const draw = units === "mph"
    ? gauge(svg, SCALE.speed / MILE_KM, 10, 5, "mph", 1, 1)
    : gauge(svg, SCALE.speed, 10, 5, "km/h", 1, 1);
  showSpeed = (kmh, live) => draw(units === "mph" ? kmh / MILE_KM : kmh, live);
  document.getElementById("units").textContent = units === "mph" ? "mph" : "km/h";
}
buildSpeed();
// The wire carries the engine speed in steps of 31 rpm: shown to the nearest 50.
const showRpm = gauge(document.getElementById("rpm"), SCALE.rpm, 500, 100, "rpm", 100, 50,
                      SCALE.rpm * 5 / 6, "\u00d7100 rpm");

// The cluster's lamps: name on the wire, label, colour, icon.
const LAMPS = [
  ["parking_brake", "Park brake", "--red",
   '<circle cx="12" cy="12" r="6.5"/><path d="M5 5a10 10 0 0 0 0 14M19 5a10 10 0 0 1 0 14"/>' +
   '<path d="M10.5 15.5v-7h2.2a2 2 0 0 1 0 4h-2.2"/>'],
  ["parking_lights", "Side lights", "--green",
   '<path d="M9 6a6 6 0 0 0 0 12zM15 6a6 6 0 0 1 0 12z"/>' +
   '<path d="M2 9h3M2 12h3M2 15h3M19 9h3M19 12h3M19 15h3"/>'],
  ["battery", "Battery", "--red",
   '<rect x="3" y="7" width="18" height="12" rx="1"/><path d="M6 7V5h3v2M15 7V5h3v2"/>' +
   '<path d="M6 13h4M16 11v4M14 13h4"/>'],
  ["electrics", "Electrics", "--green", '<path class="solid" d="M13 2 5 14h6l-1 8 8-12h-6z"/>'],
  ["engine_stopped", "Engine off", "--red",
   '<path d="M3 10v6M3 13h2M5 9h3l1-2h5l1 2h2l2 2h2v6h-2l-2 2H9l-2-2H5z"/>'],
  ["fuel", "Fuel", "--amber",
   '<path d="M4 20V5a1 1 0 0 1 1-1h8a1 1 0 0 1 1 1v15M2 20h14M6 8h6"/>' +
   '<path d="M14 10h2a2 2 0 0 1 2 2v5a1.5 1.5 0 0 0 3 0V9l-3-3"/>'],
  ["cruise_control", "Cruise", "--green",
   '<path d="M4 17a8 8 0 1 1 16 0"/><path d="M12 17l4-6"/><path d="M4 20h16"/>'],
  ["oil_pressure", "Oil", "--red",
   '<path d="M2 11h4l2 2h9l5-3-4 7H8l-2-2H2z"/><path d="M8 11V8h4M10 8v3"/>' +
   '<path d="M20 14c.8 1.2 1 2 1 2.5a1 1 0 0 1-2 0c0-.5.2-1.3 1-2.5z"/>'],
  ["air_pressure", "Air", "--red",
   '<circle cx="12" cy="12" r="6.5"/><path d="M12 8.5v4.5M12 15.5v.2"/>' +
   '<path d="M4.5 6a10 10 0 0 0 0 12M19.5 6a10 10 0 0 1 0 12"/>'],
  ["wear", "Wear", "--amber",
   '<path d="M14.5 3.5a5 5 0 0 0-5.8 6.6L3 15.8 5.2 18l2.1 2.1 5.7-5.7a5 5 0 0 0 6.6-5.8l' +
   '-3 3-2.8-.7-.7-2.8z"/>'],
  ["high_beam", "High beam", "--blue",
   '<path d="M14 5c4 0 7 3 7 7s-3 7-7 7c-1.5 0-2-2.5-2-7s.5-7 2-7z"/>' +
   '<path d="M2 7h8M2 10h8M2 14h8M2 17h8"/>'],
  ["left_blinker", "Left", "--green", '<path class="solid" d="M2 12l9-8v5h11v6H11v5z"/>'],
  ["right_blinker", "Right", "--green", '<path class="solid" d="M22 12l-9-8v5H2v6h11v5z"/>'],
];
const $ = (id) => document.getElementById(id);
const lampNodes = {};
const lamps = document.getElementById("lamps");
const TURNS = ["left_blinker", "right_blinker"];
for (const [name, label, colour, icon] of LAMPS) {
  const tile = document.createElement("div");
  tile.className = "lamp";
  tile.dataset.lamp = name;
  tile.style.setProperty("--c", "var(" + colour + ")");
  tile.innerHTML = '<svg viewBox="0 0 24 24" aria-hidden="true">' + icon + "</svg>";
  const caption = document.createElement("span");
  caption.textContent = label;
  tile.appendChild(caption);
  (TURNS.includes(name) ? $("turns") : lamps).appendChild(tile);
  lampNodes[name] = tile;
}

const fraction = (v, low, high) => Math.min(Math.max((v - low) / (high - low), 0), 1);
let lastHeard = 0;
let signal = false;
let toolStopped = false;
let wakeLock = null;

// "waiting for the game": the tool runs, but no cycle came within a second, or a reset frame
// cleared the cluster (the game is paused, quit, not started or unplugged). "tool stopped":
// the page hears nothing from the tool at all, not even its heartbeat.
function setSignal(on, stopped) {
  signal = on;
  toolStopped = !on && Boolean(stopped);
  document.body.classList.toggle("nosignal", !on);
  document.body.classList.toggle("stopped", toolStopped);
  $("signal").textContent = on ? "live" : toolStopped ? "tool stopped" : "waiting for the game";
  keepAwake(on);
}

// A phone on the dash keeps its screen on while the cluster is live, where the browser lets
// a page ask (on this computer, or over https). Over plain http on a home network browsers
// refuse: then the page says what to do instead.
function keepAwake(on) {
  if (on && !wakeLock && document.visibilityState === "visible") {
    if (!navigator.wakeLock) {
      $("hint").hidden = false;
      return;
    }
    wakeLock = {};
    navigator.wakeLock.request("screen").then((lock) => {
      wakeLock = lock;
      $("hint").hidden = true;
      lock.addEventListener("release", () => { wakeLock = null; });
    }, () => { wakeLock = null; $("hint").hidden = false; });
  } else if (!on && wakeLock && wakeLock.release) {
    wakeLock.release();
    wakeLock = null;
  }
}
document.addEventListener("visibilitychange", () => keepAwake(signal));

$("units").addEventListener("click", () => {
  units = units === "mph" ? "km/h" : "mph";
  try { localStorage.setItem("vontrel-units", units); } catch (e) {}
  buildSpeed();
  if (lastState) show(lastState);
});
$("show-details").addEventListener("click", () => {
  $("details").hidden = !$("details").hidden;
  $("show-details").textContent = $("details").hidden ? "Details" : "Hide details";
});
let lastState = null;

const fullscreen = $("fullscreen");
fullscreen.hidden = !document.fullscreenEnabled;
fullscreen.addEventListener("click", () => {
  if (document.fullscreenElement) {
    document.exitFullscreen();
  } else {
    document.documentElement.requestFullscreen().catch(() => {});
  }
});

// Without a signal the page shows what the cluster does: needles at rest, lamps dark, no clock.
// A stopped tool's last state is no signal either, however live it was when it came.
function show(s) {
  lastState = s;
  const live = Boolean(s.signal) && !toolStopped;
  showSpeed(live ? s.speed_kmh || 0 : 0, live);
  showRpm(live ? s.rpm || 0 : 0, live);
  // Without a signal the bars keep their place but show no number: nothing is being read.
  $("fuel").style.width = 100 * fraction(s.fuel_percent || 0, 0, 100) + "%";
  $("fuel_value").textContent = live ? Math.round(s.fuel_percent || 0) + " %" : "-";
  const warning = Boolean(s.lamps && s.lamps.fuel);
  $("fuel").classList.toggle("low", warning && (s.fuel_percent || 0) >= 5);
  $("fuel").classList.toggle("empty", warning && (s.fuel_percent || 0) < 5);
  const water = fraction(s.water_c || 0, SCALE.waterLow, SCALE.waterHigh);
  $("water").style.width = 100 * water + "%";
  $("water").classList.toggle("hot", water > 0.85);
  $("water_value").textContent = live ? Math.round(s.water_c || 0) + " \u00b0C" : "-";
  for (const name in lampNodes) {
    lampNodes[name].classList.toggle("on", live && Boolean(s.lamps && s.lamps[name]));
  }
  $("clock").textContent = live && s.clock ? s.clock : "--:--";
  $("date").textContent = live && s.date ? s.date : "";
  if (Array.isArray(s.lcd)) {
    // The cluster's own display shows the clock and date: once is enough.
    $("lcd").hidden = false;
    $("lcd").textContent = s.lcd.join("\n");
    $("clock-row").hidden = true;
  }
  $("source").textContent = s.source || "-";
  $("rate").textContent = Math.round(s.cycles_per_second || 0);
  $("torn").textContent = s.torn || 0;
  $("unknown").textContent = s.unknown || 0;
  $("resets").textContent = s.resets || 0;
  setSignal(live, toolStopped);
}

// The tool ends each stream after a few seconds and the browser reconnects within one, so a
// closed stream alone is no reason to grey out: silence is. A refusal (503) or a restarted
// tool closes the stream for good, so then the page opens a new one itself.
function listen() {
  const events = new EventSource("events");
  events.onmessage = (message) => {
    lastHeard = Date.now();
    toolStopped = false;
    show(JSON.parse(message.data));
  };
  events.addEventListener("alive", () => {
    lastHeard = Date.now();
    if (!signal) {
      setSignal(false);
      if (lastState) show(lastState);
    }
  });
  events.onerror = () => {
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, 2000);
  };
}
listen();
// The tool sends at least a heartbeat every second: three without one, and it is gone.
setInterval(() => {
  if (Date.now() - lastHeard > 3000 && !toolStopped) {
    setSignal(false, true);
    if (lastState) show(lastState);  // no reading, lamp or clock without a signal
  }
}, 250);
</script>
</body>
</html>
)PAGE";

void replace(std::string& text, const std::string& token, int value) {
  const std::string number = std::to_string(value);
  for (std::size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
    text.replace(at, token.size(), number);
  }
}

}  // namespace

std::string dashboard_page() {
  using namespace gauges;
  std::string page = PAGE;
  replace(page, "%SPEED_FULL%", SPEED_FULL_KMH);
  replace(page, "%RPM_FULL%", RPM_FULL);
  replace(page, "%WATER_LOW%", WATER_LOW_C);
  replace(page, "%WATER_HIGH%", WATER_HIGH_C);
  return page;
}

}  // namespace vontrel::web
