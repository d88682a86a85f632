// Drives the report's page in headless Chromium: the summary in the first screen; names inside
// wide bars, nested scopes on their own rows, one colour per name with a legend; click to zoom,
// zoom held to the run, offset ticks at deep zoom; substring search; the hover card; a page of two
// files (one with hostile names) with a section each; no console errors. Keeps a screenshot.
// Usage: node page_test.js PAGE_URL TWO_FILE_PAGE_URL SCREENSHOT CHROMIUM
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const puppeteer = require("puppeteer-core");

const [url, twoFiles, screenshot, executablePath] = process.argv.slice(2);
const failures = [];
const check = (condition, message) => { if (!condition) failures.push(message); };
const settle = () => new Promise(resolve => setTimeout(resolve, 100));

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "report-page-"));
  const browser = await puppeteer.launch({executablePath, headless: true, userDataDir: profile,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"]});
  const page = await browser.newPage();
  await page.setViewport({width: 1400, height: 900});
  const errors = [];
  page.on("console", m => { if (["error", "warn"].includes(m.type())) errors.push(m.text()); });
  page.on("pageerror", e => errors.push(String(e)));
  await page.goto(url, {waitUntil: "load"});

  const top = await page.$eval("#summary", e => e.getBoundingClientRect().top);
  check(top < 900, "the summary is not in the first screen (top " + top + ")");
  const view = () => page.evaluate(() => quillReport.view());
  const drawn = () => page.evaluate(() => { quillReport.record = true; draw(); return quillReport.drawn; });
  const full = await view();
  let bars = await drawn();

  // Names inside wide bars; nested scopes on rows of their own; one colour per name, in the legend.
  const named = bars.filter(b => b.spans === 1 && b.text === b.name);
  check(named.some(b => b.w > 100), "no wide bar shows its name");
  const overlapping = (a, b) => a.x < b.x + b.w && b.x < a.x + a.w;
  const item = bars.find(b => b.name === "work-item" && b.spans === 1);
  const query = item && bars.find(b => b.name === "query" && overlapping(b, item) && b.spans === 1);
  check(item && query && query.y > item.y, "query is not on a row below its work-item");
  const normal = c => page.evaluate(c => { const g = document.createElement("canvas").getContext("2d");
                                           g.fillStyle = c; return g.fillStyle; }, c);
  const fetches = bars.filter(b => b.name === "fetch");
  check(fetches.length > 1 && fetches.every(b => b.colour === fetches[0].colour), "fetch bars differ in colour");
  const key = await page.$eval('.key[data-name="fetch"] i', i => getComputedStyle(i).backgroundColor)
      .catch(() => "none");
  const rgb = await page.evaluate(c => { const d = document.createElement("div"); d.style.color = c;
                                         document.body.appendChild(d); const v = getComputedStyle(d).color;
                                         d.remove(); return v; }, fetches[0].colour);
  check(key === rgb, "the legend's fetch key is " + key + ", the bars " + rgb + " " + await normal(fetches[0].colour));

  // The hover card appears at once, naming the scope and its context.
  const box = await (await page.$("#timeline")).boundingBox();
  const wide = named.sort((a, b) => b.w - a.w)[0];
  await page.mouse.move(box.x + wide.x + wide.w / 2, box.y + wide.y + 9);
  const cardText = await page.$eval("#card", c => c.hidden ? "" : c.innerText);
  check(cardText.startsWith(wide.name) && /context \d+/.test(cardText) && /self/.test(cardText),
        "hover card: " + JSON.stringify(cardText));

  // A click zooms to the bar: it then fills the width.
  await page.mouse.click(box.x + wide.x + wide.w / 2, box.y + wide.y + 9);
  await settle();
  const zoomed = await view();
  bars = await drawn();
  check(zoomed[1] - zoomed[0] < full[1] - full[0] &&
        bars.some(b => b.name === wide.name && b.y === wide.y && b.x <= 201 && b.x + b.w >= box.width - 3),
        "a click did not zoom to the bar: " + zoomed);
  await page.mouse.click(box.x + 500, box.y + 14, {clickCount: 2});
  await settle();
  check(String(await view()) === String(full), "a double click did not reset the view");

  // Zoom and pan stay within the run; deep in it, ticks are offsets from a base shown once.
  await page.mouse.move(box.x + box.width * 0.6, box.y + 40);
  for (let i = 0; i < 20; ++i) await page.mouse.wheel({deltaY: 400});
  for (let i = 0; i < 5; ++i) await page.keyboard.press("ArrowLeft");
  check(String(await view()) === String(full), "zoom or pan left the run: " + await view());
  for (let i = 0; i < 90; ++i) await page.mouse.wheel({deltaY: -400});
  await settle();
  const deep = await view();
  const ticks = await page.evaluate(() => quillReport.ticks.map(t => t.text));
  check(deep[1] - deep[0] >= 20 && deep[0] >= full[0] && deep[1] <= full[1], "deep zoom: " + deep);
  check(ticks.length > 1 && ticks.every(t => /^\+\d+ ns$/.test(t)), "deep ticks: " + ticks.join(" | "));
  await page.keyboard.press("0");

  // Search: a substring, after a pause, highlights exactly the scopes whose name holds it.
  await page.type("#search", "etc");
  await new Promise(resolve => setTimeout(resolve, 600));
  bars = await drawn();
  const foundText = await page.$eval("#found", f => f.textContent);
  const fetchCount = await page.evaluate(() => quillReport.matchCount);
  check(/^\d+ scopes match, .*% of the time inside scopes$/.test(foundText) &&
        Number(foundText.split(" ")[0]) === fetchCount && fetchCount > 0, "search said: " + foundText);
  check(bars.every(b => b.hit === (b.name.includes("etc")) || b.spans > 1) &&
        bars.some(b => b.hit), "search did not highlight exactly the fetch scopes");
  await page.focus("#search");
  await page.keyboard.press("Enter");
  await settle();
  check((await view())[1] - (await view())[0] < full[1] - full[0], "Enter did not step to a match");
  await page.screenshot({path: screenshot, fullPage: false});

  // Two files: a section each, named; hostile names still drawn.
  await page.goto(twoFiles, {waitUntil: "load"});
  const sections = await page.evaluate(() => quillReport.sections().map(s => s.path));
  check(sections.length === 2 && sections[0] === "run.csv" && sections[1] === "hostile.csv",
        "sections: " + sections.join(", "));
  const legends = await page.$$eval(".legend", ls => ls.map(l => l.dataset.file));
  check(legends.join() === "run.csv,hostile.csv", "legends: " + legends.join());
  bars = await drawn();
  check(bars.some(b => b.name === "<!--<script>") && bars.some(b => b.name === "work-item"),
        "the hostile file's lanes are not drawn");
  await page.screenshot({path: screenshot.replace(/\.png$/, "-two.png"), fullPage: false});

  check(errors.length === 0, "console: " + errors.join("; "));
  await browser.close();
  fs.rmSync(profile, {recursive: true, force: true});
  if (failures.length) {
    console.log("FAIL: " + failures.join("\nFAIL: "));
    process.exit(1);
  }
  console.log("report page: names, rows, colours, card, click zoom, bounds, search, sections work");
})().catch(e => { console.log("FAIL: " + e); process.exit(1); });
