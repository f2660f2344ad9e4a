// The console: pages built from the operator API with DOM calls. Every text
// that comes from outside (orders, files, the log) goes in as textContent,
// never as HTML. POSTs carry the session's CSRF token.
"use strict";

const STATUS_NAMES = ["ToBeProcessed", "Processed", "ReqlinkToBeAcknowledged", "ReqlinkAcknowledged",
  "CCPaymentToBeFulfilled", "Paid", "Acknowledged", "OrderAuthorizationIssue", "OrderBillingIssue"];
const STATUS_COLOURS = ["#5b6b7f", "#3b74b8", "#7a5bb0", "#4d8a62", "#b07a1f", "#2f7d3a", "#3a8a8a", "#b8322e", "#c0392b"];
const SVG = "http://www.w3.org/2000/svg";
let csrfToken = null;

// ---- DOM -------------------------------------------------------------------

// An element with properties (className, id, type, ...) and children (nodes or texts).
function el(tag, props, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(props || {})) {
    if (value === undefined || value === null) continue;
    if (name in node && !name.startsWith("aria") && !name.startsWith("data")) node[name] = value;
    else node.setAttribute(name, value);
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

function svg(tag, attributes, ...children) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, String(value));
  for (const child of children) node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}

function text(value) { return value === null || value === undefined ? "" : String(value); }

// A detail may be a text or a structure (an export group's counts): a structure is shown as JSON.
function detailText(value) { return value !== null && typeof value === "object" ? JSON.stringify(value, null, 1) : text(value); }

function statusBadge(status, name) {
  if (status === null || status === undefined) return "";
  return el("span", { className: "status st-" + Number(status) }, text(status) + " " + text(name || STATUS_NAMES[status]));
}

function orderLink(id) { return id ? el("a", { href: "#order/" + encodeURIComponent(id) }, id) : ""; }

function table(headings, rows, id) {
  if (!rows.length) return el("p", { className: "empty" }, "Nothing to show.");
  return el("table", { id },
    el("thead", {}, el("tr", {}, headings.map((h) => el("th", { scope: "col" }, h)))),
    el("tbody", {}, rows.map((cells) => el("tr", {}, cells.map((c) => el("td", {}, c))))));
}

function errorLine(what, answer) {
  let why = answer.status === 404 ? "not available on this installation" : "HTTP " + answer.status;
  if (answer.body && answer.body.error && answer.body.error.description) why += ": " + answer.body.error.description;
  if (answer.status === 0) why = "the host did not answer";
  return el("p", { className: "error", role: "alert" }, what + ": " + why);
}

// ---- API -------------------------------------------------------------------

async function api(path, options) {
  const init = { credentials: "same-origin", headers: { Accept: "application/json" } };
  if (options && options.method) {
    init.method = options.method;
    if (csrfToken) init.headers["X-CSRF-Token"] = csrfToken;
    if (options.body !== undefined) {
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(options.body);
    }
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    return { status: 0, body: null };
  }
  if (response.status === 401) {
    window.location.assign("/login");
    return { status: 401, body: null };
  }
  let body = null;
  try { body = await response.json(); } catch (e) { body = null; }
  return { status: response.status, body };
}

function query(params) {
  const q = new URLSearchParams();
  for (const [name, value] of Object.entries(params)) {
    if (Array.isArray(value)) value.forEach((v) => q.append(name, v));
    else if (value !== "" && value !== null && value !== undefined) q.append(name, value);
  }
  const s = q.toString();
  return s ? "?" + s : "";
}

// ---- Actions (attention items, exchanges) ----------------------------------

// A button per action; each asks for the required note (and what the action needs) before it posts.
function actionButtons(actions, target, done) {
  const box = el("div", { className: "actions" });
  for (const action of actions || []) {
    const button = el("button", { type: "button" }, action);
    button.addEventListener("click", () => {
      if (box.querySelector("form")) box.querySelector("form").remove();
      box.append(actionForm(action, target, done));
      box.querySelector("form input").focus();
    });
    box.append(button);
  }
  return box;
}

function actionForm(action, target, done) {
  const n = Math.random().toString(36).slice(2);
  const note = el("input", { type: "text", id: "note-" + n, required: true, maxLength: 500 });
  const fields = [el("label", { htmlFor: "note-" + n }, "Note (required)", note)];
  let outcome = null, amount = null;
  if (action === "resolve") {
    outcome = el("select", { id: "outcome-" + n },
      el("option", { value: "captured" }, "captured"), el("option", { value: "not-captured" }, "not captured"));
    fields.push(el("label", { htmlFor: "outcome-" + n }, "Outcome", outcome));
  }
  if (action === "refund") {
    amount = el("input", { type: "text", id: "amount-" + n, inputMode: "decimal" });
    fields.push(el("label", { htmlFor: "amount-" + n }, "Amount (empty: all)", amount));
  }
  const result = el("span", { role: "status" });
  const form = el("form", { className: "action" }, fields, el("button", { type: "submit" }, "Confirm " + action), result);
  form.addEventListener("submit", async (event) => {
    event.preventDefault();
    if (!note.value.trim()) { result.textContent = "A note is required."; return; }
    const body = { note: note.value.trim() };
    if (outcome) body.outcome = outcome.value;
    if (amount && amount.value.trim()) body.amount = amount.value.trim();
    const path = target.kind === "exchange"
      ? "/api/v1/operator/exchanges/" + encodeURIComponent(target.id) + "/" + action
      : "/api/v1/operator/orders/" + encodeURIComponent(target.id) + "/" + action;
    const answer = await api(path, { method: "POST", body });
    if (answer.status === 200) { result.textContent = "Done."; if (done) done(); }
    else result.replaceChildren(errorLine(action, answer));
  });
  return form;
}

// ---- Pages -----------------------------------------------------------------

async function homePage(view) {
  view.append(el("h2", { id: "attention-heading" }, "Needs attention"));
  const attention = el("div", { id: "attention" }, el("p", { className: "empty" }, "Loading..."));
  view.append(attention);
  view.append(el("h2", {}, "Find orders"));
  const results = el("div", { id: "search-results" });
  view.append(searchForm(results), results);
  const answer = await api("/api/v1/attention");
  if (answer.status !== 200 || !answer.body) { attention.replaceChildren(errorLine("The attention list", answer)); return; }
  const items = answer.body.items || [];
  attention.replaceChildren(table(["what", "order or exchange", "status", "reason", "since", "detail", "actions"],
    items.map((item) => [item.kind, item.orderId ? orderLink(item.orderId) : text(item.exchangeId),
      statusBadge(item.status, item.statusName), text(item.reason), text(item.since), el("pre", {}, detailText(item.detail)),
      actionButtons(item.actions, item.kind === "exchange" ? { kind: "exchange", id: item.exchangeId } : { kind: "order", id: item.orderId },
        () => route())]), "attention-items"));
  if (!items.length) attention.replaceChildren(el("p", { className: "empty" }, "Nothing needs attention."));
}

function labelled(label, input) { return el("label", { htmlFor: input.id }, label, input); }

function searchForm(results) {
  const q = el("input", { type: "search", id: "q", placeholder: "order id, sales order, PO, partner" });
  const status = el("select", { id: "status" }, el("option", { value: "" }, "any"),
    STATUS_NAMES.map((name, i) => el("option", { value: String(i) }, i + " " + name)));
  const instance = el("input", { type: "text", id: "instance", inputMode: "numeric", size: 5 });
  const partner = el("input", { type: "text", id: "partner", inputMode: "numeric", size: 6 });
  const from = el("input", { type: "date", id: "from" });
  const to = el("input", { type: "date", id: "to" });
  const form = el("form", { className: "filters", role: "search" }, labelled("Search", q), labelled("Status", status),
    labelled("Instance", instance), labelled("Partner", partner), labelled("From", from), labelled("To", to),
    el("button", { type: "submit", id: "search" }, "Search"));
  const load = async (cursor, append) => {
    const params = { q: q.value.trim(), status: status.value, instance: instance.value.trim(), partner: partner.value.trim(),
      from: from.value, to: to.value, cursor };
    const answer = await api("/api/v1/operator/orders" + query(params));
    if (answer.status !== 200 || !answer.body) { results.replaceChildren(errorLine("The search", answer)); return; }
    const rows = (answer.body.orders || []).map((o) => [orderLink(o.orderId), statusBadge(o.status, o.statusName),
      text(o.partnerName || o.partnerId), text(o.instance), text(o.salesOrderNr), text(o.poNumber), text(o.orderDate),
      el("span", { className: "num" }, text(o.total) + " " + text(o.currency))]);
    const list = table(["order", "status", "partner", "instance", "sales order", "PO number", "date", "total"], rows, "orders");
    if (!append) results.replaceChildren(list); else results.append(list);
    if (answer.body.next) {
      const more = el("button", { type: "button" }, "Next page");
      more.addEventListener("click", () => { more.remove(); load(answer.body.next, true); });
      results.append(more);
    }
  };
  form.addEventListener("submit", (event) => { event.preventDefault(); load("", false); });
  load("", false);
  return form;
}

async function orderPage(view, id) {
  view.append(el("h2", {}, "Order ", id));
  const head = el("div", { id: "order" }, el("p", { className: "empty" }, "Loading..."));
  const timeline = el("div", { id: "timeline" });
  const exchanges = el("div", { id: "order-exchanges" });
  const log = el("div", { id: "order-log" });
  view.append(head, el("h2", {}, "Timeline"), timeline, el("h2", {}, "Exchanges"), exchanges, el("h2", {}, "Log"), log);
  const enc = encodeURIComponent(id);
  const [order, events, exchanged, logged] = await Promise.all([api("/api/v1/operator/orders/" + enc),
    api("/api/v1/orders/" + enc + "/events"), api("/api/v1/exchanges" + query({ order: id })),
    api("/api/v1/operator/log" + query({ order: id }))]);
  if (order.status === 200 && order.body) {
    const o = order.body;
    head.replaceChildren(el("dl", { className: "facts" },
      [["Status", statusBadge(o.status, o.statusName)], ["Partner", text(o.partnerName) + " (" + text(o.partnerId) + ")"],
        ["Instance", text(o.instance)], ["Sales order", text(o.salesOrderNr)], ["PO number", text(o.poNumber)],
        ["Order date", text(o.orderDate)], ["Total", text(o.total) + " " + text(o.currency)]]
        .map(([k, v]) => [el("dt", {}, k), el("dd", {}, v)])),
    el("h2", {}, "Addresses"),
    table(["role", "address"], (o.addresses || []).map((a) => [text(a.role),
      el("pre", {}, Object.entries(a).filter(([k]) => k !== "role").map(([k, v]) => k + ": " + text(v)).join("\n"))]), "addresses"),
    el("h2", {}, "Lines"),
    table(["line", "product", "text", "quantity", "price", "status"], (o.lines || []).map((l) => [text(l.lineNr),
      text(l.productId), text(l.text), text(l.quantity), text(l.price), statusBadge(l.status, l.statusName)]), "lines"),
    el("h2", {}, "Payments"),
    table(["kind", "time", "amount", "card", "request", "outcome"], (o.payments || []).map((p) => [text(p.kind), text(p.time),
      text(p.amount) + " " + text(p.currency), text(p.card), text(p.requestId), text(p.outcome)]), "payments"),
    // a refund credits an approved capture; the host answers 409 when nothing of it is left
    actionButtons((o.payments || []).some((p) => p.kind === "capture" && p.outcome === "approved") ? ["refund"] : [],
      { kind: "order", id }, () => route()));
  } else head.replaceChildren(errorLine("The order", order));
  if (events.status === 200 && events.body)
    timeline.replaceChildren(table(["#", "time", "line", "status", "what", "actor", "reference", "detail"],
      (events.body.events || []).map((e) => [text(e.seq), text(e.time), text(e.lineNr), statusBadge(e.statusAfter, e.statusName),
        text(e.what), text(e.actor), text(e.reference), text(e.detail)]), "events"));
  else timeline.replaceChildren(errorLine("The timeline", events));
  exchanges.replaceChildren(exchangeTable(exchanged));
  log.replaceChildren(logTable(logged));
}

function exchangeTable(answer, reload) {
  if (answer.status !== 200 || !answer.body) return errorLine("The exchanges", answer);
  return table(["time", "kind", "outcome", "instance", "orders", "file", "reference", "ms", "detail", "actions"],
    (answer.body.exchanges || []).map((x) => [text(x.time), text(x.kind), text(x.outcome), text(x.instance),
      el("span", {}, (x.orders || []).map((id) => [orderLink(id), " "])), text(x.file), text(x.reference), text(x.durationMs),
      el("pre", {}, detailText(x.detail)), actionButtons(x.actions, { kind: "exchange", id: x.id }, reload)]), "exchanges");
}

function logTable(answer) {
  if (answer.status !== 200 || !answer.body) return errorLine("The log", answer);
  return table(["time", "level", "label", "number", "text"], (answer.body.entries || []).map((e) => [text(e.time),
    text(e.level), text(e.label), text(e.number), el("pre", {}, text(e.text))]), "log-entries");
}

async function exchangesPage(view) {
  view.append(el("h2", {}, "Exchanges"));
  const kind = el("select", { id: "kind" }, el("option", { value: "" }, "any"), ["export group", "file placed",
    "confirmation file", "refused entry", "gateway request", "business object call", "broker post"]
    .map((k) => el("option", { value: k }, k)));
  const outcome = el("input", { type: "text", id: "outcome" });
  const instance = el("input", { type: "text", id: "x-instance", size: 5 });
  const order = el("input", { type: "text", id: "x-order", size: 34 });
  const since = el("input", { type: "date", id: "since" });
  const results = el("div", { id: "exchange-results" });
  const form = el("form", { className: "filters" }, labelled("Kind", kind), labelled("Outcome", outcome),
    labelled("Instance", instance), labelled("Order", order), labelled("Since", since), el("button", { type: "submit" }, "Show"));
  const load = async (cursor, append) => {
    const answer = await api("/api/v1/exchanges" + query({ kind: kind.value, outcome: outcome.value.trim(),
      instance: instance.value.trim(), order: order.value.trim(), since: since.value, cursor }));
    const list = exchangeTable(answer, () => load("", false));
    if (!append) results.replaceChildren(list); else results.append(list);
    if (answer.status === 200 && answer.body && answer.body.next) {
      const more = el("button", { type: "button" }, "Next page");
      more.addEventListener("click", () => { more.remove(); load(answer.body.next, true); });
      results.append(more);
    }
  };
  form.addEventListener("submit", (event) => { event.preventDefault(); load("", false); });
  view.append(form, results);
  load("", false);
}

async function logPage(view) {
  view.append(el("h2", {}, "Log"));
  const level = el("select", { id: "level" }, el("option", { value: "warning" }, "warnings and errors"),
    el("option", { value: "error" }, "errors"), el("option", { value: "all" }, "everything"));
  const order = el("input", { type: "text", id: "log-order", size: 34 });
  const results = el("div", { id: "log-results" });
  const form = el("form", { className: "filters" }, labelled("Level", level), labelled("Order", order),
    el("button", { type: "submit" }, "Show"));
  const load = async (cursor, append) => {
    const answer = await api("/api/v1/operator/log" + query({ level: level.value, order: order.value.trim(), cursor }));
    const list = logTable(answer);
    if (!append) results.replaceChildren(list); else results.append(list);
    if (answer.status === 200 && answer.body && answer.body.next) {
      const more = el("button", { type: "button" }, "Older entries");
      more.addEventListener("click", () => { more.remove(); load(answer.body.next, true); });
      results.append(more);
    }
  };
  form.addEventListener("submit", (event) => { event.preventDefault(); load("", false); });
  view.append(form, results);
  load("", false);
}

// Orders per day by status (stacked bars) and the batches' seconds per day, drawn with DOM calls.
function dailyChart(days) {
  const width = 1100, height = 220, left = 40, bottom = 40, barTop = 20;
  const chart = svg("svg", { class: "chart", id: "daily-chart", viewBox: `0 0 ${width} ${height}`, width, height,
    role: "img", "aria-label": "Orders per day by status, and batch seconds per day, last " + days.length + " days" });
  const totals = days.map((d) => Object.values(d.ordersByStatus || {}).reduce((a, b) => a + b, 0));
  const most = Math.max(1, ...totals);
  const longest = Math.max(1, ...days.map((d) => d.batchSeconds || 0));
  const step = (width - left - 50) / Math.max(1, days.length);
  const scale = (height - bottom - barTop) / most;
  chart.append(svg("text", { x: 4, y: 14, "font-size": 11 }, "orders: " + most + " max"),
    svg("text", { x: width - 150, y: 14, "font-size": 11, fill: "#b8322e" }, "batch seconds: " + longest.toFixed(1) + " max"));
  let line = "";
  days.forEach((d, i) => {
    const x = left + i * step;
    let y = height - bottom;
    for (const [status, count] of Object.entries(d.ordersByStatus || {}).sort((a, b) => a[0] - b[0])) {
      const h = count * scale;
      y -= h;
      chart.append(svg("rect", { x: x + 2, y, width: Math.max(1, step - 4), height: h, fill: STATUS_COLOURS[status] || "#888" },
        svg("title", {}, d.date + ": " + count + " order(s) " + (STATUS_NAMES[status] || status))));
    }
    const by = height - bottom - ((d.batchSeconds || 0) / longest) * (height - bottom - barTop);
    line += (i ? " L" : "M") + (x + step / 2).toFixed(1) + " " + by.toFixed(1);
    if (i % 5 === 0 || i === days.length - 1)
      chart.append(svg("text", { x, y: height - bottom + 14, "font-size": 10 }, d.date.slice(5)));
  });
  chart.append(svg("path", { d: line, fill: "none", stroke: "#b8322e", "stroke-width": 2 }));
  chart.append(svg("line", { x1: left, x2: width - 50, y1: height - bottom, y2: height - bottom, stroke: "#555" }));
  return chart;
}

async function batchesPage(view) {
  view.append(el("h2", {}, "Last 30 days"));
  const chart = el("div", { id: "daily" }, el("p", { className: "empty" }, "Loading..."));
  const list = el("div", { id: "batch-list" });
  const activity = el("div", { id: "activity" });
  view.append(chart, el("h2", {}, "Batches"), list, el("h2", {}, "Activity"), activity);
  const daily = await api("/api/v1/operator/daily?days=30");
  if (daily.status === 200 && daily.body) {
    chart.replaceChildren(dailyChart(daily.body.days || []),
      el("div", { className: "legend" }, STATUS_NAMES.map((name, i) => el("span", { className: "status st-" + i }, i + " " + name)),
        el("span", {}, "line: batch seconds per day")));
  } else chart.replaceChildren(errorLine("The last days", daily));
  const loadBatches = async (cursor, append) => {
    const answer = await api("/api/v1/operator/batches" + query({ cursor }));
    if (answer.status !== 200 || !answer.body) { list.replaceChildren(errorLine("The batches", answer)); return; }
    const rows = (answer.body.batches || []).map((b) => [text(b.started), text(b.ended), text(b.outcome), text(b.trigger),
      text(b.operator), text(b.seconds),
      el("pre", {}, (b.stages || []).map((s) => s.name + ": " + Object.entries(s.counts || {}).map(([k, v]) => k + " " + v).join(", ") +
        " (" + Number(s.seconds || 0).toFixed(2) + " s)").join("\n"))]);
    const t = table(["started", "ended", "outcome", "trigger", "operator", "seconds", "stages"], rows, "batches");
    if (!append) list.replaceChildren(t); else list.append(t);
    if (answer.body.next) {
      const more = el("button", { type: "button" }, "Older batches");
      more.addEventListener("click", () => { more.remove(); loadBatches(answer.body.next, true); });
      list.append(more);
    }
  };
  loadBatches("", false);
  const acts = await api("/api/v1/operator/activity");
  if (acts.status === 200 && acts.body)
    activity.replaceChildren(table(["time", "operator", "what", "detail", "request"], (acts.body.activity || []).map((a) =>
      [text(a.time), text(a.operator), text(a.what), text(a.detail), text(a.requestId)]), "activity-list"));
  else activity.replaceChildren(errorLine("The activity", acts));
}

// ---- Frame -----------------------------------------------------------------

async function route() {
  const view = document.getElementById("view");
  view.replaceChildren();
  const hash = decodeURIComponent(window.location.hash.slice(1));
  const [page, id] = hash.split("/");
  for (const a of document.querySelectorAll("header nav a"))
    if (a.getAttribute("href") === "#" + (page || "home")) a.setAttribute("aria-current", "page"); else a.removeAttribute("aria-current");
  if (page === "order" && /^[0-9A-Fa-f]{32}$/.test(id || "")) return orderPage(view, id);
  if (page === "batches") return batchesPage(view);
  if (page === "exchanges") return exchangesPage(view);
  if (page === "log") return logPage(view);
  return homePage(view);
}

async function start() {
  // /order/ID reaches the same page as #order/ID
  const path = window.location.pathname.match(/^\/order\/([0-9A-Fa-f]{32})$/);
  if (path) { window.history.replaceState(null, "", "/#order/" + path[1]); }
  const me = await api("/api/v1/operator/me");
  if (me.status === 200 && me.body) {
    csrfToken = me.body.csrfToken;
    document.getElementById("operator").textContent = text(me.body.operator);
  }
  const state = document.getElementById("batch-state");
  document.getElementById("run-batch").addEventListener("click", async () => {
    const answer = await api("/api/v1/operator/batch", { method: "POST" });
    state.textContent = answer.status === 202 ? "The batch is running; the batches page shows it when it has ended."
      : answer.status === 409 ? "a batch is already running" : "The batch could not be started (HTTP " + answer.status + ").";
  });
  document.getElementById("logout").addEventListener("click", async () => {
    await fetch("/logout", { method: "POST", credentials: "same-origin", headers: csrfToken ? { "X-CSRF-Token": csrfToken } : {} });
    window.location.assign("/login");
  });
  window.addEventListener("hashchange", route);
  route();
}

start();
