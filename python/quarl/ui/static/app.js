// The pages of `quarl ui`. Every element is built with createElement and every project text
// (asset names, partition values, logs, sources) goes in as a text node or an attribute value:
// nothing from the project is ever parsed as HTML.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";
const FONT = 'system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif';
const POLL_MS = 1000;
const BUCKETS = ["succeeded", "failed", "other", "missing"];
const BUCKET_TEXT = {succeeded: "succeeded", failed: "failed", other: "skipped or interrupted",
                     missing: "missing"};

// --- building elements ------------------------------------------------------------------------

function build(element, attrs, children) {
  for (const [name, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (name.startsWith("on")) element.addEventListener(name.slice(2), value);
    else element.setAttribute(name, value === true ? "" : String(value));
  }
  for (const child of children) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : String(child));
  }
  return element;
}

function el(tag, attrs, ...children) {
  return build(document.createElement(tag), attrs, children);
}

function svg(tag, attrs, ...children) {
  return build(document.createElementNS(SVG_NS, tag), attrs, children);
}

function query(params) {
  return new URLSearchParams(params).toString();
}

function assetHref(key) {
  return "/asset?" + query({key});
}

function runHref(asset, partition) {
  return "/run?" + query(partition ? {asset, partition} : {asset});
}

function fileHref(relative) {
  return "/out/" + relative.split("/").map(encodeURIComponent).join("/");
}

// --- formatting -------------------------------------------------------------------------------

// An axis's tick: short durations in milliseconds, so that ticks 5 ms apart read apart.
function tickSeconds(value) {
  if (value === 0) return "0";
  return value < 1 ? `${Number((value * 1000).toPrecision(2))} ms` : seconds(value);
}

function seconds(value) {
  if (value === null || value === undefined) return "";
  if (value < 60) return value.toFixed(value < 10 ? 2 : 1) + " s";
  const minutes = Math.floor(value / 60);
  if (minutes < 60) return `${minutes} min ${Math.round(value % 60)} s`;
  return `${Math.floor(minutes / 60)} h ${minutes % 60} min`;
}

function when(epoch) {
  if (epoch === null || epoch === undefined) return "";
  const d = new Date(epoch * 1000);
  const two = n => String(n).padStart(2, "0");
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ` +
    `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
}

function elapsed(since) {
  return seconds(Math.max(0, Date.now() / 1000 - since));
}

function bytes(size) {
  if (size === null || size === undefined) return "size unknown";
  const units = ["bytes", "KB", "MB", "GB", "TB"];
  let value = size, unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  return unit ? `${value.toFixed(1)} ${units[unit]}` : `${size} bytes`;
}

function plural(n, word) {
  return `${n.toLocaleString("en")} ${word}${n === 1 ? "" : "s"}`;
}

const STATUS_CLASS = {};

function statusClass(status) {
  const key = status || "missing";
  return STATUS_CLASS[key] || (STATUS_CLASS[key] = "st-" + key.replace(/,? /g, "-"));
}

function badge(status) {
  return el("span", {class: "badge " + statusClass(status), "data-status": status || "missing"},
    status || "never run");
}

// What the next quarl run would make again, and why, as `quarl status` says it.
function staleBadge(text) {
  return el("span", {class: "badge stale", "data-stale": text}, text);
}

function staleText(reasons) {
  return reasons && reasons.length ? "stale: " + reasons.join("; ") : "up to date";
}

function section(title, ...children) {
  return el("section", {}, el("h2", {}, title), ...children);
}

// --- the page frame: load, render, follow the history -----------------------------------------

const params = new URLSearchParams(location.search);
const state = {version: null, data: null, runsPage: 0, runsFilter: "all", runsOrder: "plan", runsCell: null};

async function getJSON(url) {
  const response = await fetch(url, {cache: "no-store"});
  const body = await response.json();
  if (!response.ok) throw Object.assign(new Error(body.error || response.statusText), {answered: true});
  return body;
}

const PAGES = {
  "/": {load: () => getJSON("/api/graph"), view: graphPage, shown: showGraph, title: () => "Assets"},
  "/asset": {load: loadAsset, view: assetPage, title: d => d.key},
  // A run's page follows an attempt in progress, whose logs grow with no change to the history.
  "/run": {follow: true, load: () => getJSON("/api/run?" + query({asset: params.get("asset") || "",
                                                     partition: params.get("partition") || ""})),
           view: runPage, title: d => d.asset + (d.partitioned ? ` [${d.label}]` : "")},
  "/invocation": {load: () => getJSON("/api/invocation" + (params.get("id") ? "?" + query({id: params.get("id")}) : "")),
                  view: invocationPage, title: d => d.invocation ? `Run #${d.invocation.id}` : "Last run"},
};

// An asset and a page of its runs, asked for at once. Each answer carries the version it was
// read at; when the two differ, the page's version is none, so that the next poll asks again.
async function loadAsset() {
  const key = params.get("key") || "";
  const [asset, list] = await Promise.all([getJSON("/api/asset?" + query({key})), getJSON(runsQuery(key))]);
  return {...asset, list, version: asset.version === list.version ? asset.version : "mixed"};
}

async function refresh(polled) {
  const page = PAGES[location.pathname];
  const main = document.getElementById("main");
  try {
    const data = await page.load();
    state.version = data.version;
    // Unchanged (a page that follows a run asks every second): nothing to draw again.
    const text = JSON.stringify({...data, version: null});
    if (text === state.text) return;
    state.text = text;
    state.data = data;
  } catch (error) {
    main.replaceChildren(el("p", {class: "error"}, error.message));
    state.text = null;
    // A page that cannot be drawn (an asset no longer planned) asks again at the next change.
    state.version = polled ?? null;
    return;
  }
  draw();
}

// Draws the current data again; used after a poll and when the user pages or filters a table.
function draw() {
  const page = PAGES[location.pathname];
  const main = document.getElementById("main");
  const scroll = window.scrollY;
  const away = new Set([...main.querySelectorAll("pre[data-follow]")]
    .filter(pre => pre.scrollTop + pre.clientHeight < pre.scrollHeight - 4).map(pre => pre.dataset.follow));
  main.replaceChildren(...page.view(state.data));
  for (const pre of main.querySelectorAll("pre[data-follow]"))
    if (!away.has(pre.dataset.follow)) pre.scrollTop = pre.scrollHeight;
  if (page.shown) page.shown();
  document.title = page.title(state.data) + " · quarl";
  window.scrollTo(0, scroll);
  document.body.dataset.version = state.version;
  // Once the first drawing is laid out and painted, the page is in the user's hands: the mark
  // tells how long that took from the request (bench/bench_ui.py reads it).
  if (!performance.getEntriesByName("quarl-drawn").length)
    requestAnimationFrame(() => setTimeout(() => performance.mark("quarl-drawn"), 0));
}

function showLive(version) {
  const live = document.getElementById("live");
  live.className = "live" + (version.running ? " running" : "");
  live.textContent = version.running ? "quarl run in progress" : "idle";
  document.body.dataset.running = version.running ? "1" : "0";
}

// The pages follow the history by polling its version: `quarl run` commits its rows in batches
// half a second apart, so a page a second behind shows a run's progress within two.
async function poll() {
  try {
    // Each answer carries the version it was read at (or a later one): the first needs no poll.
    if (state.version === null) await refresh(null);
    const version = await getJSON("/api/version");
    showLive(version);
    const page = PAGES[location.pathname];
    if (version.version !== state.version || (page.follow && version.running)) await refresh(version.version);
    for (const since of document.querySelectorAll("[data-since]")) since.textContent = elapsed(+since.dataset.since);
  } catch (error) {
    const live = document.getElementById("live");
    live.className = "live offline";
    live.textContent = error.answered ? "the history cannot be read" : "server unreachable";
    live.title = error.message;
  }
  document.body.dataset.ready = "1";
  setTimeout(poll, POLL_MS);
}

// --- the asset graph --------------------------------------------------------------------------

// In the drawing's own units, which are pixels at zoom 1. In detail, a node is a head (its name,
// its counts and the bar of its runs) over one row per input, with the parameter's name at the
// port its edge ends in: a name belongs to one node's row, so no two names ever overlap. A graph
// too large to read in detail once fitted to the window is drawn with its names alone, a line
// each, the parameters' names on hover.
const GEOMETRY = {
  detail: {nodeW: 190, headH: 52, portH: 15, gapX: 52, gapY: 18, laneH: 10},
  names: {nodeW: 180, headH: 20, portH: 0, gapX: 40, gapY: 5, laneH: 6},
};
const PAD = 16, DETAIL_ZOOM = 0.6;
const NAME_FONT = "600 13px " + FONT, SMALL_FONT = "11.5px " + FONT, PORT_FONT = "11px " + FONT;

function nodeHeight(g, a) {
  return g.headH + (g.portH && a.inputs.length ? a.inputs.length * g.portH + 6 : 0);
}

function portY(g, y, k) {
  return g.portH ? y + g.headH + 3 + k * g.portH + g.portH / 2 : y + g.headH / 2;
}

// Layers left to right by longest path from a source (a source moved up to just before its
// first consumer); an edge that skips layers passes each of them in a lane of its own, which
// takes part in the ordering like a node, so that it runs between nodes rather than through
// them. Within a layer, sweeps of ordering by the mean position of neighbours keep edges from
// crossing where it is easy; then each node moves towards its neighbours' height as far as the
// nodes above and below it allow.
function layout(assets, g) {
  const index = new Map(assets.map((a, i) => [a.key, i]));
  const n = assets.length;
  const layer = assets.map(() => 0);
  for (let i = 0; i < n; i++)  // assets come upstream first
    for (const [, key] of assets[i].inputs) layer[i] = Math.max(layer[i], layer[index.get(key)] + 1);
  const consumers = assets.map(() => []);
  assets.forEach((a, i) => a.inputs.forEach(([, key]) => consumers[index.get(key)].push(i)));
  assets.forEach((a, i) => {
    if (!a.inputs.length && consumers[i].length) layer[i] = Math.min(...consumers[i].map(c => layer[c])) - 1;
  });
  // Items: the nodes, then the lanes of long edges; ups and downs link items of adjacent layers.
  const height = assets.map(a => nodeHeight(g, a));
  const itemLayer = [...layer], ups = assets.map(() => []), downs = assets.map(() => []);
  const edges = [];
  assets.forEach((a, target) => a.inputs.forEach(([parameter, key], k) => {
    const source = index.get(key);
    const lanes = [];
    let previous = source;
    for (let l = layer[source] + 1; l < layer[target]; l++) {
      const lane = itemLayer.push(l) - 1;
      height.push(g.laneH); ups.push([previous]); downs.push([]);
      downs[previous].push(lane);
      lanes.push(lane);
      previous = lane;
    }
    ups[target].push(previous); downs[previous].push(target);
    edges.push({source, target, k, parameter, lanes});
  }));
  const layers = [];
  itemLayer.forEach((l, i) => (layers[l] = layers[l] || []).push(i));
  const pos = [];
  const number = list => list.forEach((item, k) => { pos[item] = k; });
  layers.forEach(number);
  const mean = (item, near) => near.length ? near.reduce((s, m) => s + pos[m], 0) / near.length : pos[item];
  for (let sweep = 0; sweep < 6; sweep++) {
    for (let l = 1; l < layers.length; l++) {
      layers[l].sort((a, b) => mean(a, ups[a]) - mean(b, ups[b]));
      number(layers[l]);
    }
    for (let l = layers.length - 2; l >= 0; l--) {
      layers[l].sort((a, b) => mean(a, downs[a]) - mean(b, downs[b]));
      number(layers[l]);
    }
  }
  // Heights: stacked, then moved towards the centres of their neighbours, in order and within
  // the height of the tallest layer, which thus stays the drawing's.
  const y = [];
  let tallest = 0;
  for (const list of layers) {
    let at = 0;
    for (const item of list) { y[item] = at; at += height[item] + g.gapY; }
    tallest = Math.max(tallest, at - g.gapY);
  }
  const centre = item => y[item] + height[item] / 2;
  for (let pass = 0; pass < 8; pass++) {
    const order = pass % 2 ? [...layers].reverse() : layers;
    for (const list of order) {
      const last = list.length - 1;
      const wanted = list.map(item => {
        const near = pass % 2 ? downs[item] : ups[item];
        return near.length ? near.reduce((s, m) => s + centre(m), 0) / near.length - height[item] / 2 : y[item];
      });
      // The bounds of each item's top for the layer to fit: all above it packed, all below it.
      const least = [], most = [];
      for (let k = 0, at = 0; k <= last; k++) { least[k] = at; at += height[list[k]] + g.gapY; }
      for (let k = last, at = tallest; k >= 0; k--) { at -= height[list[k]]; most[k] = at; at -= g.gapY; }
      const clamp = (v, k) => Math.min(most[k], Math.max(least[k], v));
      // Packed in order from the top, each as high as it wants or just below the one before,
      // and from the bottom likewise: the mean of the two keeps the order and the gaps.
      const low = [], high = [];
      for (let k = 0; k <= last; k++)
        low[k] = clamp(k ? Math.max(wanted[k], low[k - 1] + height[list[k - 1]] + g.gapY) : wanted[k], k);
      for (let k = last; k >= 0; k--)
        high[k] = clamp(k < last ? Math.min(wanted[k], high[k + 1] - g.gapY - height[list[k]]) : wanted[k], k);
      list.forEach((item, k) => { y[item] = (low[k] + high[k]) / 2; });
    }
  }
  const column = l => PAD + l * (g.nodeW + g.gapX);
  return {xy: assets.map((a, i) => [column(layer[i]), PAD + y[i]]), edges,
          laneAt: lane => [column(itemLayer[lane]), PAD + y[lane] + g.laneH / 2],
          width: 2 * PAD + layers.length * (g.nodeW + g.gapX) - g.gapX, height: 2 * PAD + tallest};
}

let measuring = null;

function textWidth(text, font) {
  measuring = measuring || document.createElement("canvas").getContext("2d");
  measuring.font = font;
  return measuring.measureText(text).width;
}

// A name cut to a width: the module part first ("aggr….channel_mix"), then the end of the last.
function fitText(text, font, width) {
  if (textWidth(text, font) <= width) return text;
  const dot = text.lastIndexOf(".");
  if (dot > 0) {
    const last = text.slice(dot);
    for (let keep = dot - 1; keep >= 0; keep--) {
      const tried = text.slice(0, keep) + "…" + last;
      if (textWidth(tried, font) <= width) return tried;
    }
    text = "…" + last;
  }
  for (let keep = text.length - 1; keep > 0; keep--) {
    const tried = text.slice(0, keep) + "…";
    if (textWidth(tried, font) <= width) return tried;
  }
  return "…";
}

// The leading module names that every asset's key shares ("fresco."), which the nodes leave out.
function commonPrefix(keys) {
  if (keys.length < 2) return "";
  const split = keys.map(k => k.split("."));
  let count = 0;
  while (split.every(parts => parts.length > count + 1 && parts[count] === split[0][count])) count++;
  return count ? split[0].slice(0, count).join(".") + "." : "";
}

function countsText(a) {
  const c = a.counts;
  const parts = [`${c.succeeded.toLocaleString("en")} ok`];
  if (c.failed) parts.push(`${c.failed.toLocaleString("en")} failed`);
  if (c.other) parts.push(`${c.other.toLocaleString("en")} skipped`);
  if (c.missing) parts.push(`${c.missing.toLocaleString("en")} missing`);
  return parts.join(" · ");
}

function bar(counts, total, x, y, width, height) {
  const group = svg("g", {class: "bar"});
  let at = x;
  for (const bucket of BUCKETS) {
    if (!counts[bucket] || !total) continue;
    const w = width * counts[bucket] / total;
    group.append(svg("rect", {x: at, y, width: w, height, class: "seg-" + bucket}));
    at += w;
  }
  group.append(svg("rect", {x, y, width, height, class: "bar-frame"}));
  return group;
}

function edgePath(g, from, to, lanes, laneAt) {
  let [x, y] = from;
  let d = `M${x},${y}`;
  const curve = (ex, ey) => {
    const dx = Math.max(g.gapX / 2, (ex - x) / 2);
    d += ` C${x + dx},${y} ${ex - dx},${ey} ${ex},${ey}`;
    [x, y] = [ex, ey];
  };
  for (const lane of lanes) {
    const [lx, ly] = laneAt(lane);
    curve(lx, ly);
    d += ` L${lx + g.nodeW},${ly}`;
    x = lx + g.nodeW;
  }
  curve(...to);
  return d;
}

// A drawing of names alone is as wide as its longest name, within bounds.
function geometry(mode, assets, prefix) {
  if (mode === "detail") return GEOMETRY.detail;
  const longest = Math.max(0, ...assets.map(a => textWidth(a.key.slice(a.key.startsWith(prefix) ? prefix.length : 0), NAME_FONT)));
  return {...GEOMETRY.names, nodeW: Math.round(Math.min(280, Math.max(120, longest + 16)))};
}

function graphView(assets, prefix, mode) {
  const g = geometry(mode, assets, prefix);
  const {xy, edges, laneAt, width, height} = layout(assets, g);
  const drawing = svg("svg", {class: "graph " + mode, role: "img", "aria-label": "asset graph",
                              "data-width": width, "data-height": height});
  drawing.append(svg("defs", {}, svg("marker", {id: "arrow", viewBox: "0 0 10 10", refX: 10, refY: 5,
    markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse"}, svg("path", {d: "M0,0 L10,5 L0,10 z"}))));
  const edgeLayer = svg("g", {class: "edges"});
  for (const {source, target, k, parameter, lanes} of edges) {
    const [x1, y1] = xy[source], [x2, y2] = xy[target];
    edgeLayer.append(svg("path", {class: "edge", "marker-end": "url(#arrow)",
      d: edgePath(g, [x1 + g.nodeW, y1 + Math.min(g.headH, 52) / 2], [x2 - (g.portH ? 2.5 : 0), portY(g, y2, k)], lanes, laneAt)},
      svg("title", {}, `${parameter}: ${assets[source].key} → ${assets[target].key}`)));
  }
  drawing.append(edgeLayer);
  assets.forEach((a, i) => {
    const [x, y] = xy[i];
    const name = a.key.startsWith(prefix) ? a.key.slice(prefix.length) : a.key;
    const runs = `${a.partitioned ? plural(a.runs, "partition") : "1 run"}: ${countsText(a)}`;
    const inputs = a.inputs.length ? "\ninputs: " + a.inputs.map(([parameter]) => parameter).join(", ") : "";
    const stale = a.stale ? `\n${a.partitioned ? a.stale.toLocaleString("en") + " " : ""}stale` : "";
    const node = svg("a", {href: assetHref(a.key), class: "node " + statusClass(a.status || "missing") + (a.stale ? " stale" : ""),
                           "data-key": a.key, "data-status": a.status || "missing", "data-stale": a.stale || 0},
      svg("title", {}, `${a.key}\n${runs}${inputs}${stale}`),
      svg("rect", {x, y, width: g.nodeW, height: nodeHeight(g, a), rx: mode === "detail" ? 8 : 4, class: "box"}));
    if (mode === "names") {
      node.append(svg("text", {x: x + 8, y: y + 14.5, class: "node-name"}, fitText(name, NAME_FONT, g.nodeW - 16)));
    } else {
      node.append(svg("text", {x: x + 10, y: y + 19, class: "node-name"}, fitText(name, NAME_FONT, g.nodeW - 20)),
        svg("text", {x: x + 10, y: y + 35, class: "node-counts"},
            fitText((a.stale ? (a.partitioned ? `${a.stale.toLocaleString("en")} stale · ` : "stale · ") : "") +
                    (a.partitioned ? plural(a.runs, "partition") + " · " : "") + countsText(a), SMALL_FONT, g.nodeW - 20)),
        bar(a.counts, a.runs, x + 10, y + 41, g.nodeW - 20, 6));
      a.inputs.forEach(([parameter], k) => {
        const py = portY(g, y, k);
        node.append(svg("circle", {cx: x, cy: py, r: 2.5, class: "port"}),
          svg("text", {x: x + 10, y: py + 4, class: "port-label"}, fitText(parameter, PORT_FONT, g.nodeW - 20)));
      });
    }
    drawing.append(node);
  });
  return drawing;
}

// Zoom and pan change the drawing's viewBox: the wheel zooms about the pointer, a drag moves,
// "Fit" shows the whole graph. The view and the drawing a user chose are kept when the page
// redraws with news from the history; until then, each drawing and each resize of the window
// fits again, in detail when that can be read.
const graphState = {view: null, chosen: false, mode: null};

function graphControls(prefix) {
  const zoomBy = factor => () => {
    const drawing = document.querySelector("svg.graph");
    const v = graphState.view;
    if (drawing && v) zoomAt(drawing, v.x + v.w / 2, v.y + v.h / 2, factor);
  };
  return el("div", {class: "controls graph-controls"},
    el("button", {onclick: () => { graphState.chosen = false; graphState.mode = null; showGraph(); },
                  title: "show the whole graph"}, "Fit"),
    el("button", {onclick: zoomBy(1.25), title: "zoom in"}, "+"),
    el("button", {onclick: zoomBy(0.8), title: "zoom out"}, "−"),
    el("button", {id: "graph-mode", onclick: () => {
      graphState.mode = document.querySelector("svg.graph.detail") ? "names" : "detail";
      graphState.chosen = false;
      showGraph();
    }}, "Names only"),
    el("span", {class: "muted"}, "Wheel to zoom, drag to move.", prefix ? " Names leave out " : "",
       prefix ? el("code", {}, prefix) : "", prefix ? ", which all of them share." : ""),
    legend());
}

function setView(drawing, view) {
  graphState.view = view;
  drawing.setAttribute("viewBox", `${view.x} ${view.y} ${view.w} ${view.h}`);
  drawing.dataset.zoom = (drawing.clientWidth / view.w).toFixed(4);
}

function fitView(drawing, room) {
  const width = +drawing.dataset.width, height = +drawing.dataset.height;
  const available = drawing.parentElement.clientWidth;
  const zoom = Math.min(1, available / width, room / height);
  // As tall as the graph at that zoom: a small graph leaves no empty band below it.
  const shown = Math.max(120, Math.min(room, height * zoom));
  drawing.style.height = `${shown}px`;
  const w = available / zoom, h = shown / zoom;
  setView(drawing, {x: zoom === 1 ? 0 : (width - w) / 2, y: (height - h) / 2, w, h});
}

function zoomAt(drawing, x, y, factor) {
  const v = graphState.view;
  const zoom = drawing.clientWidth / v.w;
  const next = Math.min(3, Math.max(0.05, zoom * factor)) / zoom;
  graphState.chosen = true;
  setView(drawing, {x: x - (x - v.x) / next, y: y - (y - v.y) / next, w: v.w / next, h: v.h / next});
}

function graphEvents(drawing) {
  const point = event => {
    const box = drawing.getBoundingClientRect(), v = graphState.view;
    return [v.x + (event.clientX - box.left) / box.width * v.w, v.y + (event.clientY - box.top) / box.height * v.h];
  };
  drawing.addEventListener("wheel", event => {
    event.preventDefault();
    zoomAt(drawing, ...point(event), Math.exp(-event.deltaY * (event.deltaMode ? 0.05 : 0.0015)));
  }, {passive: false});
  let drag = null;
  drawing.addEventListener("pointerdown", event => {
    if (event.button === 0) drag = {x: event.clientX, y: event.clientY, view: graphState.view, moved: false};
  });
  drawing.addEventListener("pointermove", event => {
    if (!drag) return;
    const dx = event.clientX - drag.x, dy = event.clientY - drag.y;
    if (!drag.moved && Math.hypot(dx, dy) < 4) return;
    // Captured, the pointer's release and its click go to the drawing, not to the node under it:
    // a drag never opens a node.
    if (!drag.moved) drawing.setPointerCapture(event.pointerId);
    drag.moved = true;
    graphState.chosen = true;
    const scale = drag.view.w / drawing.clientWidth;
    setView(drawing, {...drag.view, x: drag.view.x - dx * scale, y: drag.view.y - dy * scale});
  });
  drawing.addEventListener("pointerup", () => { drag = null; });
  drawing.addEventListener("pointercancel", () => { drag = null; });
}

// Draws the graph into its box once the page is laid out: which drawing fits, and how, depends
// on the room the window leaves it.
function graphRoom(box) {
  return Math.max(240, window.innerHeight - (box.getBoundingClientRect().top + window.scrollY) - 16);
}

function graphMode(assets, box) {
  const {width, height} = layout(assets, GEOMETRY.detail);
  return Math.min(box.clientWidth / width, graphRoom(box) / height) >= DETAIL_ZOOM ? "detail" : "names";
}

function showGraph() {
  const box = document.getElementById("graph");
  if (!box || !state.data || !state.data.assets) return;
  const assets = state.data.assets, prefix = commonPrefix(assets.map(a => a.key));
  if (!assets.length) { box.replaceChildren(el("p", {class: "muted"}, "This plan has no assets.")); return; }
  const room = graphRoom(box);
  const mode = graphState.mode || graphMode(assets, box);
  const drawing = graphView(assets, prefix, mode);
  box.replaceChildren(drawing);
  document.getElementById("graph-mode").textContent = mode === "detail" ? "Names only" : "Details";
  graphEvents(drawing);
  if (graphState.chosen && graphState.view && graphState.shownMode === mode) {
    drawing.style.height = graphState.height;
    setView(drawing, graphState.view);
  } else {
    fitView(drawing, room);
  }
  graphState.shownMode = mode;
  graphState.height = drawing.style.height;
}

// A new size of the window fits the graph again, unless the user has chosen a view; the same
// drawing when it is still the one that fits.
window.addEventListener("resize", () => {
  const drawing = document.querySelector("svg.graph");
  if (!drawing || graphState.chosen) return;
  if (graphState.mode || graphMode(state.data.assets, drawing.parentElement) === graphState.shownMode) {
    fitView(drawing, graphRoom(drawing.parentElement));
    graphState.height = drawing.style.height;
  } else {
    showGraph();
  }
});

function invocationLine(invocation) {
  if (!invocation) return el("p", {class: "muted"}, "No quarl run has recorded anything in this folder yet.");
  const how = invocation.finished === null ? "in progress"
    : invocation.exit_status === 0 ? "succeeded" : `ended with exit status ${invocation.exit_status}`;
  return el("p", {class: "invocation-line"}, "Last run ",
    el("a", {href: "/invocation?" + query({id: invocation.id})}, `#${invocation.id}`), ": ",
    el("code", {}, invocation.command), `, started ${when(invocation.started)}, ${how}`,
    invocation.finished !== null ? ` after ${seconds(invocation.finished - invocation.started)}.` : ".");
}

function legend() {
  return el("span", {class: "legend"}, ...BUCKETS.map(b => el("span", {}, el("i", {class: "seg-" + b}), BUCKET_TEXT[b])),
    el("span", {title: "the next quarl run makes it again"}, el("i", {class: "seg-stale"}), "stale"));
}

function graphPage(data) {
  const prefix = commonPrefix(data.assets.map(a => a.key));
  const rows = data.assets.map(a => el("tr", {"data-key": a.key},
    el("td", {}, el("a", {href: assetHref(a.key)}, a.key)), el("td", {}, badge(a.status), a.stale ? " " : "",
      a.stale ? staleBadge(a.partitioned ? `${a.stale.toLocaleString("en")} stale` : "stale") : ""),
    el("td", {class: "num"}, a.runs.toLocaleString("en")),
    ...BUCKETS.map(b => el("td", {class: "num"}, a.counts[b] ? a.counts[b].toLocaleString("en") : ""))));
  return [
    el("h1", {}, "Assets"),
    el("p", {class: "muted"}, "Output folder ", el("code", {}, data.out)),
    invocationLine(data.invocation),
    graphControls(prefix),
    el("div", {class: "graph-box", id: "graph"}),
    el("table", {class: "list"}, el("thead", {}, el("tr", {}, el("th", {}, "asset"), el("th", {}, "worst last status"),
      el("th", {}, "runs"), ...BUCKETS.map(b => el("th", {}, b)))), el("tbody", {}, ...rows)),
  ];
}

// --- an asset ---------------------------------------------------------------------------------

// A project may have 10,000 partitions in one asset: a cell is a bare element with its index,
// and one listener on the grid opens a cell's run (or, for a cell of several, lists its runs)
// and names it on hover. An asset of more partitions comes counted by the server, cells of
// several partitions each.
function cellLabel(grid, k) {
  const columns = grid.columns.labels.length, rows = grid.rows.labels.length;
  const g = Math.floor(k / (rows * columns)), r = Math.floor(k / columns) % rows, c = k % columns;
  const parts = [];
  if (grid.rows.name !== null) parts.push(`${grid.rows.name}=${grid.rows.labels[r]}`);
  if (grid.columns.name !== null) parts.push(`${grid.columns.name}=${grid.columns.labels[c]}`);
  return [...parts, ...grid.groups[g]].join(",") || "-";
}

function cellTitle(grid, k, stale) {
  const marked = stale ? stale.cells[k] : null;
  if (!grid.binned) return `${cellLabel(grid, k)}: ${grid.status[k]}` + (stale ? `\n${staleText(marked)}` : "");
  const counts = grid.counts[k];
  const total = counts.reduce((a, b) => a + b, 0);
  return `${cellLabel(grid, k)}\n${plural(total, "run")}: ` +
    BUCKETS.map((b, i) => counts[i] ? `${counts[i].toLocaleString("en")} ${BUCKET_TEXT[b]}` : "").filter(Boolean).join(", ") +
    (marked ? `, ${marked.toLocaleString("en")} stale` : "");
}

function cell(grid, k, text, stale) {
  const span = document.createElement("span");
  const marked = stale && (grid.binned ? stale.cells[k] > 0 : stale.cells[k].length > 0);
  span.className = "cell " + statusClass(grid.status[k]) + (state.runsCell === k ? " chosen" : "") + (marked ? " stale" : "");
  span.dataset.i = k;
  if (!grid.binned) span.dataset.partition = cellLabel(grid, k);
  if (text !== undefined) span.textContent = text;
  return span;
}

function cellEvents(box, data) {
  const grid = data.grid;
  const target = event => {
    const found = event.target.closest(".cell");
    return found && box.contains(found) ? found : null;
  };
  box.addEventListener("mouseover", event => {
    const found = target(event);
    if (found && !found.title) found.title = cellTitle(grid, +found.dataset.i, data.stale);
  });
  box.addEventListener("click", event => {
    const found = target(event);
    if (!found) return;
    if (!grid.binned) { location.href = runHref(data.key, grid.names[+found.dataset.i]); return; }
    state.runsCell = +found.dataset.i;
    state.runsPage = 0;
    loadRuns().then(() => document.getElementById("runs").scrollIntoView());
  });
  return box;
}

// One dimension: a row of cells; two: a table of the first by the second; more: one such table
// per combination of the others (binned, each cell counts them all).
function partitionGrid(data) {
  const grid = data.grid;
  const rows = grid.rows.labels.length, columns = grid.columns.labels.length;
  if (grid.columns.name === null) return cellEvents(el("div", {class: "cells labelled"}, cell(grid, 0, data.key, data.stale)), data);
  if (grid.rows.name === null) {
    const labelled = !grid.binned && columns <= 300;
    const box = el("div", {class: "cells" + (labelled ? " labelled" : "") + (grid.binned ? " binned" : "")});
    const cells = document.createDocumentFragment();
    for (let c = 0; c < columns; c++) cells.append(cell(grid, c, labelled ? grid.columns.labels[c] : undefined, data.stale));
    box.append(cells);
    return cellEvents(box, data);
  }
  // Few enough cells to read: bigger ones.
  const big = rows <= 40 && columns <= 40;
  const grids = [];
  grid.groups.forEach((group, g) => {
    const table = el("div", {class: "grid" + (big ? " big" : "") + (grid.binned ? " binned" : "")},
      el("span", {class: "corner"}, `${grid.rows.name} \\ ${grid.columns.name}`),
      ...grid.columns.labels.map(v => el("span", {class: "col"}, el("span", {}, v))));
    table.style.gridTemplateColumns = `auto repeat(${columns}, min-content)`;
    const cells = document.createDocumentFragment();
    grid.rows.labels.forEach((rowValue, r) => {
      cells.append(el("span", {class: "row"}, rowValue));
      for (let c = 0; c < columns; c++) cells.append(cell(grid, (g * rows + r) * columns + c, undefined, data.stale));
    });
    table.append(cells);
    grids.push(group.length ? el("div", {class: "group"}, el("h3", {}, group.join(", ")), table) : table);
  });
  return cellEvents(el("div", {class: "scroll grids"}, ...grids), data);
}

function runsQuery(key) {
  const params = {key, show: state.runsFilter, order: state.runsOrder, page: state.runsPage};
  if (state.runsCell !== null) params.cell = state.runsCell;
  return "/api/runs?" + query(params);
}

// The list of runs is paged by the server: a page, a filter or an order asks for its rows alone.
async function loadRuns() {
  state.data.list = await getJSON(runsQuery(state.data.key));
  state.text = null;
  draw();
}

function runsTable(data) {
  const list = data.list;
  state.runsPage = list.page;
  const change = set => e => { set(e.target.value); state.runsPage = 0; loadRuns(); };
  const choose = (name, options, current, set) => el("label", {}, name + " ",
    el("select", {onchange: change(set)},
      ...options.map(([value, text]) => el("option", {value, selected: value === current}, text))));
  const turn = step => () => { state.runsPage += step; loadRuns(); };
  return [
    el("div", {class: "controls"},
      choose("Show", [["all", "all runs"], ...BUCKETS.map(b => [b, BUCKET_TEXT[b]])], state.runsFilter, v => { state.runsFilter = v; }),
      choose("Order", [["plan", "plan order"], ["slowest", "slowest first"], ["latest", "latest first"]], state.runsOrder, v => { state.runsOrder = v; }),
      state.runsCell !== null ? el("span", {class: "chosen-cell"}, "of the cell ", el("code", {}, cellLabel(data.grid, state.runsCell)), " ",
        el("button", {onclick: () => { state.runsCell = null; state.runsPage = 0; loadRuns(); }}, "all cells")) : "",
      el("button", {disabled: list.page === 0, onclick: turn(-1)}, "‹ previous"),
      el("span", {}, `page ${list.page + 1} of ${list.pages} (${plural(list.total, "run")})`),
      el("button", {disabled: list.page >= list.pages - 1, onclick: turn(1)}, "next ›")),
    el("table", {class: "list runs"},
      el("thead", {}, el("tr", {}, el("th", {}, "partition"), el("th", {}, "last status"), el("th", {}, "duration"), el("th", {}, "started"))),
      el("tbody", {}, ...list.rows.map(([name, label, status, duration, started]) => el("tr", {},
        el("td", {}, el("a", {href: runHref(data.key, name)}, label)),
        el("td", {}, badge(status === "missing" ? null : status)),
        el("td", {class: "num"}, seconds(duration)), el("td", {}, when(started)))))),
  ];
}

// Each check's last result on each partition: [result, attempt, message, stale] or null. The
// partitions with a result other than passed come first.
const CHECK_ROWS = 50;  // partitions listed with their checks' results, those not passed first

function checksView(data) {
  const total = data.check_runs.length;
  const said = r => !r ? "never evaluated" : r[3] ? "stale" : r[0];
  const doubtful = i => data.checks.some(c => said(c.results[i]) !== "passed");
  const order = [...Array(total).keys()].sort((a, b) => doubtful(b) - doubtful(a) || a - b);
  const shown = order.slice(0, CHECK_ROWS);
  const heads = data.checks.map(c => {
    const counts = {};
    for (const r of c.results) counts[said(r)] = (counts[said(r)] || 0) + 1;
    return el("th", {}, c.name, el("br"), el("span", {class: "muted"},
      `${c.severity}${c.severity === "error" ? (c.blocking ? ", blocking" : ", not blocking") : ""} · ` +
      Object.entries(counts).map(([k, n]) => `${k} ${n}`).join(", ")));
  });
  const cellOf = r => {
    const parts = [el("span", {class: "badge " + statusClass("check-" + said(r)), "data-result": said(r)}, said(r))];
    if (!r) return el("td", {class: "check"}, ...parts);
    parts.push(` on attempt ${r[1] ?? "?"}`);
    if (r[2]) parts.push(el("div", {class: "error-text"}, r[2]));
    if (r[3]) parts.push(el("div", {class: "muted"}, r[3]));
    return el("td", {class: "check"}, ...parts);
  };
  return [
    el("table", {class: "list checks"},
      el("thead", {}, el("tr", {}, el("th", {}, "partition"), ...heads)),
      el("tbody", {}, ...shown.map(i => el("tr", {},
        el("td", {}, el("a", {href: runHref(data.key, data.check_runs[i][0])}, data.check_runs[i][1])),
        ...data.checks.map(c => cellOf(c.results[i])))))),
    total > shown.length ? el("p", {class: "muted"}, `The first ${shown.length} of ${plural(total, "partition")}, those with a result other than passed first.`) : "",
  ];
}

// Each attempt a dot at (start, duration); one path per status keeps thousands of dots cheap.
function durationChart(attempts) {
  if (!attempts.length) return el("p", {class: "muted"}, "No attempt has finished yet.");
  const W = 760, H = 220, L = 64, B = 28, T = 10, R = 12;
  const starts = attempts.map(a => a[0]);
  let t0 = Math.min(...starts), t1 = Math.max(...starts);
  if (t1 - t0 < 1) { t0 -= 0.5; t1 += 0.5; }
  const top = Math.max(...attempts.map(a => a[1])) * 1.1 || 1;
  const x = t => L + (t - t0) / (t1 - t0) * (W - L - R);
  const y = d => T + (1 - d / top) * (H - T - B);
  const paths = {};
  for (const [start, duration, status] of attempts)
    paths[status] = (paths[status] || "") + `M${x(start).toFixed(1)},${y(duration).toFixed(1)}h0`;
  const chart = svg("svg", {class: "chart", width: W, height: H, viewBox: `0 0 ${W} ${H}`, role: "img",
                            "aria-label": "attempt durations over time"});
  chart.append(svg("line", {class: "axis", x1: L, y1: T, x2: L, y2: H - B}),
    svg("line", {class: "axis", x1: L, y1: H - B, x2: W - R, y2: H - B}));
  for (const fraction of [0, 0.5, 1]) {
    chart.append(svg("text", {class: "tick", x: L - 6, y: y(top * fraction) + 4, "text-anchor": "end"}, tickSeconds(top * fraction)));
  }
  chart.append(svg("text", {class: "tick", x: L, y: H - 8}, when(t0)),
    svg("text", {class: "tick", x: W - R, y: H - 8, "text-anchor": "end"}, when(t1)));
  for (const [status, d] of Object.entries(paths)) chart.append(svg("path", {class: "dots " + statusClass(status), d}));
  return el("div", {}, chart, el("p", {class: "muted"}, `${plural(attempts.length, "attempt")}: duration against start time.`));
}

function cellText(text) {
  return text === null ? el("span", {class: "null"}, "null") : text;
}

// A parquet value: its rows and columns from the file's footer, then its first rows under each
// column's name and dtype.
function frameView(frame) {
  const shown = frame.dtypes.slice(0, frame.head_columns);
  const rest = frame.dtypes.slice(frame.head_columns);
  const notes = [];
  if (frame.head.length < frame.rows) notes.push(`the first ${plural(frame.head.length, "row")}`);
  if (rest.length) notes.push(`the first ${plural(frame.head_columns, "column")}`);
  const head = el("tr", {}, ...shown.map(([name, dtype, index]) => el("th", {class: index ? "index" : null},
    name, el("br"), el("span", {class: "dtype"}, dtype))));
  return [
    el("p", {}, `${plural(frame.rows, "row")} × ${plural(frame.columns, "column")}`,
       notes.length ? el("span", {class: "muted"}, ` (shown: ${notes.join(", ")})`) : ""),
    el("div", {class: "scroll"}, el("table", {class: "list frame"}, el("thead", {}, head),
      el("tbody", {}, ...frame.head.map(row => el("tr", {}, ...row.map((text, k) =>
        el("td", {class: shown[k][2] ? "index" : null}, cellText(text)))))))),
    rest.length ? el("p", {class: "muted more-columns"}, "More columns: ",
      rest.map(([name, dtype]) => `${name} (${dtype})`).join(", "),
      frame.unlisted ? `, and ${frame.unlisted.toLocaleString("en")} more` : "") : "",
  ];
}

function arrayView(array) {
  const shape = "(" + array.shape.join(", ") + (array.shape.length === 1 ? ",)" : ")");
  return [
    el("p", {}, `shape ${shape} · dtype ${array.dtype}` + (array.order === "F" ? " · Fortran order" : "")),
    array.first ? el("pre", {class: "value"}, array.first.map(v => v === null ? "null" : v).join(", ") +
      (array.first.length < array.shape.reduce((a, b) => a * b, 1) ? ", …" : "")) : "",
  ];
}

function valueView(value, owner) {
  if (!value) return el("p", {class: "muted"}, "No published value.");
  const about = [`format ${value.format}`, `type ${value.type || "unknown"}`, bytes(value.size)];
  const parts = [el("p", {class: "meta"}, about.join(" · "), owner || "")];
  if (value.text !== undefined) {
    parts.push(el("pre", {class: "value"}, value.text));
    if (value.cut) parts.push(el("p", {class: "muted"}, "Cut: the beginning of the value only."));
  } else if (value.frame) {
    parts.push(...frameView(value.frame));
  } else if (value.array) {
    parts.push(...arrayView(value.array));
  } else if (value.problem) {
    parts.push(el("p", {class: "error-text"}, `The file ${value.problem}`));
  } else if (value.format !== "json") {
    parts.push(el("p", {class: "muted"}, `A ${value.format} value is not opened here: loading it could run code or take long.`));
  }
  return el("div", {class: "value-view"}, ...parts);
}

function links(keys) {
  if (!keys.length) return "none";
  const out = [];
  keys.forEach((key, k) => { if (k) out.push(", "); out.push(el("a", {href: assetHref(key)}, key)); });
  return el("span", {}, ...out);
}

function assetPage(data) {
  const counts = data.counts;
  const worst = data.worst === "failed" || data.worst === "timeout" ? data.worst : null;
  const grid = data.grid;
  const owner = data.value && grid.columns.name !== null
    ? el("span", {}, " · partition ", el("a", {href: runHref(data.key, data.value.partition)}, data.value.label)) : "";
  return [
    el("h1", {}, data.key, " ", worst ? badge(worst) : "", data.stale && data.stale.runs ? " " : "",
       data.stale && data.stale.runs ? staleBadge(grid.columns.name !== null ? `${data.stale.runs.toLocaleString("en")} stale` : "stale") : ""),
    el("p", {class: "meta"}, `module ${data.module} · function ${data.function}`,
       data.return_type ? ` · returns ${data.return_type}` : ""),
    el("p", {}, "Upstream: ", links(data.upstream), el("br"), "Downstream: ", links(data.downstream)),
    section(grid.columns.name !== null ? `Partitions (${data.runs.toLocaleString("en")})` : "Run",
      el("p", {class: "legend"}, ...BUCKETS.map(b => el("span", {}, el("i", {class: "seg-" + b}), `${BUCKET_TEXT[b]} ${counts[b].toLocaleString("en")}`))),
      grid.binned ? el("p", {class: "muted"}, `Each cell counts up to ${plural(grid.per_cell, "partition")} and takes the worst ` +
        "last status among them; a click lists its runs below.") : "",
      partitionGrid(data)),
    data.checks.length ? section("Checks", ...checksView(data)) : "",
    el("section", {id: "runs"}, el("h2", {}, "Runs"), ...runsTable(data)),
    section("Durations", durationChart(data.attempts)),
    section("Value", valueView(data.value, owner)),
    section("Source", el("pre", {class: "source"}, data.source)),
  ];
}

// --- a run ------------------------------------------------------------------------------------

// A log with each Python traceback marked, from its first line to the exception's line.
function logText(text) {
  const pre = el("pre", {class: "log"});
  const lines = text.split("\n");
  let block = null;
  for (let i = 0; i < lines.length; i++) {
    const line = lines[i] + (i < lines.length - 1 ? "\n" : "");
    if (block === null && /^Traceback \(most recent call last\):/.test(lines[i])) {
      block = el("span", {class: "traceback"});
      pre.append(block);
    }
    if (block === null) { pre.append(line); continue; }
    if (block.childNodes.length && lines[i] !== "" && !/^\s/.test(lines[i])) {
      block.append(el("strong", {class: "exception"}, line));
      block = null;
    } else {
      block.append(line);
    }
  }
  return pre;
}

// A log that is still written (`follow`) stays scrolled to its end while the user leaves it there.
function logView(title, folder, log, follow) {
  if (!log) return el("div", {class: "log-box"}, el("h3", {}, title), el("p", {class: "muted"}, "none"));
  const text = log.text ? logText(log.text) : el("p", {class: "muted"}, "empty");
  if (follow && log.text) text.dataset.follow = title;
  return el("div", {class: "log-box"},
    el("h3", {}, el("a", {href: fileHref(folder + "/" + title)}, title), " ",
       el("span", {class: "muted"}, log.cut ? `the end of ${bytes(log.size)}` : bytes(log.size))),
    text);
}

function runList(list) {
  if (!list.items.length) return el("p", {class: "muted"}, "none");
  return el("div", {},
    el("table", {class: "list"}, el("tbody", {}, ...list.items.map(r => el("tr", {},
      el("td", {}, el("a", {href: assetHref(r.asset)}, r.asset)),
      el("td", {}, el("a", {href: runHref(r.asset, r.partition)}, r.label)),
      el("td", {}, badge(r.status === "missing" ? null : r.status)),
      el("td", {class: "muted"}, r.attempt ? `attempt ${r.attempt}` : ""))))),
    list.more ? el("p", {class: "muted"}, `and ${list.more.toLocaleString("en")} more`) : "");
}

function facts(rows) {
  return el("table", {class: "facts"}, el("tbody", {}, ...rows.filter(Boolean).map(([name, value]) =>
    el("tr", {}, el("th", {}, name), el("td", {}, value)))));
}

function runPage(data) {
  const checked = data.attempts.some(a => a.checks && a.checks.length);
  const last = data.attempts.length ? data.attempts[data.attempts.length - 1] : null;
  const published = data.published, live = data.live;
  const stale = data.stale && data.stale.length ? data.stale : null;
  const logs = [];
  if (data.failed) {
    logs.push(el("div", {class: "log-column failed"}, el("h3", {}, "Last attempt (failed), ", el("code", {}, data.failed.folder)),
      logView("stderr.log", data.failed.folder, data.failed.stderr), logView("stdout.log", data.failed.folder, data.failed.stdout)));
  }
  if (live) {
    logs.push(el("div", {class: "log-column in-progress"}, el("h3", {}, "Attempt in progress, ", el("code", {}, live.folder)),
      logView("stderr.log", live.folder, live.stderr, true), logView("stdout.log", live.folder, live.stdout, true)));
  }
  if (published) {
    logs.push(el("div", {class: "log-column"}, el("h3", {}, "Published run, ", el("code", {}, published.folder)),
      logView("stderr.log", published.folder, published.stderr), logView("stdout.log", published.folder, published.stdout)));
  }
  return [
    el("h1", {}, el("a", {href: assetHref(data.asset)}, data.asset), data.partitioned ? ` [${data.label}]` : "", " ", badge(data.status === "missing" ? null : data.status),
       live ? " " : "", live ? badge("running") : "", stale ? " " : "", stale ? staleBadge("stale") : ""),
    facts([
      ...data.partition_values.map(([dim, value]) => [dim, value]),
      live && ["in progress", el("span", {}, `attempt ${live.attempt}, started ${when(live.started)}, running for `,
        el("span", {"data-since": live.started}, elapsed(live.started)))],
      last && ["last attempt", `${when(last.started)}, ${last.duration === null ? "did not start" : seconds(last.duration)}` +
        (last.exit_status !== null ? `, exit status ${last.exit_status}` : "")],
      last && last.error && ["error", el("span", {class: "error-text"}, last.error)],
      data.stale && ["freshness", el("span", {class: "freshness" + (stale ? " stale" : ""), "data-stale": staleText(data.stale)}, staleText(data.stale))],
      published && ["published", `attempt ${published.attempt}, ${when(published.started)}, took ${seconds(published.duration)}`],
      published && ["fingerprint", el("code", {}, published.fingerprint)],
    ]),
    section("Logs", logs.length ? el("div", {class: "logs"}, ...logs) : el("p", {class: "muted"}, "This run has no logs yet.")),
    section("Upstream runs consumed", runList(data.upstream)),
    section("Downstream runs", runList(data.downstream)),
    section("Attempts", data.attempts.length ? el("table", {class: "list"},
      el("thead", {}, el("tr", {}, checked ? el("th", {}, "attempt") : "",
        ...["run", "started", "duration", "status", "exit", "error"].map(h => el("th", {}, h)),
        checked ? el("th", {}, "checks of its value") : "")),
      el("tbody", {}, ...data.attempts.map((a, n) => el("tr", {},
        checked ? el("td", {class: "num"}, `${n + 1}`) : "",
        el("td", {}, el("a", {href: "/invocation?" + query({id: a.invocation})}, `#${a.invocation}`)),
        el("td", {}, when(a.started)), el("td", {class: "num"}, seconds(a.duration)), el("td", {}, badge(a.status)),
        el("td", {class: "num"}, a.exit_status ?? ""), el("td", {}, a.error || ""),
        checked ? el("td", {class: "check"}, ...a.checks.map(([name, result, message]) => el("div", {},
          el("span", {class: "badge " + statusClass("check-" + result)}, result), ` ${name}`,
          message ? el("span", {class: "error-text"}, `: ${message}`) : ""))) : ""))))
      : el("p", {class: "muted"}, "The history has no attempt of this run.")),
    section("Value", valueView(data.value)),
  ];
}

// --- one quarl run ------------------------------------------------------------------------------

// The history does not say which slot ran an attempt: each takes the lane that was free first,
// as a slot is. An attempt's recorded end comes a little after its slot went to the next one
// (publication overlaps the next start): up to 5 ms of that still counts as free. Attempts whose
// recorded times overlap more than that get a lane of their own.
const LANE_SLACK = 0.005;

function lanes(attempts) {
  const ends = [];
  return attempts.map(a => {
    const start = a[4];
    let lane = -1;
    for (let k = 0; k < ends.length; k++) if (lane < 0 || ends[k] < ends[lane]) lane = k;
    if (lane < 0 || ends[lane] > start + LANE_SLACK) lane = ends.push(0) - 1;
    ends[lane] = start + a[5];
    return lane;
  });
}

// Thousands of attempts: one path per status draws them, and the pointer's lane and time find
// the attempt under it.
function timeline(attempts, slots) {
  const timed = attempts.filter(a => a[5] !== null).sort((a, b) => a[4] - b[4]);
  if (!timed.length) return el("p", {class: "muted"}, "No attempt of this run has finished yet.");
  const lane = lanes(timed);
  const count = Math.max(...lane) + 1;
  let t0 = Infinity, t1 = -Infinity;
  for (const a of timed) { t0 = Math.min(t0, a[4]); t1 = Math.max(t1, a[4] + a[5]); }
  const span = Math.max(t1 - t0, 1e-3);
  const W = 960, L = 64, R = 12, ROW = 18, T = 8, B = 26;
  const H = T + count * ROW + B;
  const x = t => L + (t - t0) / span * (W - L - R);
  const chart = svg("svg", {class: "timeline", width: W, height: H, viewBox: `0 0 ${W} ${H}`, role: "img",
                            "aria-label": "attempts per job slot"});
  // Lanes beyond the run's job slots hold attempts whose recorded times overlap others'.
  for (let k = 0; k < count; k++) chart.append(svg("text", {class: "tick", x: L - 6, y: T + k * ROW + 13, "text-anchor": "end"},
                                                   slots && k >= slots ? "overlap" : `slot ${k + 1}`));
  for (let k = 0; k <= 4; k++) {
    const at = x(t0 + span * k / 4);
    chart.append(svg("line", {class: "grid-line", x1: at, y1: T, x2: at, y2: H - B}),
      svg("text", {class: "tick", x: at, y: H - 8, "text-anchor": k === 0 ? "start" : k === 4 ? "end" : "middle"}, tickSeconds(span * k / 4)));
  }
  const paths = {};
  const byLane = Array.from({length: count}, () => []);
  timed.forEach((a, i) => {
    const left = x(a[4]), width = Math.max(1.5, x(a[4] + a[5]) - left);
    paths[a[3]] = (paths[a[3]] || "") + `M${left.toFixed(1)},${T + lane[i] * ROW + 2}h${width.toFixed(1)}v${ROW - 4}h${(-width).toFixed(1)}z`;
    byLane[lane[i]].push(i);
  });
  for (const [status, d] of Object.entries(paths)) chart.append(svg("path", {class: "bars " + statusClass(status), "data-status": status, d}));
  const tip = el("div", {class: "tip"});
  const at = event => {
    const box = chart.getBoundingClientRect(), scale = box.width / W;
    const px = (event.clientX - box.left) / scale, k = Math.floor(((event.clientY - box.top) / scale - T) / ROW);
    if (k < 0 || k >= count) return null;
    const list = byLane[k];
    let low = 0, high = list.length - 1, found = -1;
    while (low <= high) {  // the last attempt of the lane that starts left of the pointer
      const mid = (low + high) >> 1;
      if (x(timed[list[mid]][4]) <= px) { found = mid; low = mid + 1; } else high = mid - 1;
    }
    if (found < 0) return null;
    const a = timed[list[found]];
    return px <= Math.max(x(a[4] + a[5]), x(a[4]) + 1.5) + 1 ? a : null;
  };
  chart.addEventListener("mousemove", event => {
    const a = at(event);
    chart.classList.toggle("pointing", Boolean(a));
    tip.hidden = !a;
    if (!a) return;
    tip.textContent = `${a[0]}${a[1] ? " [" + a[2] + "]" : ""}: ${a[3]}, ${seconds(a[5])}`;
    tip.style.left = `${event.offsetX + 12}px`;
    tip.style.top = `${event.offsetY + 12}px`;
  });
  chart.addEventListener("mouseleave", () => { tip.hidden = true; });
  chart.addEventListener("click", event => {
    const a = at(event);
    if (a) location.href = runHref(a[0], a[1]);
  });
  tip.hidden = true;
  return el("div", {class: "timeline-box"}, chart, tip);
}

function invocationPage(data) {
  const inv = data.invocation;
  if (!inv) return [el("h1", {}, "Last run"), el("p", {class: "muted"}, "No quarl run has recorded anything in this folder yet.")];
  const counts = {};
  for (const a of data.attempts) counts[a[3]] = (counts[a[3]] || 0) + 1;
  const skipped = data.attempts.filter(a => a[5] === null).length;
  return [
    el("h1", {}, `Run #${inv.id} `, inv.finished === null ? badge("running")
      : badge(inv.exit_status === 0 ? "succeeded" : inv.exit_status === 130 ? "interrupted" : "failed")),
    facts([
      ["command", el("code", {}, inv.command)],
      ["started", when(inv.started)],
      ["finished", inv.finished === null ? "still running (or killed)" : `${when(inv.finished)}, after ${seconds(inv.finished - inv.started)}, exit status ${inv.exit_status}`],
      ["attempts", Object.keys(counts).length ? Object.entries(counts).map(([s, n]) => `${n} ${s}`).join(", ") : "none recorded yet"],
    ]),
    section("Timeline", timeline(data.attempts, data.slots),
      skipped ? el("p", {class: "muted"}, `${plural(skipped, "run")} skipped without starting.`) : ""),
    section("Recent runs", el("ul", {class: "recent"}, ...data.recent.map(i => el("li", {},
      el("a", {href: "/invocation?" + query({id: i.id})}, `#${i.id}`), " ", when(i.started), " ", el("code", {}, i.command),
      i.finished === null ? " (running)" : ` (exit ${i.exit_status})`)))),
  ];
}

window.addEventListener("DOMContentLoaded", () => {
  if (!PAGES[location.pathname]) return;
  poll();
});
