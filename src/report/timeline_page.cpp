// The timeline as one self-contained page: no network, no external script or
// font, readable from file://. The rows are drawn on a canvas, only those in
// view, so that a run of tens of thousands of processes opens at once.
#include <string>

#include "report/captured.h"
#include "report/json.h"
#include "report/timeline.h"
#include "report/timeline_writers.h"

namespace {

const char PAGE_HEAD[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:">
<title>forklog timeline</title>
<style>
body{margin:0;font:13px/1.35 system-ui,sans-serif;color:#222;background:#fff;display:flex;flex-direction:column;height:100vh}
header{padding:8px 12px;border-bottom:1px solid #ccc;max-height:38vh;overflow:auto}
header h1{font-size:15px;margin:0 0 4px}
header .facts span{margin-right:18px}
header ol{margin:2px 0 6px;padding-left:22px}
header a{color:#1a56b0;text-decoration:none;font-family:monospace;white-space:pre}
header a:hover{text-decoration:underline}
.legend i{display:inline-block;width:10px;height:10px;margin:0 4px 0 12px;vertical-align:-1px}
#view{position:relative;flex:1;min-height:120px}
#scroller{position:absolute;inset:0;overflow:auto}
#chart{position:absolute;left:0;top:0;pointer-events:none}
#tip{position:fixed;display:none;background:#fffbe6;border:1px solid #b9a;padding:4px 6px;font:12px monospace;white-space:pre-wrap;max-width:70vw;pointer-events:none;word-break:break-all}
</style></head><body>
<header id="summary"></header>
<div id="view"><div id="scroller"><div id="spacer"></div></div><canvas id="chart"></canvas></div>
<div id="tip"></div>
<pre id="forklog-check" hidden></pre>
<script>
const DATA = )PAGE";

const char PAGE_TAIL[] = R"PAGE(;
</script>
<script>
"use strict";
const ROW = 18, AXIS = 22, KINDS = ["running", "replaced by an exec", "exited", "killed by a signal"];
const rows = DATA.rows, S = DATA.summary, total = Math.max(DATA.end, 0.001);
const scroller = document.getElementById("scroller"), spacer = document.getElementById("spacer");
const canvas = document.getElementById("chart"), tip = document.getElementById("tip");
const ctx = canvas.getContext("2d");
let selected = -1;

function colour(r) {
  if (r[3] === 0) return "#9a9a9a";
  if (r[3] === 1) return "#4a7bd0";
  if (r[3] === 3) return "#8a3fd1";
  return r[4] === 0 ? "#3a9a4a" : "#d33b2f";
}
function ending(r) {
  if (r[3] === 2) return "exited with status " + r[4];
  if (r[3] === 3) return "killed by signal " + r[4];
  return KINDS[r[3]];
}
function seconds(ms) { return (ms / 1000).toFixed(3) + " s"; }
function el(tag, text) { const e = document.createElement(tag); if (text !== undefined) e.textContent = text; return e; }
function link(i, text) {
  const a = el("a", text);
  a.href = "#row-" + i;
  a.addEventListener("click", ev => { ev.preventDefault(); select(i); });
  return a;
}

function summary() {
  const h = document.getElementById("summary");
  h.appendChild(el("h1", "forklog timeline"));
  const facts = el("div"); facts.className = "facts";
  facts.appendChild(el("span", S.programs + " programs ran"));
  facts.appendChild(el("span", "over " + seconds(DATA.end)));
  facts.appendChild(el("span", "at most " + S.most + " at once"));
  facts.appendChild(el("span", S.failed.length + " failed"));
  h.appendChild(facts);
  const legend = el("div"); legend.className = "legend";
  [["#3a9a4a", "status 0"], ["#d33b2f", "other status"], ["#8a3fd1", "signal"], ["#4a7bd0", "replaced by an exec"], ["#9a9a9a", "still running"]].forEach(([c, t]) => {
    const i = el("i"); i.style.background = c; legend.appendChild(i); legend.appendChild(document.createTextNode(t));
  });
  h.appendChild(legend);
  if (S.failed.length) {
    h.appendChild(el("div", "Failed:"));
    const ol = el("ol"); ol.id = "failed";
    S.failed.forEach(i => { const li = el("li"); li.appendChild(link(i, ending(rows[i]) + ": " + rows[i][6])); ol.appendChild(li); });
    h.appendChild(ol);
  }
  h.appendChild(el("div", "Longest:"));
  const ol = el("ol"); ol.id = "longest";
  S.longest.forEach(i => { const r = rows[i]; const li = el("li"); li.appendChild(link(i, seconds(r[2] - r[1]) + "  " + r[6])); ol.appendChild(li); });
  h.appendChild(ol);
}

function layout() {
  canvas.width = scroller.clientWidth * devicePixelRatio;
  canvas.height = scroller.clientHeight * devicePixelRatio;
  canvas.style.width = scroller.clientWidth + "px";
  canvas.style.height = scroller.clientHeight + "px";
  spacer.style.height = (AXIS + rows.length * ROW) + "px";
  draw();
}

function step(span) {
  const goal = span / 8, p = Math.pow(10, Math.floor(Math.log10(goal)));
  return [1, 2, 5, 10].map(m => m * p).find(s => s >= goal) || goal;
}

function draw() {
  const w = scroller.clientWidth, h = scroller.clientHeight, top = scroller.scrollTop;
  const label = Math.min(460, Math.floor(w * 0.42)), plot = Math.max(40, w - label - 44);
  ctx.setTransform(devicePixelRatio, 0, 0, devicePixelRatio, 0, 0);
  ctx.clearRect(0, 0, w, h);
  ctx.font = "12px monospace";
  ctx.textBaseline = "middle";
  const first = Math.max(0, Math.floor(top / ROW) - 1), last = Math.min(rows.length, Math.ceil((top + h) / ROW) + 1);
  for (let i = first; i < last; i++) {
    const r = rows[i], y = AXIS + i * ROW - top;
    if (y < AXIS - ROW || y > h) continue;
    if (i === selected) { ctx.fillStyle = "#ffe9a8"; ctx.fillRect(0, y, w, ROW); }
    else if (i % 2) { ctx.fillStyle = "#f6f7f9"; ctx.fillRect(0, y, w, ROW); }
    ctx.save(); ctx.beginPath(); ctx.rect(0, y, label - 6, ROW); ctx.clip();
    ctx.fillStyle = "#333";
    ctx.fillText(r[5] + " " + r[6], 6 + r[0] * 12, y + ROW / 2);
    ctx.restore();
    const x0 = label + r[1] / total * plot, x1 = label + r[2] / total * plot;
    ctx.fillStyle = colour(r);
    ctx.fillRect(x0, y + 3, Math.max(1.5, x1 - x0), ROW - 6);
  }
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, w, AXIS);
  ctx.strokeStyle = "#bbb"; ctx.fillStyle = "#555"; ctx.beginPath();
  ctx.moveTo(label, AXIS - 0.5); ctx.lineTo(label + plot, AXIS - 0.5);
  const s = step(total);
  for (let t = 0; t <= total + 1e-9; t += s) {
    const x = Math.round(label + t / total * plot) + 0.5;
    ctx.moveTo(x, AXIS - 6); ctx.lineTo(x, AXIS);
    ctx.fillText((t / 1000).toFixed(s < 1000 ? 3 : 1) + "s", x + 2, AXIS / 2);
  }
  ctx.stroke();
  ctx.fillText("process and its words (" + rows.length + ")", 6, AXIS / 2);
}

function rowAt(ev) {
  const b = scroller.getBoundingClientRect();
  const i = Math.floor((ev.clientY - b.top + scroller.scrollTop - AXIS) / ROW);
  return ev.clientY - b.top < AXIS || i < 0 || i >= rows.length ? -1 : i;
}
function describe(i) {
  const r = rows[i];
  return r[6] + "\npid " + r[5] + "   user " + r[7] + "\ndirectory " + r[8] +
    "\nfrom " + seconds(r[1]) + " for " + seconds(r[2] - r[1]) + ", " + ending(r);
}
function select(i) {
  selected = i;
  const y = AXIS + i * ROW;
  if (y < scroller.scrollTop + AXIS || y + ROW > scroller.scrollTop + scroller.clientHeight)
    scroller.scrollTop = Math.max(0, y - scroller.clientHeight / 3);
  history.replaceState(null, "", "#row-" + i);
  draw();
  const b = scroller.getBoundingClientRect();
  tip.textContent = describe(i);
  tip.style.display = "block";
  tip.style.left = (b.left + 20) + "px";
  tip.style.top = Math.min(window.innerHeight - 90, b.top + y - scroller.scrollTop + ROW + 4) + "px";
}

scroller.addEventListener("scroll", draw);
window.addEventListener("resize", layout);
scroller.addEventListener("mousemove", ev => {
  const i = rowAt(ev);
  if (i < 0) { tip.style.display = "none"; return; }
  tip.textContent = describe(i);
  tip.style.display = "block";
  tip.style.left = Math.min(ev.clientX + 14, window.innerWidth - 420) + "px";
  tip.style.top = Math.min(ev.clientY + 14, window.innerHeight - 90) + "px";
});
scroller.addEventListener("mouseleave", () => { tip.style.display = "none"; });
scroller.addEventListener("click", ev => { const i = rowAt(ev); if (i >= 0) select(i); });

summary();
layout();
const hash = /^#row-(\d+)$/.exec(location.hash);
if (hash && +hash[1] < rows.length) select(+hash[1]);
// What a test reads back through the page itself.
document.getElementById("forklog-check").textContent = JSON.stringify({
  rows: rows.map(r => ({pid: r[5], line: r[6], end: r[3], status: r[4], depth: r[0]})),
  failed: S.failed.map(i => ({pid: rows[i][5], status: rows[i][4], line: rows[i][6]})),
  links: document.querySelectorAll("#failed a").length,
  resources: performance.getEntriesByType("resource").length,
  ready_ms: performance.now()
});
</script>
</body></html>
)PAGE";

// A JSON string that is safe inside a script element: "<" as an escape, so
// that no word can end the element or open a comment.
void page_string(FILE *out, const std::string &bytes)
{
    for (char c : captured([&] { print_json_string(bytes.c_str()); })) {
        if (c == '<')
            fputs("\\u003c", out);
        else
            putc(c, out);
    }
}

double ms_from(int64_t us, int64_t start)
{
    return static_cast<double>(us - start) / 1000.0;
}

} // namespace

void write_timeline_page(FILE *out, int64_t now_us)
{
    const std::vector<timeline_row> &rows = timeline_rows();
    std::vector<int> order = timeline_order();
    timeline_summary s = timeline_summarize(now_us);
    std::vector<int> position(rows.size());
    for (size_t at = 0; at < order.size(); at++)
        position[static_cast<size_t>(order[at])] = static_cast<int>(at);
    fputs(PAGE_HEAD, out);
    fprintf(out, "{\"end\":%.3f,\"summary\":{\"programs\":%zu,\"most\":%d,\"failed\":[",
            ms_from(s.end_us, s.start_us), s.programs, s.most_at_once);
    for (size_t i = 0; i < s.failed.size(); i++)
        fprintf(out, "%s%d", i ? "," : "", position[static_cast<size_t>(s.failed[i])]);
    fputs("],\"longest\":[", out);
    for (size_t i = 0; i < s.longest.size(); i++)
        fprintf(out, "%s%d", i ? "," : "", position[static_cast<size_t>(s.longest[i])]);
    fputs("]},\"rows\":[", out);
    for (size_t at = 0; at < order.size(); at++) {
        int i = order[at];
        const timeline_row &r = rows[static_cast<size_t>(i)];
        int64_t end = r.end == image_end::running ? now_us : r.end_us;
        fprintf(out, "%s\n[%d,%.3f,%.3f,%d,%d,%d,", at ? "," : "", timeline_depth(i),
                ms_from(r.start_us, s.start_us), ms_from(end, s.start_us), static_cast<int>(r.end),
                r.status, r.pid);
        page_string(out, r.line);
        putc(',', out);
        page_string(out, r.user);
        putc(',', out);
        page_string(out, r.cwd.empty() ? "?" : r.cwd);
        putc(']', out);
    }
    fputs("]}", out);
    fputs(PAGE_TAIL, out);
}
