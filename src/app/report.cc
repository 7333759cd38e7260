#include "app/report.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/common/variant.h"

namespace testqav {

namespace {

using Json = nlohmann::ordered_json;

const char* KindName(ListKind kind) {
  return kind == ListKind::kQueryBased ? "query-based list" : "list";
}

// A dump as its header and rows of cells, decoded as ParseDump decodes them.
Json DumpTable(const std::string& csv) {
  Json table;
  Json header = Json::array();
  Json rows = Json::array();
  const std::vector<DumpRow> parsed = ParseDump(csv);
  if (!csv.empty()) {
    for (const std::string& h : Split(csv.substr(0, csv.find("\r\n")), ",")) header.push_back(h);
  }
  for (const DumpRow& row : parsed) {
    Json cells = Json::array();
    for (const auto& h : header) {
      auto it = row.find(h.get<std::string>());
      cells.push_back(it == row.end() ? "" : it->second);
    }
    rows.push_back(std::move(cells));
  }
  table["header"] = std::move(header);
  table["rows"] = std::move(rows);
  return table;
}

Json ReportData(const ProvenanceRecorder& recorder,
                const std::map<std::string, std::string>& dumps) {
  Json data;
  Json figures;
  int added = 0, duplicates = 0, unusable = 0;
  for (const auto& r : recorder.registrations) {
    added += r.outcome == "added" ? 1 : 0;
    duplicates += r.outcome == "duplicate" ? 1 : 0;
    unusable += r.outcome == "unusable" ? 1 : 0;
  }
  figures["registrations read"] = recorder.registrations.size();
  figures["records"] = added;
  figures["duplicates"] = duplicates;
  figures["unusable rows"] = unusable;
  figures["MCLs parsed"] = recorder.mcls.size();
  figures["MCLs passed over"] = recorder.passed_over.size();
  data["figures"] = std::move(figures);

  std::map<std::string, int> gal;
  for (const auto& [smtp, fields] : recorder.gal_fields) {
    for (const std::string& f : fields) ++gal[f];
  }
  data["gal_fields"] = gal;

  Json mcls = Json::array();
  for (const auto& m : recorder.mcls) {
    int records = 0, appended = 0, expanded = 0, refused = 0, unresolved = 0;
    std::set<std::string> contacts;
    for (const auto& e : recorder.contacts) {
      if (e.mclid != m.id) continue;
      if (e.outcome == "added") ++records;
      if (e.outcome == "appended") ++appended;
      if (e.outcome == "expanded") ++expanded;
      if (e.outcome == "refused") ++refused;
      if (e.outcome == "unresolved") ++unresolved;
      if (e.outcome == "added" || e.outcome == "appended" || e.outcome == "again") {
        contacts.insert(FoldCase(e.contact.smtp.empty() ? e.contact.odn : e.contact.smtp));
      }
    }
    int sources = 0;
    for (const std::string& piece : Split(m.source, ";")) sources += piece.empty() ? 0 : 1;
    mcls.push_back({{"id", m.id},
                    {"subject", m.subject},
                    {"target", m.target},
                    {"sources", sources},
                    {"unresolved", unresolved},
                    {"records added", records},
                    {"identifiers appended", appended},
                    {"contacts", contacts.size()},
                    {"lists expanded", expanded},
                    {"refused repeats", refused}});
  }
  data["mcls"] = std::move(mcls);
  Json passed = Json::array();
  for (const auto& [subject, why] : recorder.passed_over) {
    passed.push_back({{"subject", subject}, {"why", why}});
  }
  data["passed_over"] = std::move(passed);

  Json regs = Json::array();
  for (const auto& r : recorder.registrations) {
    Json j = {{"outcome", r.outcome}, {"pin", r.source.pin}, {"topic", r.source.topic},
              {"smtp", r.smtp},       {"odn", r.odn},        {"existing", r.existing_smtp},
              {"field", r.field},     {"why", r.why}};
    j["modified"] = r.source.has_modified ? FormatGeneralDate(r.source.modified) : "";
    regs.push_back(std::move(j));
  }
  data["registrations"] = std::move(regs);
  Json events = Json::array();
  for (const auto& e : recorder.contacts) {
    Json path = Json::array();
    for (const PathStep& p : e.path) {
      path.push_back({{"kind", KindName(p.kind)},
                      {"name", p.name.empty() ? p.smtp : p.name},
                      {"filter", p.filter}});
    }
    events.push_back({{"mcl", e.mclid},
                      {"outcome", e.outcome},
                      {"name", e.contact.name},
                      {"smtp", e.contact.smtp},
                      {"odn", e.contact.odn},
                      {"why", e.why},
                      {"filter", e.filter},
                      {"path", std::move(path)}});
  }
  data["events"] = std::move(events);
  Json sets = Json::object();
  for (const char* name : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
    auto it = dumps.find(name);
    sets[name] = DumpTable(it == dumps.end() ? std::string() : it->second);
  }
  data["datasets"] = std::move(sets);
  return data;
}

// The page. The data goes where the marker is; everything else is fixed.
const char kTemplate[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>testqav run report</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:0 2em 3em;color:#222}
h1{font-size:1.5em}h2{font-size:1.2em;margin-top:1.6em;border-bottom:1px solid #ccc}
.figs{display:flex;flex-wrap:wrap;gap:.8em}.fig{background:#f3f5f8;border-radius:6px;padding:.5em 1em}
.fig b{display:block;font-size:1.4em}
table{border-collapse:collapse;font-size:12px}td,th{border:1px solid #ddd;padding:2px 6px;text-align:left;white-space:nowrap}
th{background:#eef}tr.sel td{background:#ffd}.wrap{max-height:28em;overflow:auto;border:1px solid #ccc}
input{font-size:14px;padding:3px 6px;margin:.4em 0;width:24em}
.prov{background:#fafafa;border:1px solid #ccc;padding:.6em 1em;margin-top:.6em;white-space:pre-wrap;font-family:monospace;font-size:12px}
svg text{font-size:11px}
</style></head><body>
<h1>testqav run report</h1>
<div class="figs" id="figures"></div>
<h2>Contacts per MCL</h2><div id="mclchart"></div>
<h2>Records per data set</h2><div id="setchart"></div>
<h2>MCLs</h2><div class="wrap" id="mcltable"></div>
<h2>GAL fields filled</h2><div id="galtable"></div>
<h2>Data sets</h2><div id="sets"></div>
<script id="data" type="application/json">@DATA@</script>
<script>
"use strict";
const D = JSON.parse(document.getElementById("data").textContent);
function el(tag, attrs, text) {
  const e = document.createElement(tag);
  for (const k in attrs || {}) e.setAttribute(k, attrs[k]);
  if (text !== undefined) e.textContent = text;
  return e;
}
function table(header, rows) {
  const t = el("table"), h = el("tr");
  header.forEach(c => h.appendChild(el("th", {}, c)));
  t.appendChild(h);
  rows.forEach(r => { const tr = el("tr"); r.forEach(c => tr.appendChild(el("td", {}, String(c)))); t.appendChild(tr); });
  return t;
}
function bars(target, items) {
  const ns = "http://www.w3.org/2000/svg", w = 640, bh = 20, left = 260;
  const max = Math.max(1, ...items.map(i => i[1]));
  const svg = document.createElementNS(ns, "svg");
  svg.setAttribute("width", w); svg.setAttribute("height", items.length * (bh + 4) + 4);
  items.forEach((it, i) => {
    const y = i * (bh + 4) + 2;
    const label = document.createElementNS(ns, "text");
    label.setAttribute("x", 0); label.setAttribute("y", y + 14); label.textContent = it[0].slice(0, 40);
    const r = document.createElementNS(ns, "rect");
    r.setAttribute("x", left); r.setAttribute("y", y); r.setAttribute("height", bh);
    r.setAttribute("width", Math.max(1, (w - left - 60) * it[1] / max)); r.setAttribute("fill", "#4a7bd0");
    const v = document.createElementNS(ns, "text");
    v.setAttribute("x", left + (w - left - 60) * it[1] / max + 4); v.setAttribute("y", y + 14); v.textContent = it[1];
    svg.appendChild(label); svg.appendChild(r); svg.appendChild(v);
  });
  document.getElementById(target).appendChild(svg);
}
const figs = document.getElementById("figures");
for (const k in D.figures) { const f = el("div", {class: "fig"}); f.appendChild(el("b", {}, D.figures[k])); f.appendChild(document.createTextNode(k)); figs.appendChild(f); }
bars("mclchart", D.mcls.map(m => ["#" + m.id + " " + m.subject, m.contacts]));
bars("setchart", Object.keys(D.datasets).map(k => [k, D.datasets[k].rows.length]));
const mk = ["id", "subject", "target", "sources", "unresolved", "records added", "identifiers appended", "contacts", "lists expanded", "refused repeats"];
document.getElementById("mcltable").appendChild(table(mk, D.mcls.map(m => mk.map(k => m[k]))));
document.getElementById("galtable").appendChild(table(["field", "records filled"], Object.entries(D.gal_fields)));
function names(header, row) {
  const out = new Set();
  header.forEach((h, i) => {
    if (h === "SMTP" || h === "ODN") { if (row[i]) out.add(row[i].toLowerCase()); }
    if (h === "Proxies" || h === "X500Proxies") row[i].split(";").forEach(p => { if (p) out.add(p.toLowerCase()); });
  });
  return out;
}
function provenance(header, row) {
  const n = names(header, row), lines = [];
  const has = t => t && n.has(t.toLowerCase());
  D.registrations.filter(r => has(r.smtp) || has(r.odn)).forEach(r => {
    let l = "registration PIN " + r.pin + ", topic \"" + r.topic + "\", last modified " + (r.modified || "unknown") + ": ";
    if (r.outcome === "added") l += "made the record";
    else if (r.outcome === "duplicate") l += "skipped, a duplicate of " + r.existing + " found through " + r.field;
    else l += "skipped, " + r.why;
    lines.push(l);
  });
  D.events.filter(e => has(e.smtp) || has(e.odn)).forEach(e => {
    const m = D.mcls.find(x => x.id === e.mcl);
    let l = "MCL \"" + (m ? m.subject : "") + "\" #" + e.mcl;
    e.path.forEach(p => { l += " -> " + p.kind + " \"" + p.name + "\"" + (p.filter ? " (filter " + p.filter + ")" : ""); });
    l += " -> \"" + (e.name || e.smtp) + "\": " + e.outcome + (e.why ? " (" + e.why + ")" : "");
    if (m && (e.outcome === "added" || e.outcome === "appended")) l += "; target " + m.target;
    lines.push(l);
  });
  return lines.length ? lines.join("\n") : "nothing recorded for this record";
}
const sets = document.getElementById("sets");
for (const name in D.datasets) {
  const set = D.datasets[name];
  sets.appendChild(el("h3", {}, name + " (" + set.rows.length + " records)"));
  const search = el("input", {type: "search", placeholder: "search " + name, "data-set": name});
  const wrap = el("div", {class: "wrap"}), prov = el("div", {class: "prov"}, "choose a record to see its provenance");
  const t = table(set.header, set.rows);
  t.setAttribute("data-set", name);
  wrap.appendChild(t);
  const trs = Array.from(t.querySelectorAll("tr")).slice(1);
  const texts = set.rows.map(r => r.join("\u0001").toLowerCase());
  search.addEventListener("input", () => {
    const q = search.value.toLowerCase();
    trs.forEach((tr, i) => { tr.style.display = !q || texts[i].includes(q) ? "" : "none"; });
  });
  trs.forEach((tr, i) => tr.addEventListener("click", () => {
    trs.forEach(x => x.classList.remove("sel")); tr.classList.add("sel");
    prov.textContent = provenance(set.header, set.rows[i]);
  }));
  sets.appendChild(search); sets.appendChild(wrap); sets.appendChild(prov);
}
</script></body></html>
)PAGE";

}  // namespace

std::string RenderReport(const ProvenanceRecorder& recorder,
                         const std::map<std::string, std::string>& dumps) {
  std::string data =
      ReportData(recorder, dumps).dump(-1, ' ', false, Json::error_handler_t::replace);
  // Inside a script element "</" would end it early.
  std::string safe;
  safe.reserve(data.size());
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '<' && i + 1 < data.size() && data[i + 1] == '/') {
      safe += "<\\/";
      ++i;
    } else {
      safe += data[i];
    }
  }
  std::string page = kTemplate;
  const size_t at = page.find("@DATA@");
  page.replace(at, 6, safe);
  return page;
}

Status WriteReport(const std::string& path, const ProvenanceRecorder& recorder,
                   const std::map<std::string, std::string>& dumps) {
  const std::string page = RenderReport(recorder, dumps);
  const std::string temp = path + ".tmp";
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  out << page;
  out.close();
  if (!out || std::rename(temp.c_str(), path.c_str()) != 0) {
    std::remove(temp.c_str());
    return Status(err::kDiskError, "cannot write the report " + path);
  }
  return Status::Ok();
}

}  // namespace testqav
