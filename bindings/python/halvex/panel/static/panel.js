// The Halvex panel page: renders the state the server reports and sends the clicks back.
// One delegated click handler serves every control, so a 48 x 48 matrix costs no listeners.
"use strict";

const token = new URLSearchParams(location.search).get("token");
const authHeaders = token ? { "X-Panel-Token": token } : {};
const views = new Map(); // card number -> what was rendered for it
let shown = { version: -1, generation: -1, cards: "" };
let lastLogId = 0;
const LOG_LIMIT = 500;
// The models, relay kinds and groups, as the server's vocabulary has them (/api/vocabulary).
let vocabulary = null;

const $ = (selector, root = document) => root.querySelector(selector);
const esc = (text) =>
  String(text).replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const pad = (n, width = 2) => String(n).padStart(width, "0");
// 24-hour local time with milliseconds: commands a few ms apart stay apart in the log.
function clock(seconds) {
  const d = new Date(seconds * 1000);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
}

// ---- Talking to the server ----

async function post(path, body, pendingEl) {
  if (pendingEl) pendingEl.dataset.pending = "";
  try {
    const response = await fetch(path, {
      method: "POST",
      headers: { "Content-Type": "application/json", ...authHeaders },
      body: JSON.stringify(body),
    });
    const data = await response.json().catch(() => ({ error: response.statusText }));
    if (!response.ok) {
      problem(body.card, `${response.status}: ${data.error}`);
      return;
    }
    await catchUp(data.version);
    return data;
  } catch (e) {
    problem(body.card, `the panel's server is unreachable: ${e}`);
  } finally {
    if (pendingEl) delete pendingEl.dataset.pending;
  }
}

// A click answers with the version of the state it left; the long poll, woken by the same change,
// brings that state, usually before the answer. Should it not have within a moment (it was
// between requests, or retrying), the state is asked for once.
const CATCH_UP_MS = 250;
async function catchUp(version) {
  const deadline = Date.now() + CATCH_UP_MS;
  while (shown.version < version && Date.now() < deadline) await sleep(10);
  if (shown.version >= version) return;
  const response = await fetch("/api/state", { headers: authHeaders, cache: "no-store" });
  if (response.ok) apply(await response.json());
}

async function poll() {
  let since = null;
  for (;;) {
    try {
      if (!vocabulary) {
        const response = await fetch("/api/vocabulary", { headers: authHeaders, cache: "no-store" });
        if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
        vocabulary = await response.json();
      }
      const query = since === null ? "" : `?since=${since}&wait=20`;
      const response = await fetch(`/api/state${query}`, { headers: authHeaders, cache: "no-store" });
      if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
      const state = await response.json();
      link(true);
      apply(state);
      since = state.version;
    } catch (e) {
      link(false, e);
      since = null;
      await sleep(1000);
    }
  }
}

function link(ok, error) {
  const el = $("[data-link]");
  el.dataset.ok = ok ? "1" : "0";
  el.textContent = ok ? "live" : `server unreachable (${error}), retrying`;
}

function problem(card, text) {
  const view = views.get(card);
  if (view) {
    message(view, "request", text);
  } else {
    $("[data-link]").textContent = text;
  }
}

// A card's last result, in its text and in its data-message for tools.
function message(view, code, text) {
  const el = $("[data-message]", view.el);
  el.dataset.code = code;
  el.dataset.message = text;
  el.textContent = text;
}

// ---- Rendering ----

function toggle(name, label, title, extra = "") {
  return `<button type="button" class="${extra}" data-relay="${name}" data-state="unknown" title="${esc(title)}">${label}</button>`;
}

// The relay kinds of one shape ("row-column", "row-line", "number", "single").
const kindsShaped = (shape) => vocabulary.relays.filter((r) => r.shape === shape);
// A kind's form as names are typed: "matrix:ROW:COLUMN", "gp:N", "ground".
const form = (kind) => [kind.name, ...kind.args.split(" ").filter(Boolean)].join(":");
// The forms the card's model has, as its name field suggests them.
const formsOf = (model) => vocabulary.relays.filter((r) => model in r.exports).map(form).join(", ");

function matrixHtml(layout) {
  // The server explains each row whose number is a group code's.
  const aliases = layout.alias_rows;
  const [matrix] = kindsShaped("row-column");
  const [rowLine] = kindsShaped("row-line");
  const lines = rowLine.args.split(" ")[1].split("|");
  let html = `<span></span>`;
  for (const col of layout.cols) html += `<span class="col">${col}</span>`;
  for (const line of lines) html += `<span class="col">${line}</span>`;
  for (const row of layout.rows) {
    const aliasTitle = aliases[String(row)];
    const alias = aliasTitle ? "alias" : "";
    html += `<span class="rowlabel ${alias}" title="${aliasTitle ? esc(aliasTitle) : ""}">${row}</span>`;
    for (const col of layout.cols) {
      const title = aliasTitle || `crosspoint row ${row}, column ${col}`;
      html += toggle(`${matrix.name}:${row}:${col}`, "", title, alias);
    }
    for (const line of lines) {
      const title = aliasTitle || `row ${row} ${line} line`;
      html += toggle(`${rowLine.name}:${row}:${line}`, line, title, `line ${alias}`);
    }
  }
  return html;
}

// "GP relay" -> "GP relays", "discharge relay" -> "Discharge relays".
function groupLabel(kind) {
  const group = vocabulary.groups.find((g) => g.code === kind.group);
  const name = group ? group.name : kind.name;
  return `${name[0].toUpperCase()}${name.slice(1)}s`;
}

function cardHtml(card) {
  const layout = card.layout;
  let relays = "";
  if (layout.rows) {
    relays += `<div class="section"><div class="label">Matrix ${layout.rows.length} × ${layout.cols.length}, row hi/lo lines</div><div class="scroll"><div class="matrix" data-matrix></div></div></div>`;
  }
  let groups = "";
  for (const kind of kindsShaped("number")) {
    if (!layout[kind.name]) continue;
    groups += `<div class="section"><div class="label">${esc(groupLabel(kind))}</div><div class="toggles">`;
    for (const n of layout[kind.name]) groups += toggle(`${kind.name}:${n}`, n, kind.summary.replace(/\bN\b/, n));
    groups += `</div></div>`;
  }
  if (layout.single) {
    const singles = kindsShaped("single");
    groups += `<div class="section singles"><div class="label">${esc(groupLabel(singles[0]))}</div><div class="toggles">`;
    for (const kind of singles) {
      if (layout.single.includes(kind.name)) groups += toggle(kind.name, kind.name, `${kind.summary} (${kind.name})`);
    }
    groups += `</div></div>`;
  }
  let inputs = "";
  if (layout.inputs) {
    let leds = "";
    for (let i = 1; i <= 8; i++) leds += `<span class="led" data-input="${i}" data-state="0" title="input ${i}">${i}</span>`;
    inputs = `<div class="section"><div class="label">Signal inputs <code data-monitor-port></code></div>
      <div class="inputs" data-monitor-state="stopped">${leds}
        <label>every <input type="number" min="0.01" max="60" step="0.05" value="0.1" data-interval> s</label>
        <button type="button" data-monitor="start">Start</button>
        <button type="button" data-monitor="stop">Stop</button>
        <span class="silence" data-silence hidden></span>
      </div></div>`;
  }
  return `<section class="card" data-card="${card.card}" data-model="${esc(card.model)}">
    <header>
      <h2>Slot ${card.card} · ${esc(card.model)}</h2><span class="id">${esc(card.id)}</span>
      <span class="actions">
        <button type="button" data-action="selftest">Self test</button>
        <button type="button" data-action="identify">Identify</button>
        <button type="button" data-action="reset">Reset</button>
      </span>
    </header>
    <div class="message" data-message></div>
    <div class="body"><div class="relays">${relays}</div><div class="groups">${groups}${inputs}
      <div class="section command"><div class="label">Any relay by name</div>
        <input data-command-relay placeholder="${esc(formsOf(card.model))}" title="${esc(`${formsOf(card.model)}; SLOT: before a name is this card's slot`)}" spellcheck="false">
        <button type="button" data-command="close">Close</button>
        <button type="button" data-command="open">Open</button>
      </div></div></div>
    <div class="bubble" data-bubble hidden></div>
  </section>`;
}

function render(state) {
  const container = $("[data-cards]");
  container.innerHTML = state.cards.length
    ? state.cards.map(cardHtml).join("")
    : `<p class="nocards">No cards on ${esc(state.port)}: see the warning above.</p>`;
  views.clear();
  for (const card of state.cards) {
    const el = container.querySelector(`[data-card="${card.card}"]`);
    const matrix = $("[data-matrix]", el);
    if (matrix) {
      matrix.style.gridTemplateColumns = `2.4em repeat(${card.layout.cols.length}, var(--cell)) 20px 20px`;
      matrix.innerHTML = matrixHtml(card.layout);
    }
    const relays = new Map();
    for (const r of el.querySelectorAll("[data-relay]")) relays.set(r.dataset.relay, r);
    views.set(card.card, { el, relays, applied: new Map(), def: "unknown", errors: new Map(), last: null });
  }
}

function setRelay(view, name, state) {
  const el = view.relays.get(name);
  if (el && el.dataset.state !== state) el.dataset.state = state;
}

function resultText(r) {
  if (r.code === null) return r.text;
  // The fixture layer's own refusals (10 and up) carry their reason, with the rule, as the text.
  if (!r.korean && r.english === r.text) return `${r.code} ${r.text}`;
  const words = `${r.code} ${r.english} · ${r.korean}`;
  return r.text ? `${words} · ${r.text}` : words;
}

function applyCard(view, card) {
  // Relay states: only what changed since the last report is touched.
  const now = new Map(Object.entries(card.relays));
  if (card.default !== view.def) {
    view.def = card.default;
    for (const [name, el] of view.relays) el.dataset.state = now.get(name) || card.default;
  } else {
    for (const name of view.applied.keys()) if (!now.has(name)) setRelay(view, name, card.default);
    for (const [name, state] of now) if (view.applied.get(name) !== state) setRelay(view, name, state);
  }
  view.applied = now;

  // Refusals are marked on the relay, with the code and both messages in its title.
  for (const [name, el] of view.errors) if (!(name in card.errors)) {
    delete el.dataset.code;
    el.title = el.dataset.title || el.title;
    view.errors.delete(name);
  }
  for (const [name, e] of Object.entries(card.errors)) {
    const el = view.relays.get(name);
    if (!el) continue;
    if (!el.dataset.title) el.dataset.title = el.title;
    el.dataset.code = e.code === null ? "refused" : String(e.code);
    el.title = `${e.line}: ${resultText(e)}`;
    view.errors.set(name, el);
  }

  const last = card.last;
  if (last && (!view.last || last.id !== view.last.id)) {
    view.last = last;
    message(view, last.code === null ? "refused" : String(last.code),
            `${last.relay ? last.relay + " · " : ""}${last.line} → ${resultText(last)}`);
    bubble(view, last);
  }

  if (card.monitor) applyMonitor(view, card.monitor);
}

// The last refusal sits beside its relay until the next result of the card.
function bubble(view, last) {
  const el = $("[data-bubble]", view.el);
  const target = last.relay ? view.relays.get(last.relay) : null;
  if (last.code === 0 || !target) {
    el.hidden = true;
    return;
  }
  el.textContent = `${last.code === null ? "not sent" : last.code}: ${resultText(last)}`;
  el.dataset.code = last.code === null ? "refused" : String(last.code);
  el.hidden = false;
  const box = target.getBoundingClientRect();
  const card = view.el.getBoundingClientRect();
  // Inside the card, so that a narrow window does not scroll sideways.
  el.style.left = `${Math.max(0, Math.min(box.right - card.left + 6, card.width - el.offsetWidth - 4))}px`;
  el.style.top = `${box.top - card.top - 4}px`;
}

function applyMonitor(view, monitor) {
  const box = $("[data-monitor-state]", view.el);
  const state = !monitor.running ? "stopped" : monitor.stale ? "silent" : "running";
  if (box.dataset.monitorState !== state) box.dataset.monitorState = state;
  const inputs = monitor.inputs || [0, 0, 0, 0, 0, 0, 0, 0];
  inputs.forEach((value, i) => {
    const led = $(`[data-input="${i + 1}"]`, box);
    if (led.dataset.state !== String(value)) led.dataset.state = String(value);
  });
  const silence = $("[data-silence]", box);
  silence.hidden = state !== "silent";
  if (state === "silent") {
    silence.textContent = `no reading since ${clock(monitor.since)}: the monitoring port is silent or gone`;
  }
  $("[data-monitor-port]", view.el).textContent = monitor.port ? `on ${monitor.port}` : "(no monitoring port given)";
  $('[data-monitor="start"]', box).disabled = monitor.running || !monitor.port;
  $('[data-monitor="stop"]', box).disabled = !monitor.running;
  const interval = $("[data-interval]", box);
  if (monitor.running && document.activeElement !== interval) interval.value = monitor.interval;
}

function applyLog(entries) {
  const list = $("[data-log]");
  const fresh = entries.filter((e) => e.id > lastLogId).reverse(); // oldest of the new first
  for (const e of fresh) {
    const li = document.createElement("li");
    li.dataset.logEntry = String(e.id);
    li.dataset.code = e.code === null ? "refused" : String(e.code);
    const who = e.card === null ? "chassis" : `card ${e.card}`;
    const sent = e.sent ? "" : " (not sent)";
    li.innerHTML = `<span class="t">${clock(e.time)}</span>${who} <code>${esc(e.line)}</code>${sent}<span class="r">${esc(resultText(e))}</span>`;
    list.prepend(li);
    lastLogId = Math.max(lastLogId, e.id);
  }
  while (list.children.length > LOG_LIMIT) list.lastElementChild.remove();
}

// ---- The fixture ----

let fixtureFile = null;

function renderFixture(fixture) {
  fixtureFile = fixture.file;
  $("[data-fixture-file]").textContent = fixture.file;
  $("[data-routes]").innerHTML = fixture.routes.map((r) =>
    `<span class="route" data-route="${esc(r)}" data-route-state="released">${esc(r)}
      <button type="button" data-fixture-action="apply" data-route-name="${esc(r)}">Apply</button>
      <button type="button" data-fixture-action="release" data-route-name="${esc(r)}">Release</button></span>`).join("");
  const options = fixture.nets.map((n) => `<option value="${esc(n.name)}">${esc(n.name)}</option>`).join("");
  $("[data-net-a]").innerHTML = options;
  $("[data-net-b]").innerHTML = options;
  if (fixture.nets.length > 1) $("[data-net-b]").selectedIndex = 1;
  $("[data-nets]").innerHTML = fixture.nets.map((n) =>
    `<li data-net="${esc(n.name)}"><b>${esc(n.name)}</b> <small>${esc(n.terminals.join(" "))}</small>
      <span data-joined></span></li>`).join("");
  $("[data-fixture]").hidden = false;
}

function applyFixture(fixture) {
  if (!fixture) return;
  if (fixture.file !== fixtureFile) renderFixture(fixture);
  const state = fixture.state;
  for (const el of document.querySelectorAll("[data-route]")) {
    el.dataset.routeState = state.routes.includes(el.dataset.route) ? "applied" : "released";
  }
  // Each net shows the nets it is joined with, through relays closed or of unknown state.
  const partners = new Map();
  for (const group of state.joined) for (const net of group) partners.set(net, group.filter((n) => n !== net));
  for (const el of document.querySelectorAll("[data-net]")) {
    const others = partners.get(el.dataset.net) || [];
    el.dataset.joined = others.join(" ");
    $("[data-joined]", el).textContent = others.length ? `joined with ${others.join(", ")}` : "";
  }
}

function fixtureMessage(result) {
  const el = $("[data-fixture-message]");
  el.dataset.code = String(result.code);
  el.textContent = `${result.line} → ${resultText(result)}`;
}

function apply(state) {
  if (state.version < shown.version) return; // an older answer overtaken by a newer one
  const cards = state.cards.map((c) => `${c.card}:${c.model}:${c.id}`).join("|");
  if (state.generation !== shown.generation || cards !== shown.cards) render(state);
  shown = { version: state.version, generation: state.generation, cards };
  $("[data-chassis-port]").textContent = state.port;
  $("[data-chassis-open]").textContent = state.open
    ? `${state.cards.length} card${state.cards.length === 1 ? "" : "s"} found`
    : "not open: check the port and Rediscover";
  const warnings = $("[data-warnings]");
  const warningText = (state.warnings || []).join("\n");
  if (warnings.dataset.text !== warningText) {
    warnings.dataset.text = warningText;
    warnings.innerHTML = (state.warnings || []).map((w) => `<li>${esc(w)}</li>`).join("");
    warnings.hidden = !warningText;
  }
  const busy = $("[data-busy]");
  busy.hidden = !state.busy;
  busy.textContent = state.busy ? `busy: ${state.busy}…` : "";
  for (const card of state.cards) {
    const view = views.get(card.card);
    if (view) applyCard(view, card);
  }
  applyFixture(state.fixture);
  applyLog(state.log);
}

// ---- Clicks ----

document.addEventListener("click", (event) => {
  const target = event.target.closest("[data-relay],[data-action],[data-global],[data-monitor],[data-command],[data-bubble],[data-fixture-action]");
  if (!target || target.disabled) return;
  const cardEl = target.closest("[data-card]");
  const card = cardEl ? Number(cardEl.dataset.card) : null;
  if (target.dataset.bubble !== undefined) {
    target.hidden = true;
  } else if (target.dataset.relay) {
    const action = target.dataset.state === "closed" ? "open" : "close";
    post("/api/relay", { card, relay: target.dataset.relay, action }, target);
  } else if (target.dataset.action) {
    post("/api/card", { card, action: target.dataset.action }, target);
  } else if (target.dataset.monitor) {
    const interval = Number($("[data-interval]", cardEl).value);
    post("/api/monitor", { card, action: target.dataset.monitor, interval }, target);
  } else if (target.dataset.command) {
    const relay = $("[data-command-relay]", cardEl).value.trim();
    if (!relay) problem(card, `enter a relay name (${formsOf(cardEl.dataset.model)})`);
    else post("/api/relay", { card, relay, action: target.dataset.command }, target);
  } else if (target.dataset.fixtureAction) {
    const action = target.dataset.fixtureAction;
    const body = target.dataset.routeName
      ? { action, routes: [target.dataset.routeName] }
      : { action, nets: [$("[data-net-a]").value, $("[data-net-b]").value] };
    post("/api/fixture", body, target).then((data) => data && fixtureMessage(data.result));
  } else if (target.dataset.global === "rediscover") {
    post("/api/rediscover", {}, target);
  } else if (target.dataset.global === "open-closed") {
    post("/api/open-closed", {}, target);
  }
});

document.addEventListener("keydown", (event) => {
  const input = event.target.closest && event.target.closest("[data-command-relay]");
  if (input && event.key === "Enter") $('[data-command="close"]', input.closest("[data-card]")).click();
});

poll();
