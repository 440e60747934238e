// The reference server's live page: agent list, charts, configuration, chip grid, commands.
// Everything shown comes from the server's event stream (/events); values that agents sent
// are put into the page as text only, never as markup.
"use strict";

const dashboard = { agents: {}, keys: [], selected: null, charts: {}, version: -1, summary: {},
                    filter: "", page: 0 };
window.dashboard = dashboard; // for the browser tests and the console

const CHAIN_COLOURS = ["#1565c0", "#2e7d32", "#ef6c00", "#6a1b9a"];
const $ = (id) => document.getElementById(id);

function el(tag, attrs, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") node.className = v;
    else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
    else node.setAttribute(k, v);
  }
  for (const c of children) node.append(c instanceof Node ? c : show(c));
  return node;
}

// A value as text: numbers rounded, missing ones as a dash, structures as JSON.
function show(v) {
  if (v === null || v === undefined) return "–";
  if (typeof v === "number") return Number.isInteger(v) ? String(v) : v.toFixed(2);
  if (typeof v === "string") return v;
  return JSON.stringify(v);
}

function clock(t) {
  return typeof t === "number" ? new Date(t * 1000).toLocaleTimeString() : "–";
}

function duration(s) {
  if (typeof s !== "number") return "–";
  const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
  return (d ? d + "d " : "") + (d || h ? h + "h " : "") + m + "m " + Math.floor(s % 60) + "s";
}

// rows: list of objects; columns: [key, heading] pairs (default: the keys of the rows).
function table(rows, columns) {
  rows = Array.isArray(rows) ? rows : [];
  if (!rows.length) return el("p", { class: "muted" }, "none");
  columns = columns || [...new Set(rows.flatMap((r) => (r && typeof r === "object" ? Object.keys(r) : [])))]
    .map((k) => [k, k]);
  return el("table", {},
    el("thead", {}, el("tr", {}, ...columns.map(([, h]) => el("th", {}, h)))),
    el("tbody", {}, ...rows.map((r) => el("tr", {},
      ...columns.map(([k]) => el("td", {}, show(r && typeof r === "object" ? r[k] : r)))))));
}

function fill(id, ...nodes) {
  $(id).replaceChildren(...nodes);
}

// ---- agent list -----------------------------------------------------------

// Rows are updated in place: a row rebuilt between mouse press and release would lose the click.
const agentRows = new Map();
const PAGE_ROWS = 50;

function connection(a) {
  return a.connected ? "connected" : "closed" + (a.close_code ? " (" + a.close_code + ")" : "");
}

// The fleet's counts, then the page of the agents that match the filter.
function renderAgents() {
  const s = dashboard.summary;
  const counts = (o) => Object.entries(o || {}).map(([k, n]) => k + " " + n).join(", ") || "–";
  fill("summary", ...[["agents", s.agents], ["connected", s.connected], ["authentication", counts(s.auth)],
    ["miners", counts(s.state)], ["total GH/s", s.hash_rate]]
    .map(([label, v]) => el("span", {}, label + ": ", el("b", {}, show(v)))));
  const words = dashboard.filter.toLowerCase().split(/\s+/).filter(Boolean);
  const shown = dashboard.keys.filter((key) => {
    const a = dashboard.agents[key] || {};
    const text = [key, a.model, a.auth, a.state, connection(a)].join(" ").toLowerCase();
    return words.every((w) => text.includes(w));
  });
  const pages = Math.max(1, Math.ceil(shown.length / PAGE_ROWS));
  dashboard.page = Math.min(dashboard.page, pages - 1);
  $("page").textContent = `page ${dashboard.page + 1} of ${pages} (${shown.length} agents)`;
  const keys = shown.slice(dashboard.page * PAGE_ROWS, (dashboard.page + 1) * PAGE_ROWS);
  const body = $("agents");
  if (keys.length && !agentRows.size) body.replaceChildren();
  for (const [key, row] of agentRows) {
    if (!keys.includes(key)) {
      row.remove();
      agentRows.delete(key);
    }
  }
  keys.forEach((key, i) => {
    const a = dashboard.agents[key] || {};
    let row = agentRows.get(key);
    if (!row) {
      row = el("tr", { "data-key": key, onclick: () => select(key) },
        ...[0, 1, 2, 3, 4, 5, 6, 7, 8].map((n) => el("td", n === 5 ? { class: "state" }
          : n === 8 ? { class: "differs warn" } : {})));
      agentRows.set(key, row);
    }
    if (body.children[i] !== row) body.insertBefore(row, body.children[i] || null);
    row.className = key === dashboard.selected ? "selected" : "";
    [key, show(a.model), show(a.firmware), connection(a), show(a.auth), show(a.state), duration(a.uptime),
      clock(a.last_msg), differs(a)].forEach((text, n) => { row.cells[n].textContent = text; });
  });
}

// The daemon reads its file only when it starts: an edit since then shows here until it restarts.
function differs(a) {
  const sections = Array.isArray(a.differs) ? a.differs.map(show) : [];
  return sections.length ? "daemon differs from file: " + sections.join(", ") : "";
}

// Only the selected agent's whole view comes in the stream: a new selection opens a new one.
function select(key) {
  dashboard.selected = key;
  renderAgents();
  renderDetail();
  connect();
}

// ---- selected agent -------------------------------------------------------

function renderDetail() {
  const a = dashboard.agents[dashboard.selected];
  $("detail").hidden = !a;
  if (!a) return;
  $("agent-key").textContent = a.key;
  $("agent-state").textContent = show(a.state);
  $("agent-differs").textContent = differs(a);
  const m = a.metrics || {};
  const fans = (m.fans || []).map((f) => show(f.rpm)).join(" / ");
  fill("tiles", ...[["hash rate GH/s", m.hash_rate], ["average GH/s", m.hashrate_avg],
    ["frequency MHz", m.freq], ["hottest °C", m.temp], ["power W", m.watt],
    ["hardware errors", m.hw_errors], ["fans rpm", fans || null], ["uptime", duration(a.uptime)],
    ["metrics of", clock((a.series && a.series.time || []).slice(-1)[0])]]
    .map(([label, v]) => el("div", { class: "tile" }, label, el("b", {}, show(v)))));
  renderCharts(a.series || {});
  fill("chains", table(m.chains, [["id", "chain"], ["num_chips", "chips"], ["hash_rate", "GH/s"],
    ["freq", "MHz"], ["volt", "volt"], ["watt", "W"], ["hw_errors", "HW errors"],
    ["chip_temp", "chip °C"], ["pcb_temp", "board °C"]]));
  fill("fans", table(m.fans, [["id", "fan"], ["speed", "speed %"], ["rpm", "rpm"]]));
  fill("pools", table(a.pools, [["slot", "pool"], ["status", "status"], ["difficulty", "difficulty"],
    ["accepted", "accepted"], ["rejected", "rejected"], ["stale", "stale"], ["boost", "boost"]]));
  const live = a.network_live || {};
  fill("network", table([{ ...live, dnsservers: (live.dnsservers || []).join(" ") }],
    [["ip", "address"], ["netmask", "netmask"], ["gateway", "gateway"], ["dnsservers", "name servers"],
      ["mac", "MAC"]]));
  renderChips(a.chips || {});
  fill("oddities", table([...(a.oddities || [])].reverse().map((o) => ({ ...o, time: clock(o.time) })),
    [["time", "time"], ["what", "what"], ["text", "message"]]));
  renderConfig(a.config || {}, a.config_time);
  renderExchanges(a.exchanges || []);
}

function chartOptions(series) {
  const width = Math.max(360, Math.min(720, (document.body.clientWidth - 80) / 2));
  return { width, height: 240, series: [{}, ...series], axes: [{}, { size: 50 }],
           // At least a minute wide, so that the first samples do not stretch the axis to years.
           scales: { x: { time: true, range: (u, min, max) => [Math.min(min, max - 60), max] } },
           legend: { live: false } };
}

function renderCharts(s) {
  if (typeof uPlot === "undefined") {
    $("no-charts").hidden = false;
    return;
  }
  const time = s.time || [];
  const perChain = (name) => [0, 1, 2, 3].map((i) => (s[name] || [])[i] || []);
  const hash = [time, s.hash_rate || [], s.hashrate_avg || [], ...perChain("chain_hr")];
  const temp = [time, ...perChain("chip_temp"), ...perChain("pcb_temp")];
  const c = dashboard.charts;
  if (!c.hash) {
    c.hash = new uPlot(chartOptions([
      { label: "total", stroke: "#1d2530", width: 2 }, { label: "average", stroke: "#9e9e9e", dash: [4, 4] },
      ...CHAIN_COLOURS.map((stroke, i) => ({ label: "chain " + (i + 1), stroke }))]), hash, $("chart-hash"));
    c.temp = new uPlot(chartOptions([
      ...CHAIN_COLOURS.map((stroke, i) => ({ label: "chip " + (i + 1), stroke })),
      ...CHAIN_COLOURS.map((stroke, i) => ({ label: "board " + (i + 1), stroke, dash: [5, 3] }))]),
      temp, $("chart-temp"));
  } else {
    c.hash.setData(hash);
    c.temp.setData(temp);
  }
}

function renderChips(chips) {
  $("chip-chain").textContent = show(chips.chain_id);
  const list = Array.isArray(chips.chips) ? chips.chips : [];
  fill("chip-grid", ...list.map((chip) => {
    const grade = ["fast", "slow", "unstable"].includes(chip.state) ? chip.state : "unknown";
    return el("span", { class: "chip " + grade + (chip.custom_freq ? " custom" : ""),
                        title: `chip ${show(chip.id)}: ${show(chip.hr)} GH/s, ${show(chip.freq)} MHz, ${show(chip.state)}` },
      show(chip.id));
  }));
}

// The snapshot in the server's vocabulary: one box per section, in upload order.
function renderConfig(config, time) {
  $("config-time").textContent = time ? "received " + clock(time) : "(none received yet)";
  const order = ["pools", "fans", "perf", "chains", "autotuner", "watchdog", "network"];
  const names = [...order.filter((k) => k in config), ...Object.keys(config).filter((k) => !order.includes(k))];
  fill("config", ...names.map((name) => el("div", { "data-section": name }, el("h3", {}, name),
    section(name, config[name]))));
}

function section(name, value) {
  if (name === "pools" && value && typeof value === "object" && !Array.isArray(value)) {
    return table(Object.entries(value).map(([slot, p]) => ({ slot, ...(p && typeof p === "object" ? p : { value: p }) })),
      [["slot", "pool"], ["stratum_url", "URL"], ["worker", "worker"], ["password", "password"]]);
  }
  if (name === "chains" && Array.isArray(value)) {
    return table(value.map((c) => (c && typeof c === "object" ? {
      ...c, chips: Array.isArray(c.chips) && c.chips.length
        ? c.chips.map((ch) => show(ch && ch.id) + ":" + show(ch && ch.freq)).join(" ") : "none" } : { id: c })),
    [["id", "chain"], ["use_global_freq", "global freq"], ["use_global_volt", "global volt"],
      ["freq", "freq"], ["volt", "volt"], ["chips", "chip overrides"]]);
  }
  if (value && typeof value === "object" && !Array.isArray(value)) {
    return table(Object.entries(value).map(([k, v]) => ({ k, v: Array.isArray(v) ? v.map(show).join(" ") : v })),
      [["k", "setting"], ["v", "value"]]);
  }
  return el("pre", {}, show(value));
}

function renderExchanges(list) {
  fill("exchanges", table([...list].reverse().map((x) => ({
    sent: clock(x.time), command: x.type, state: x.state, reply: summary(x),
  })), [["sent", "sent"], ["command", "command"], ["state", "state"], ["reply", "reply"]]));
  const logs = [...list].reverse().find((x) => x.reply && typeof x.reply.logs === "string");
  $("kernel-log").textContent = logs ? logs.reply.logs || "(empty)" : '(ask with "kernel log")';
  $("log-time").textContent = logs ? "received " + clock(logs.reply_time) : "";
}

function summary(x) {
  const r = x.reply;
  if (!r) return "";
  if (r.ok === false) return "ok: false" + (r.message ? " — " + show(r.message) : "");
  if (typeof r.logs === "string") return r.logs.split("\n").length - 1 + " log lines";
  if (Array.isArray(r.chips)) return r.chips.length + " chips of chain " + show(r.chain_id);
  return "ok: " + show(r.ok);
}

// ---- commands -------------------------------------------------------------

// [field name, label, kind, default]; kind "text", "number", "bool" or a list of choices.
const CHAINS = ["1", "2", "3", "4"];
const PROFILES = [...Array(13).keys()].map(String);
const num = (v) => (v === "" ? undefined : Number(v));
const pool = (v, p) => (v[p + "_url"] ? { stratum_url: v[p + "_url"], worker: v[p + "_worker"],
  password: v[p + "_password"] } : undefined);
const COMMANDS = [
  { type: "stop_mining", label: "stop mining" },
  { type: "start_mining", label: "start mining" },
  { type: "reboot", label: "reboot", confirm: "Reboot the machine?" },
  { type: "logs", label: "kernel log" },
  { type: "chip_metrics", label: "chip metrics", fields: [["chain_id", "chain", CHAINS, "1"]] },
  { type: "config_fans", label: "fans", fields: [["mode", "mode", ["auto", "manual"], "auto"],
    ["speed", "speed %", "number", "100"], ["target_temp", "target °C", "number", "75"],
    ["silent_start", "silent start", "bool", false]],
    build: (v) => ({ mode: v.mode, speed: num(v.speed), target_temp: num(v.target_temp), silent_start: v.silent_start }) },
  { type: "config_perf", label: "performance", fields: [["profile", "profile", PROFILES, "0"],
    ["freq", "frequency MHz", "number", "384"], ["volt", "voltage", "number", "8"]],
    build: (v) => ({ perf: { profile: v.profile, freq: num(v.freq), volt: num(v.volt) } }) },
  { type: "config_autotuner", label: "autotuner", fields: [["stage1", "stage 1", "bool", false],
    ["stage2", "stage 2", "bool", false], ["stage3", "stage 3", "bool", false],
    ["stage3_interval", "stage 3 interval", "number", "3"], ["downclock_step", "down-clock step", "number", "6"],
    ["min_freq", "min frequency", "number", "300"], ["hashrate_deviation", "hash rate deviation", "number", "5"],
    ["test_time", "test time", "number", "10"], ["down_freq_hw", "down-clock HW", "number", "50"],
    ["reset_chips", "reset chips", "bool", false]],
    build: (v) => Object.fromEntries(Object.entries(v).map(([k, x]) => [k, typeof x === "boolean" ? x : num(x)])) },
  { type: "config_watchdog", label: "watchdog", fields: [["min_hr", "min hash rate", "text", ""],
    ["max_xchips", "max x-chips", "text", ""], ["max_temp", "max °C", "text", ""]] },
  { type: "config_chain", label: "chain", fields: [["id", "chain", CHAINS, "1"],
    ["use_global_freq", "global frequency", "bool", true], ["use_global_volt", "global voltage", "bool", true],
    ["freq", "frequency MHz", "number", "384"], ["volt", "voltage", "number", "8"],
    ["chips", "chips (id:MHz …)", "text", ""]],
    build: (v) => ({ ...v, freq: num(v.freq), volt: num(v.volt),
      chips: v.chips.split(/[\s,]+/).filter(Boolean).map((p) => ({ id: p.split(":")[0], freq: num(p.split(":")[1]) })) }) },
  { type: "config_pools", label: "pools", fields: ["main", "reserved", "reserved2"].flatMap((p) => [
    [p + "_url", p + " URL", "text", ""], [p + "_worker", p + " worker", "text", ""], [p + "_password", p + " password", "text", ""]]),
    build: (v) => ({ main: pool(v, "main"), reserved: pool(v, "reserved"), reserved2: pool(v, "reserved2") }) },
  { type: "config_network", label: "network", fields: [["mode", "mode", ["dhcp", "static"], "dhcp"],
    ["hostname", "host name", "text", ""], ["ip", "address", "text", ""], ["netmask", "netmask", "text", ""],
    ["gateway", "gateway", "text", ""], ["dnsservers", "name servers", "text", ""]],
    build: (v) => (v.mode === "dhcp" ? { mode: v.mode, hostname: v.hostname || undefined }
      : { ...v, dnsservers: v.dnsservers.split(/[\s,]+/).filter(Boolean) }) },
  { type: "config_web_access", label: "web password", fields: [["new_password", "new password", "text", ""]] },
];

function field([name, label, kind, initial]) {
  let input;
  if (Array.isArray(kind)) input = el("select", { name }, ...kind.map((c) => el("option", { value: c }, c)));
  else input = el("input", { name, type: kind === "bool" ? "checkbox" : kind });
  if (kind === "bool") input.checked = initial;
  else input.value = initial;
  return el("label", {}, label + " ", input);
}

function commandForm(cmd) {
  const fields = cmd.fields || [];
  const form = el("form", { id: "form-" + cmd.type }, ...(fields.length ? [el("b", {}, cmd.label)] : []),
    ...fields.map(field), el("button", { id: "btn-" + cmd.type, type: "submit" }, fields.length ? "send" : cmd.label));
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    if (cmd.confirm && !confirm(cmd.confirm)) return;
    const values = Object.fromEntries(fields.map(([name, , kind]) => {
      const input = form.elements[name];
      return [name, kind === "bool" ? input.checked : input.value];
    }));
    send({ type: cmd.type, ...(cmd.build ? cmd.build(values) : values) });
  });
  return form;
}

function rawForm() {
  const area = el("textarea", { name: "raw" }, '{"type": "config", "watchdog": {"max_temp": "95"}}');
  const form = el("form", { id: "form-raw" }, el("b", {}, "any JSON message"), area,
    el("button", { id: "btn-raw", type: "submit" }, "send"));
  form.addEventListener("submit", (e) => {
    e.preventDefault();
    try {
      send(JSON.parse(area.value));
    } catch (err) {
      alert("not JSON: " + err.message);
    }
  });
  return form;
}

async function post(path, body) {
  const reply = await fetch(path, { method: "POST", headers: { "Content-Type": "application/json" },
                                    body: JSON.stringify({ agent: dashboard.selected, ...body }) });
  if (!reply.ok) alert(path + ": " + ((await reply.json()).error || reply.status));
}

function send(message) {
  return post("/api/command", { message: JSON.parse(JSON.stringify(message)) }); // drops undefined
}

// ---- event stream ---------------------------------------------------------

let stream = null;

function connect() {
  if (stream) stream.close();
  stream = new EventSource("/events" + (dashboard.selected ? "?agent=" + encodeURIComponent(dashboard.selected) : ""));
  stream.onopen = () => { $("stream").textContent = "live"; $("stream").className = "badge live"; };
  stream.onerror = () => { $("stream").textContent = "reconnecting…"; $("stream").className = "badge lost"; };
  stream.onmessage = (e) => {
    const change = JSON.parse(e.data);
    const before = dashboard.agents[dashboard.selected];
    for (const a of change.agents) dashboard.agents[a.key] = a;
    dashboard.keys = change.keys;
    dashboard.version = change.version;
    dashboard.summary = change.summary;
    for (const k of Object.keys(dashboard.agents)) if (!change.keys.includes(k)) delete dashboard.agents[k];
    if (!dashboard.agents[dashboard.selected]) {
      // A connection that authenticated is listed under its device id from then on.
      const same = before && change.keys.find((k) => dashboard.agents[k].conn === before.conn);
      const next = same || change.keys[0] || null;
      if (next !== dashboard.selected) return select(next);
    }
    renderAgents();
    renderDetail();
  };
}

fill("commands", ...COMMANDS.map(commandForm), rawForm());
$("btn-reload").addEventListener("click", () => post("/api/reload", {}));
$("filter").addEventListener("input", (e) => { dashboard.filter = e.target.value; dashboard.page = 0; renderAgents(); });
$("prev").addEventListener("click", () => { dashboard.page = Math.max(0, dashboard.page - 1); renderAgents(); });
$("next").addEventListener("click", () => { dashboard.page += 1; renderAgents(); });
connect();
