// Drives the report's page in headless Chromium: the summary in the first screen, zoom by wheel
// and keyboard with round axis ticks, a group expanded into its contexts, the filter, no console
// errors; keeps a screenshot.
// Usage: node page_test.js PAGE_URL SCREENSHOT CHROMIUM
"use strict";
const puppeteer = require("puppeteer-core");

const [url, screenshot, executablePath] = process.argv.slice(2);
const failures = [];
const check = (condition, message) => { if (!condition) failures.push(message); };
const settle = () => new Promise(resolve => setTimeout(resolve, 150));

// Ticks at k * step, with step 1, 2 or 5 times a power of ten.
function round(values) {
  if (values.length < 2) return false;
  const step = values[1] - values[0];
  const mantissa = step / Math.pow(10, Math.floor(Math.log10(step) + 1e-9));
  return [1, 2, 5].some(k => Math.abs(mantissa - k) < 1e-6) &&
         values.every(v => Math.abs(v / step - Math.round(v / step)) < 1e-6);
}

(async () => {
  const browser = await puppeteer.launch({executablePath, headless: true,
                                          args: ["--no-sandbox", "--disable-gpu"]});
  const page = await browser.newPage();
  await page.setViewport({width: 1400, height: 900});
  const errors = [];
  page.on("console", m => { if (["error", "warn"].includes(m.type())) errors.push(m.text()); });
  page.on("pageerror", e => errors.push(String(e)));
  await page.goto(url, {waitUntil: "load"});

  const top = await page.$eval("#summary", e => e.getBoundingClientRect().top);
  check(top < 900, "the summary is not in the first screen (top " + top + ")");
  const range = () => page.$eval("#timeline", s => [Number(s.dataset.start), Number(s.dataset.end)]);
  const ticks = () => page.$$eval("text.tick", ts => ts.map(t => Number(t.dataset.value)));
  const labels = () => page.$$eval("text.tick", ts => ts.map(t => t.textContent));
  const full = await range();
  check(round(await ticks()), "ticks are not round: " + (await ticks()).join(" "));

  const box = await (await page.$("#timeline")).boundingBox();
  await page.mouse.move(box.x + box.width * 0.6, box.y + 12);
  for (let i = 0; i < 12; ++i) await page.mouse.wheel({deltaY: -200});
  await settle();
  const zoomed = await range();
  check(zoomed[1] - zoomed[0] < (full[1] - full[0]) / 5, "the wheel did not zoom in: " + zoomed);
  check(round(await ticks()), "ticks are not round once zoomed: " + (await ticks()).join(" "));
  check((await labels()).every(l => / (ms|µs|ns)$/.test(l)), "tick labels: " + await labels());

  await page.click("h1");
  await page.keyboard.press("-");
  await settle();
  const out = await range();
  check(out[1] - out[0] > zoomed[1] - zoomed[0], "'-' did not zoom out");
  await page.keyboard.press("0");
  await settle();
  check(String(await range()) === String(full), "'0' did not reset the view");

  const lanes = () => page.$$eval("g.lane", l => l.length);
  const before = await lanes();
  const members = await page.$eval('text.group[data-group="work-item"]',
                                   t => Number(/\((\d+)\)$/.exec(t.textContent)[1]));
  await page.click('text.group[data-group="work-item"]');
  await settle();
  check(await lanes() === before + members,
        "expanding work-item gave " + (await lanes() - before) + " lanes for " + members);

  await page.type("#filter", "fetch");
  await settle();
  const scopes = await page.$$eval("rect.scope", rs => rs.map(r => [r.dataset.name, r.classList.contains("hit")]));
  const hits = scopes.filter(s => s[1]);
  check(hits.length > 0 && hits.every(s => s[0] === "fetch") &&
        hits.length === scopes.filter(s => s[0] === "fetch").length,
        "the filter did not highlight exactly the fetch scopes");
  await page.$eval("rect.scope.hit", r => r.dispatchEvent(new MouseEvent("mouseover", {bubbles: true})));
  const tooltip = await page.$eval("rect.scope.hit title", t => t.textContent);
  check(/^fetch: [0-9.]+ ms\ncontext \d+/.test(tooltip), "tooltip: " + tooltip);

  await page.screenshot({path: screenshot, fullPage: false});
  check(errors.length === 0, "console: " + errors.join("; "));
  await browser.close();
  if (failures.length) {
    console.log("FAIL: " + failures.join("\nFAIL: "));
    process.exit(1);
  }
  console.log("report page: summary first, zoom, round ticks, groups, filter and tooltips work");
})().catch(e => { console.log("FAIL: " + e); process.exit(1); });
