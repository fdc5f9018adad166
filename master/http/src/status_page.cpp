// The status page: one self-contained document (no outside script, style or font: LANs are
// often offline). It builds every cell with textContent, so a host name holding markup shows
// as text.

#include "status_render.h"

namespace {

const char PageHead[] = R"KV(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Korvel - Master</title>
<style>
body { font-family: sans-serif; margin: 1em 2em; color: #333; }
h1 { font-size: 1.3em; color: #525252; }
h2 { font-size: 1.05em; margin-top: 1.5em; }
table { border-collapse: collapse; margin-bottom: 0.5em; }
th, td { border: 1px solid #bbb; padding: 2px 8px; text-align: left; font-size: 0.9em; }
th { background: #eee; }
#state { color: #0054a8; font-size: 0.9em; }
#state.down { color: #b00; }
</style>
</head>
<body>
<h1>Active Applications</h1>
<p id="state">Loading...</p>
<table id="instances"><thead><tr><th>No</th><th>Code</th><th>Name</th><th>Start Time</th><th>Client ID</th><th>Host</th><th>Address</th></tr></thead><tbody></tbody></table>
<h2>Per application</h2>
<table id="perapp"><thead><tr><th>Code</th><th>Name</th><th>Instances</th></tr></thead><tbody></tbody></table>
<h2>Clients</h2>
<table id="clients"><thead><tr><th>Client ID</th><th>Host</th><th>Address</th><th>Last contact</th><th>Applications</th></tr></thead><tbody></tbody></table>
<h2>Daily peaks, last 30 days</h2>
<p id="peakstate">Loading...</p>
<table id="peaks"><thead><tr><th>Day</th><th>Code</th><th>Name</th><th>Peak</th><th>Instance-hours</th><th>Clients</th></tr></thead><tbody></tbody></table>
<h2>Event log (last lines)</h2>
<table id="log"><thead><tr><th>Time</th><th>Event</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
)KV";

const char PageTail[] = R"KV(
function clock(iso) {
  return typeof iso === "string" && iso.length >= 19 ? iso.substring(11, 19) : "";
}
function fill(id, rows, cells) {
  const body = document.querySelector("#" + id + " tbody");
  const fresh = document.createElement("tbody");
  for (const row of rows) {
    const tr = document.createElement("tr");
    for (const value of cells(row)) {
      const td = document.createElement("td");
      td.textContent = value === null || value === undefined ? "" : String(value);
      tr.appendChild(td);
    }
    fresh.appendChild(tr);
  }
  body.replaceWith(fresh);
}
async function getJson(path) {
  const r = await fetch(path, {cache: "no-store"});
  if (!r.ok) throw new Error(path + ": " + r.status);
  return r.json();
}
async function refresh() {
  const state = document.getElementById("state");
  try {
    const [instances, clients, log] = await Promise.all([
      getJson("api/v1/instances"), getJson("api/v1/clients"), getJson("api/v1/log?last=" + logLines)]);
    fill("instances", instances, r => [r.no, r.code, r.name, clock(r.started), r.client, r.host, r.address]);
    const perApp = new Map();
    for (const r of instances) {
      const e = perApp.get(r.code) || {code: r.code, name: r.name, n: 0};
      e.n++;
      perApp.set(r.code, e);
    }
    fill("perapp", [...perApp.values()].sort((a, b) => a.code - b.code), e => [e.code, e.name, e.n]);
    fill("clients", clients, c => [c.client, c.host, c.address, c.last_contact, c.applications]);
    fill("log", log, e => [clock(e.time), e.text]);
    state.className = "";
    state.textContent = instances.length + " instance(s), " + clients.length + " client(s); updated " +
      new Date().toLocaleTimeString();
  } catch (e) {
    state.className = "down";
    state.textContent = "The master does not answer (" + e.message + ").";
  }
  setTimeout(refresh, pollMs);
}
// The history changes slowly and its answer is kept a minute by the master: asked once a minute.
async function refreshPeaks() {
  const state = document.getElementById("peakstate");
  try {
    const r = await fetch("api/v1/history/peaks", {cache: "no-store"});
    if (r.status === 404) {
      fill("peaks", [], p => []);
      state.textContent = "History is off on this master.";
    } else {
      const answer = await r.json();
      if (!r.ok) throw new Error(answer && answer.error ? answer.error : String(r.status));
      fill("peaks", answer, p => [p.day, p.code, p.name, p.peak, p.instance_hours, p.clients]);
      state.textContent = answer.length ? "" : "No application ran in these days.";
    }
  } catch (e) {
    state.textContent = "The daily peaks cannot be read (" + e.message + ").";
  }
  setTimeout(refreshPeaks, 60000);
}
refresh();
refreshPeaks();
</script>
</body>
</html>
)KV";

} // namespace

QByteArray RenderPage(int pollMs)
{
    return QByteArray(PageHead) + "const pollMs = " + QByteArray::number(pollMs) +
           ";\nconst logLines = 200;\n" + QByteArray(PageTail);
}
