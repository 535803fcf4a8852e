// The pages of `quarl ui`. Every element is built with createElement and every project text
// (asset names, partition values, logs, sources) goes in as a text node or an attribute value:
// nothing from the project is ever parsed as HTML.
"use strict";

const SVG_NS = "http://www.w3.org/2000/svg";
const POLL_MS = 1000;
const PAGE_ROWS = 50;
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

function bucketOf(status) {
  if (status === "succeeded" || status === "up to date" || status === "succeeded, check warned") return "succeeded";
  if (status === "failed" || status === "timeout" || status === "check failed" || status === "succeeded, check failed") return "failed";
  if (status === "missing" || !status) return "missing";
  return "other";
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

function section(title, ...children) {
  return el("section", {}, el("h2", {}, title), ...children);
}

// --- the page frame: load, render, follow the history -----------------------------------------

const params = new URLSearchParams(location.search);
const state = {version: null, data: null, runsPage: 0, runsFilter: "all", runsOrder: "plan"};

async function getJSON(url) {
  const response = await fetch(url, {cache: "no-store"});
  const body = await response.json();
  if (!response.ok) throw Object.assign(new Error(body.error || response.statusText), {answered: true});
  return body;
}

const PAGES = {
  "/": {load: () => getJSON("/api/graph"), view: graphPage, title: () => "Assets"},
  "/asset": {load: () => getJSON("/api/asset?" + query({key: params.get("key") || ""})),
             view: assetPage, title: d => d.key},
  "/run": {load: () => getJSON("/api/run?" + query({asset: params.get("asset") || "",
                                                     partition: params.get("partition") || ""})),
           view: runPage, title: d => d.asset + (d.partitioned ? ` [${d.label}]` : "")},
  "/invocation": {load: () => getJSON("/api/invocation" + (params.get("id") ? "?" + query({id: params.get("id")}) : "")),
                  view: invocationPage, title: d => d.invocation ? `Run #${d.invocation.id}` : "Last run"},
};

async function refresh(polled) {
  const page = PAGES[location.pathname];
  const main = document.getElementById("main");
  try {
    state.data = await page.load();
    state.version = state.data.version;
  } catch (error) {
    main.replaceChildren(el("p", {class: "error"}, error.message));
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
  main.replaceChildren(...page.view(state.data));
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
    if (version.version !== state.version) await refresh(version.version);
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

const NODE_W = 220, NODE_H = 66, GAP_X = 64, GAP_Y = 24, PAD = 16;

// Layers left to right by longest path from a source; within a layer, a few sweeps of ordering
// by the mean position of neighbours keep edges from crossing where it is easy.
function layout(assets) {
  const index = new Map(assets.map((a, i) => [a.key, i]));
  const ups = assets.map(a => [...new Set(a.inputs.map(([, key]) => index.get(key)))]);
  const downs = assets.map(() => []);
  ups.forEach((list, i) => list.forEach(u => downs[u].push(i)));
  const layer = assets.map(() => 0);
  for (let i = 0; i < assets.length; i++)  // assets come upstream first
    for (const u of ups[i]) layer[i] = Math.max(layer[i], layer[u] + 1);
  const layers = [];
  layer.forEach((l, i) => (layers[l] = layers[l] || []).push(i));
  const pos = [];
  const number = list => list.forEach((n, k) => { pos[n] = k; });
  layers.forEach(number);
  const mean = (n, near) => near.length ? near.reduce((s, m) => s + pos[m], 0) / near.length : pos[n];
  for (let sweep = 0; sweep < 4; sweep++) {
    for (let l = 1; l < layers.length; l++) {
      layers[l].sort((a, b) => mean(a, ups[a]) - mean(b, ups[b]));
      number(layers[l]);
    }
    for (let l = layers.length - 2; l >= 0; l--) {
      layers[l].sort((a, b) => mean(a, downs[a]) - mean(b, downs[b]));
      number(layers[l]);
    }
  }
  const rows = Math.max(1, ...layers.map(l => l.length));
  const xy = [];
  layers.forEach((list, l) => list.forEach((n, k) => {
    xy[n] = [PAD + l * (NODE_W + GAP_X), PAD + (k + (rows - list.length) / 2) * (NODE_H + GAP_Y)];
  }));
  return {xy, width: 2 * PAD + layers.length * (NODE_W + GAP_X) - GAP_X,
          height: 2 * PAD + rows * (NODE_H + GAP_Y) - GAP_Y, index};
}

function shorten(text, length) {
  return text.length > length ? "…" + text.slice(text.length - length + 1) : text;
}

function countsText(a) {
  const c = a.counts;
  const parts = [`${c.succeeded} ok`];
  if (c.failed) parts.push(`${c.failed} failed`);
  if (c.other) parts.push(`${c.other} skipped`);
  if (c.missing) parts.push(`${c.missing} missing`);
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

function graphView(assets) {
  const {xy, width, height, index} = layout(assets);
  const drawing = svg("svg", {class: "graph", width, height, viewBox: `0 0 ${width} ${height}`,
                              role: "img", "aria-label": "asset graph"});
  drawing.append(svg("defs", {}, svg("marker", {id: "arrow", viewBox: "0 0 10 10", refX: 10, refY: 5,
    markerWidth: 7, markerHeight: 7, orient: "auto-start-reverse"}, svg("path", {d: "M0,0 L10,5 L0,10 z"}))));
  assets.forEach((a, i) => {
    for (const [parameter, key] of a.inputs) {
      const [x1, y1] = xy[index.get(key)], [x2, y2] = xy[i];
      const sx = x1 + NODE_W, sy = y1 + NODE_H / 2, ex = x2, ey = y2 + NODE_H / 2, mid = (sx + ex) / 2;
      drawing.append(svg("path", {class: "edge", d: `M${sx},${sy} C${mid},${sy} ${mid},${ey} ${ex},${ey}`,
                                  "marker-end": "url(#arrow)"}));
      drawing.append(svg("text", {class: "edge-label", x: mid, y: (sy + ey) / 2 - 4}, parameter));
    }
  });
  assets.forEach((a, i) => {
    const [x, y] = xy[i];
    drawing.append(svg("a", {href: assetHref(a.key), class: "node " + statusClass(a.status || "missing"),
                             "data-key": a.key, "data-status": a.status || "missing"},
      svg("title", {}, `${a.key}\n${a.partitioned ? plural(a.runs, "partition") : "1 run"}: ${countsText(a)}`),
      svg("rect", {x, y, width: NODE_W, height: NODE_H, rx: 8, class: "box"}),
      svg("text", {x: x + 10, y: y + 20, class: "node-name"}, shorten(a.key, 28)),
      svg("text", {x: x + 10, y: y + 38, class: "node-counts"},
          (a.partitioned ? plural(a.runs, "partition") + " · " : "") + countsText(a)),
      bar(a.counts, a.runs, x + 10, y + NODE_H - 18, NODE_W - 20, 8)));
  });
  return drawing;
}

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
  return el("p", {class: "legend"}, ...BUCKETS.map(b => el("span", {}, el("i", {class: "seg-" + b}), BUCKET_TEXT[b])));
}

function graphPage(data) {
  const rows = data.assets.map(a => el("tr", {"data-key": a.key},
    el("td", {}, el("a", {href: assetHref(a.key)}, a.key)), el("td", {}, badge(a.status)),
    el("td", {class: "num"}, a.runs.toLocaleString("en")),
    ...BUCKETS.map(b => el("td", {class: "num"}, a.counts[b] ? a.counts[b].toLocaleString("en") : ""))));
  return [
    el("h1", {}, "Assets"),
    el("p", {class: "muted"}, "Output folder ", el("code", {}, data.out)),
    invocationLine(data.invocation),
    legend(),
    el("div", {class: "scroll"}, graphView(data.assets)),
    el("table", {class: "list"}, el("thead", {}, el("tr", {}, el("th", {}, "asset"), el("th", {}, "worst last status"),
      el("th", {}, "runs"), ...BUCKETS.map(b => el("th", {}, b)))), el("tbody", {}, ...rows)),
  ];
}

// --- an asset ---------------------------------------------------------------------------------

function partitionLabel(dims, position) {
  let rest = position;
  const parts = [];
  for (let d = dims.length - 1; d >= 0; d--) {
    const count = dims[d].values.length;
    parts.unshift(`${dims[d].name}=${dims[d].values[rest % count]}`);
    rest = Math.floor(rest / count);
  }
  return parts.join(",");
}

// A project may have 10,000 partitions in one asset: a cell is a bare element with its index and
// label, and one listener on the grid opens a cell's run and names it on hover.
function cell(data, position, text) {
  const span = document.createElement("span");
  span.className = "cell " + statusClass(data.runs.status[position]);
  span.dataset.i = position;
  span.dataset.partition = data.dimensions.length ? partitionLabel(data.dimensions, position) : "-";
  if (text !== undefined) span.textContent = text;
  return span;
}

function cellEvents(box, data) {
  const target = event => {
    const found = event.target.closest(".cell");
    return found && box.contains(found) ? found : null;
  };
  box.addEventListener("mouseover", event => {
    const found = target(event);
    if (found && !found.title) found.title = `${found.dataset.partition}: ${data.runs.status[+found.dataset.i]}`;
  });
  box.addEventListener("click", event => {
    const found = target(event);
    if (found) location.href = runHref(data.key, data.runs.names[+found.dataset.i]);
  });
  return box;
}

// One dimension: a row of cells; two: a table of the first by the second; more: one such table
// per combination of the others.
function partitionGrid(data) {
  const dims = data.dimensions;
  const total = data.runs.status.length;
  if (dims.length === 0) return cellEvents(el("div", {class: "cells labelled"}, cell(data, 0, data.key)), data);
  if (dims.length === 1) {
    const labelled = total <= 300;
    const box = el("div", {class: "cells" + (labelled ? " labelled" : "")});
    const cells = document.createDocumentFragment();
    for (let i = 0; i < total; i++) cells.append(cell(data, i, labelled ? dims[0].values[i] : undefined));
    box.append(cells);
    return cellEvents(box, data);
  }
  const [rowDim, colDim] = dims;
  const columns = colDim.values.length;
  const groups = total / (rowDim.values.length * columns);
  // Few enough cells to read: bigger ones.
  const big = rowDim.values.length <= 40 && columns <= 40;
  const grids = [];
  for (let g = 0; g < groups; g++) {
    const grid = el("div", {class: "grid" + (big ? " big" : "")},
      el("span", {class: "corner"}, `${rowDim.name} \\ ${colDim.name}`),
      ...colDim.values.map(v => el("span", {class: "col"}, el("span", {}, v))));
    grid.style.gridTemplateColumns = `auto repeat(${columns}, min-content)`;
    const cells = document.createDocumentFragment();
    rowDim.values.forEach((rowValue, r) => {
      cells.append(el("span", {class: "row"}, rowValue));
      for (let c = 0; c < columns; c++) cells.append(cell(data, (r * columns + c) * groups + g));
    });
    grid.append(cells);
    if (dims.length > 2) {
      const caption = dims.slice(2).map((d, k) => {
        let stride = 1;
        for (const later of dims.slice(3 + k)) stride *= later.values.length;
        return `${d.name}=${d.values[Math.floor(g / stride) % d.values.length]}`;
      }).join(", ");
      grids.push(el("div", {class: "group"}, el("h3", {}, caption), grid));
    } else {
      grids.push(grid);
    }
  }
  return cellEvents(el("div", {class: "scroll grids"}, ...grids), data);
}

function bucketCounts(statuses) {
  const counts = {succeeded: 0, failed: 0, other: 0, missing: 0};
  for (const status of statuses) counts[bucketOf(status)]++;
  return counts;
}

function runsTable(data) {
  const total = data.runs.status.length;
  let order = [...Array(total).keys()];
  if (state.runsFilter !== "all") order = order.filter(i => bucketOf(data.runs.status[i]) === state.runsFilter);
  const key = {slowest: i => -(data.runs.duration[i] ?? -1), latest: i => -(data.runs.started[i] ?? 0)}[state.runsOrder];
  if (key) order.sort((a, b) => key(a) - key(b));
  const pages = Math.max(1, Math.ceil(order.length / PAGE_ROWS));
  state.runsPage = Math.min(state.runsPage, pages - 1);
  const shown = order.slice(state.runsPage * PAGE_ROWS, (state.runsPage + 1) * PAGE_ROWS);
  const choose = (name, options, current, set) => el("label", {}, name + " ",
    el("select", {onchange: e => { set(e.target.value); state.runsPage = 0; draw(); }},
      ...options.map(([value, text]) => el("option", {value, selected: value === current}, text))));
  const turn = step => () => { state.runsPage += step; draw(); };
  return [
    el("div", {class: "controls"},
      choose("Show", [["all", "all runs"], ...BUCKETS.map(b => [b, BUCKET_TEXT[b]])], state.runsFilter, v => { state.runsFilter = v; }),
      choose("Order", [["plan", "plan order"], ["slowest", "slowest first"], ["latest", "latest first"]], state.runsOrder, v => { state.runsOrder = v; }),
      el("button", {disabled: state.runsPage === 0, onclick: turn(-1)}, "‹ previous"),
      el("span", {}, `page ${state.runsPage + 1} of ${pages} (${plural(order.length, "run")})`),
      el("button", {disabled: state.runsPage >= pages - 1, onclick: turn(1)}, "next ›")),
    el("table", {class: "list runs"},
      el("thead", {}, el("tr", {}, el("th", {}, "partition"), el("th", {}, "last status"), el("th", {}, "duration"), el("th", {}, "started"))),
      el("tbody", {}, ...shown.map(i => el("tr", {},
        el("td", {}, el("a", {href: runHref(data.key, data.runs.names[i])}, data.dimensions.length ? partitionLabel(data.dimensions, i) : "-")),
        el("td", {}, badge(data.runs.status[i] === "missing" ? null : data.runs.status[i])),
        el("td", {class: "num"}, seconds(data.runs.duration[i])), el("td", {}, when(data.runs.started[i])))))),
  ];
}

// Each check's last result on each partition: [result, attempt, message, stale] or null. The
// partitions with a result other than passed come first.
function checksView(data) {
  const total = data.runs.names.length;
  const said = r => !r ? "never evaluated" : r[3] ? "stale" : r[0];
  const doubtful = i => data.checks.some(c => said(c.results[i]) !== "passed");
  const order = [...Array(total).keys()].sort((a, b) => doubtful(b) - doubtful(a) || a - b);
  const shown = order.slice(0, PAGE_ROWS);
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
        el("td", {}, el("a", {href: runHref(data.key, data.runs.names[i])}, data.dimensions.length ? partitionLabel(data.dimensions, i) : "-")),
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
    chart.append(svg("text", {class: "tick", x: L - 6, y: y(top * fraction) + 4, "text-anchor": "end"}, seconds(top * fraction)));
  }
  chart.append(svg("text", {class: "tick", x: L, y: H - 8}, when(t0)),
    svg("text", {class: "tick", x: W - R, y: H - 8, "text-anchor": "end"}, when(t1)));
  for (const [status, d] of Object.entries(paths)) chart.append(svg("path", {class: "dots " + statusClass(status), d}));
  return el("div", {}, chart, el("p", {class: "muted"}, `${plural(attempts.length, "attempt")}: duration against start time.`));
}

function valueView(value, owner) {
  if (!value) return el("p", {class: "muted"}, "No published value.");
  const about = [`format ${value.format}`, `type ${value.type || "unknown"}`, bytes(value.size)];
  const parts = [el("p", {class: "meta"}, about.join(" · "), owner || "")];
  if (value.text !== undefined) {
    parts.push(el("pre", {class: "value"}, value.text));
    if (value.cut) parts.push(el("p", {class: "muted"}, "Cut: the beginning of the value only."));
  } else if (value.format !== "json") {
    parts.push(el("p", {class: "muted"}, `A ${value.format} value is not opened here: loading it could run code or take long.`));
  }
  return el("div", {}, ...parts);
}

function links(keys) {
  if (!keys.length) return "none";
  const out = [];
  keys.forEach((key, k) => { if (k) out.push(", "); out.push(el("a", {href: assetHref(key)}, key)); });
  return el("span", {}, ...out);
}

function assetPage(data) {
  const counts = bucketCounts(data.runs.status);
  const worst = data.runs.status.includes("failed") ? "failed" : data.runs.status.includes("timeout") ? "timeout" : null;
  const owner = data.value && data.dimensions.length
    ? el("span", {}, " · partition ", el("a", {href: runHref(data.key, data.value.partition)}, data.value.label)) : "";
  return [
    el("h1", {}, data.key, " ", worst ? badge(worst) : ""),
    el("p", {class: "meta"}, `module ${data.module} · function ${data.function}`,
       data.return_type ? ` · returns ${data.return_type}` : ""),
    el("p", {}, "Upstream: ", links(data.upstream), el("br"), "Downstream: ", links(data.downstream)),
    section(data.dimensions.length ? `Partitions (${data.runs.status.length.toLocaleString("en")})` : "Run",
      el("p", {class: "legend"}, ...BUCKETS.map(b => el("span", {}, el("i", {class: "seg-" + b}), `${BUCKET_TEXT[b]} ${counts[b]}`))),
      partitionGrid(data)),
    data.checks.length ? section("Checks", ...checksView(data)) : "",
    section("Runs", ...runsTable(data)),
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

function logView(title, folder, log) {
  if (!log) return el("div", {class: "log-box"}, el("h3", {}, title), el("p", {class: "muted"}, "none"));
  return el("div", {class: "log-box"},
    el("h3", {}, el("a", {href: fileHref(folder + "/" + title)}, title), " ",
       el("span", {class: "muted"}, log.cut ? `the end of ${bytes(log.size)}` : bytes(log.size))),
    log.text ? logText(log.text) : el("p", {class: "muted"}, "empty"));
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
  const published = data.published;
  const stale = published && published.fingerprint && published.fingerprint !== data.fingerprint;
  const logs = [];
  if (data.failed) {
    logs.push(el("div", {class: "log-column failed"}, el("h3", {}, "Last attempt (failed), ", el("code", {}, data.failed.folder)),
      logView("stderr.log", data.failed.folder, data.failed.stderr), logView("stdout.log", data.failed.folder, data.failed.stdout)));
  }
  if (published) {
    logs.push(el("div", {class: "log-column"}, el("h3", {}, "Published run, ", el("code", {}, published.folder)),
      logView("stderr.log", published.folder, published.stderr), logView("stdout.log", published.folder, published.stdout)));
  }
  return [
    el("h1", {}, el("a", {href: assetHref(data.asset)}, data.asset), data.partitioned ? ` [${data.label}]` : "", " ", badge(data.status === "missing" ? null : data.status)),
    facts([
      ...data.partition_values.map(([dim, value]) => [dim, value]),
      last && ["last attempt", `${when(last.started)}, ${last.duration === null ? "did not start" : seconds(last.duration)}` +
        (last.exit_status !== null ? `, exit status ${last.exit_status}` : "")],
      last && last.error && ["error", el("span", {class: "error-text"}, last.error)],
      ["fingerprint", el("code", {}, data.fingerprint)],
      published && ["published", `attempt ${published.attempt}, ${when(published.started)}, took ${seconds(published.duration)}`],
      stale && ["out of date", "the published value was built from another fingerprint: the next quarl run reruns it"],
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
      svg("text", {class: "tick", x: at, y: H - 8, "text-anchor": k === 0 ? "start" : k === 4 ? "end" : "middle"}, seconds(span * k / 4)));
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
