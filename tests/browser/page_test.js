// SPDX-License-Identifier: Apache-2.0
// statsweb's page in a real browser: the system's Chromium driven by puppeteer-core, against
// statsweb on loopback over statsgen data files (the one harness for the page). One run checks:
// no console error and no failed request; the page, its script, style sheet and data answered 200
// in the access log; 12 interactive charts drawn; the readout at a slot equals statsdump's table
// in every chart; each multi-series chart's bottom band has the colour of the PNG's; the newest
// slot has width; no panel moves while the pointer moves; a drag zooms every chart, a refresh
// keeps it, a double click returns; a copied URL reopens the same window; a refresh with since=
// is under 10 kB; the CSV holds the window's slots as the table; a legend entry hides and shows
// its series, across a change of colours too; with a new slot a window at the newest slot follows
// and one before it stays; event marks at statsgen's outage and disk changes; across both changes
// of daylight saving in Europe/Warsaw the JSON's timestamps never go backwards and the axis
// labels equal the table's local times; a failed reload shows in the warning band and goes; a
// page opened before the data file exists draws its charts once it appears; /view's table holds
// the table's rows newest first with the parts of a combined chart, and the downloads carry file
// names; no axe-core violation of serious or critical impact (light and dark), none of moderate
// on /view; without JavaScript every PNG decodes at its size, full width, and the texts promise
// nothing the page does not do; a phone-sized window has no sideways scrolling. It saves
// screenshots (overview light, dark and on a phone; /view light and dark) into ZEL_SCREENSHOTS (a
// folder) when that is set, and prints the time to all charts drawn and the bytes of the first
// load and of one refresh (bench/statsweb_bench.sh reads that line).
//
//   node tests/browser/page_test.js STATSWEB STATSDUMP STATSGEN
// Exit status 0 passed, 1 failed, 77 skipped (no Chromium or no puppeteer-core).
'use strict';
const {spawn, execFileSync} = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');

const SKIP = 77;
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const [statsweb, statsdump, statsgen] = process.argv.slice(2);
if (!statsweb || !statsdump || !statsgen) {
  console.error('usage: page_test.js STATSWEB STATSDUMP STATSGEN');
  process.exit(2);
}
let puppeteer, axePath;
try {
  puppeteer = require('puppeteer-core');
  axePath = require.resolve('axe-core/axe.min.js');
} catch (e) {
  console.log('SKIPPED: puppeteer-core or axe-core is not installed (tools/install-deps.sh browser)');
  process.exit(SKIP);
}
if (!fs.existsSync(chromium)) {
  console.log('SKIPPED: ' + chromium + ' is not installed');
  process.exit(SKIP);
}

// The data file's server keeps Warsaw time; statsgen merges in it, statsdump prints in it.
const env = Object.assign({}, process.env, {TZ: 'Europe/Warsaw'});
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'statsweb-browser-'));
const file = path.join(dir, 'csstats.zel');
const END = 1709640000;  // statsgen's default end: 2024-03-05 12:00 UTC
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function get(port, target) {
  return new Promise((resolve, reject) => {
    const req = http.get({host: '127.0.0.1', port, path: target, timeout: 10000}, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        const raw = Buffer.concat(chunks);
        resolve({status: res.statusCode, headers: res.headers, body: raw.toString('utf8'), raw});
      });
    });
    req.on('timeout', () => req.destroy(new Error('timeout')));
    req.on('error', reject);
  });
}

// statsdump's table of one field: local seconds -> the cell's text (with -d: the date).
function tableOf(data, field, range, extra = []) {
  const out = execFileSync(statsdump, ['-i', data, '-f', field, '-r', String(range)].concat(extra),
                           {env, maxBuffer: 1 << 26});
  return out.toString().trim().split('\n').slice(1).map((l) => l.split('\t'));
}
function cellsOf(data, field, range) {
  const plain = tableOf(data, field, range);
  const dated = tableOf(data, field, range, ['-d']);
  return new Map(plain.map((r, i) => [Number(r[0]), {value: r[1], date: dated[i][0]}]));
}
const sameNumber = (a, b) => Math.abs(a - b) <= 1e-6 * Math.max(1, Math.abs(b));

function startServer(data, extra = []) {
  return new Promise((resolve, reject) => {
    const srv = spawn(statsweb, ['-i', data, '-l', '127.0.0.1:0', '-n', 'demo-cs', '-S', '0'].concat(extra),
                      {env, stdio: ['ignore', 'pipe', 'pipe']});
    let out = '';
    srv.log = () => out;
    srv.stderr.on('data', (c) => { out += c; });
    const timer = setTimeout(() => reject(new Error('statsweb did not start: ' + out)), 10000);
    srv.stdout.on('data', (c) => {
      out += c;
      const m = /listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(out);
      if (m && !srv.port) {
        clearTimeout(timer);
        srv.port = Number(m[1]);
        resolve(srv);
      }
    });
    srv.on('exit', (code) => reject(new Error('statsweb exited ' + code + ': ' + out)));
  });
}

const ready = (page) => page.waitForFunction(
    () => document.getElementById('charts').dataset.ready, {timeout: 30000});
const windows = (page) => page.evaluate(
    () => window.statsweb.plots.map((p) => [p.u.scales.x.min, p.u.scales.x.max]));
const boxes = (page) => page.$$eval('figure.panel', (fs) => fs.map((f) => {
  const r = f.getBoundingClientRect();
  return [r.x, r.y, r.width, r.height].map(Math.round).join(',');
}).join(' '));

async function axe(page, impacts) {
  await page.addScriptTag({path: axePath});
  const found = await page.evaluate(async () => (await window.axe.run()).violations.map(
      (v) => ({id: v.id, impact: v.impact, nodes: v.nodes.length})));
  return found.filter((v) => impacts.includes(v.impact));
}

async function main() {
  execFileSync(statsgen, ['-o', file], {env, stdio: 'ignore'});
  const srv = await startServer(file, ['-v']);
  const port = srv.port;
  const base = 'http://127.0.0.1:' + port;
  const shots = process.env.ZEL_SCREENSHOTS;
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  const others = [];
  try {
    const page = await browser.newPage();
    await page.setBypassCSP(true);  // for axe-core's script only
    const problems = [];
    page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('requestfailed', (r) => problems.push('failed: ' + r.url()));
    page.on('response', (r) => { if (r.status() >= 400) problems.push(r.status() + ' ' + r.url()); });

    // The overview at a laptop's width.
    await page.setViewport({width: 1400, height: 1000});
    await page.goto(base + '/', {waitUntil: 'load'});
    await ready(page);
    const drawnAt = await page.evaluate(() => Number(document.getElementById('charts').dataset.ready));
    await page.waitForNetworkIdle({idleTime: 300, timeout: 10000});
    const load = await page.evaluate(() => {
      const e = performance.getEntriesByType('navigation')
                    .concat(performance.getEntriesByType('resource'));
      return {requests: e.length, bytes: e.reduce((a, x) => a + x.transferSize, 0),
              names: e.map((x) => new URL(x.name).pathname).join(' ')};
    });
    const drawn = await page.evaluate(() => ({
      plots: window.statsweb.plots.length,
      canvases: document.querySelectorAll('figure.panel .uplot canvas').length,
      columns: getComputedStyle(document.getElementById('charts'))
                   .gridTemplateColumns.split(' ').length,
      header: document.querySelector('header.top').textContent,
      warn: document.querySelector('.warn').textContent,
      events: document.querySelector('.events') ? document.querySelector('.events').textContent : '',
      legends: Array.from(document.querySelectorAll('.legend .sw'))
                   .map((s) => getComputedStyle(s).backgroundImage),
    }));
    check(drawn.plots === 12 && drawn.canvases === 12, '12 interactive charts drawn');
    check(drawn.columns >= 2 && drawn.columns <= 3, 'two or three columns at 1400 px');
    check(/demo-cs/.test(drawn.header) && /2024-03-05 13:00 CET/.test(drawn.header),
          'header names the server and the newest minute with its zone');
    check(/data is old/.test(drawn.warn), 'the warning band says the data is old');
    check(/2024-03-03 08:00 – 2024-03-03 11:40 no data/.test(drawn.events),
          'the outage is listed under the header: ' + drawn.events.trim());
    check(drawn.legends.length > 12 && drawn.legends.every((b) => /gradient/.test(b)),
          'every legend swatch has its colours');
    const log = srv.log();
    const served = ['/', '/statsweb.js', '/statsweb.css', '/table'].filter(
        (w) => !log.split('\n').some((l) => l.includes('"GET ' + w + '" 200 ')));
    check(served.length === 0, 'the page, script, style sheet and data answered 200 in the log' +
          (served.length ? ': missing ' + served.join(' ') : ''));

    // The readout at one slot, in every chart, against statsdump's table.
    const readouts = await page.evaluate(() => window.statsweb.plots.map((p) => {
      const u = p.u;
      const idx = u.data[0].length - 101;
      // The right half of the slot's step still names it.
      const x = (u.valToPos(u.data[0][idx], 'x') * 0.3 + u.valToPos(u.data[0][idx + 1], 'x') * 0.7);
      u.setCursor({left: x, top: 20});
      return {field: p.fig.dataset.field, time: p.readout.dataset.time,
              value: p.readout.dataset.value, text: p.readout.textContent,
              want: window.statsweb.data().lt[idx]};
    }));
    let readoutsOk = readouts.length === 12;
    for (const r of readouts) {
      const want = cellsOf(file, r.field, 0).get(Number(r.time));
      const ok = Number(r.time) === r.want && want !== undefined && want.value !== '-' &&
                 sameNumber(Number(r.value), parseFloat(want.value));
      if (!ok) console.log('  ' + r.field + ' at ' + r.time + ': table ' + (want && want.value) +
                           ', readout ' + r.value + ' (' + r.text + ')');
      readoutsOk = readoutsOk && ok;
    }
    check(readoutsOk, 'the readout of the slot under the pointer equals statsdump\'s table in all 12 charts');
    check(/^2024-03-05 \d\d:\d\d · user .* · system .* · total /.test(readouts[0].text),
          'the readout names the time and every series: ' + readouts[0].text);

    // The newest slot is drawn to its end.
    const newest = await page.evaluate(() => window.statsweb.plots.every((p) => {
      const x = p.u.data[0];
      const k = x.length - 1;
      return p.u.valToPos(x[k], 'x') - p.u.valToPos(x[k - 1], 'x') > 0.1 &&
          p.u.data.slice(1).every((s) => s[k] === s[k - 1]);
    }));
    check(newest, 'the newest slot has width in every chart');

    // Each multi-series chart's bottom band has the colour of the PNG's bottom band, at the slot
    // where that band is tallest (one PNG column per slot, the newest at the right of 1550); a
    // chart whose bottom band is empty throughout has nothing to compare.
    const bands = await page.evaluate(async () => {
      const out = [];
      for (const p of window.statsweb.plots) {
        if (p.names.length < 2) continue;
        const u = p.u;
        const parts = window.statsweb.data().series[p.fig.dataset.field];
        const bottom = parts[parts.length - 1];
        const last = u.data[0].length - 2;  // u.data[0] ends with the newest slot's end
        // Tallest with its neighbours too, so that a column either side still shows the band,
        // and 100 slots off the edges of the picture (the edge pixel blends the bands).
        const low = (i) => Math.min(bottom[i - 1], bottom[i], bottom[i + 1]);
        let k = last - 100;
        for (let i = k; i > last - 1450; i--) if (low(i) > low(k)) k = i;
        const x = Math.round((u.valToPos(u.data[0][k], 'x', true) + u.valToPos(u.data[0][k + 1], 'x', true)) / 2);
        const y = Math.round(u.bbox.top + u.bbox.height - 2);
        const ours = Array.from(u.ctx.getImageData(x, y, 1, 1).data.slice(0, 3));
        const img = new Image();
        img.src = '/chart?f=' + p.fig.dataset.field + '&r=0&x=1600&y=320';
        await img.decode();
        const c = document.createElement('canvas');
        c.width = img.width;
        c.height = img.height;
        const g = c.getContext('2d');
        g.drawImage(img, 0, 0);
        const theirs = Array.from(g.getImageData(43 + 1550 - 1 - (last - k), 6 + 300 - 2, 1, 1).data.slice(0, 3));
        // Where the bottom band has some height in both pictures.
        out.push({field: p.fig.dataset.field, ours, theirs, flat: !(low(k) > 0.03 * u.scales.y.max)});
      }
      return out;
    });
    const near = (a, b) => a.every((v, i) => Math.abs(v - b[i]) <= 24);
    const compared = bands.filter((b) => !b.flat);
    check(bands.length === 12 && compared.length >= 11 && compared.every((b) => near(b.ours, b.theirs)),
          'the bottom band of every multi-series chart has the PNG\'s colour (' + compared.length +
          ' compared; empty bottom band: ' + bands.filter((b) => b.flat).map((b) => b.field).join(' ') + ')' +
          compared.filter((b) => !near(b.ours, b.theirs)).map(
              (b) => ' ' + b.field + ' ' + b.ours + ' vs ' + b.theirs).join(''));

    // Nothing moves while the pointer moves over the charts, near a row's top too.
    const still = await boxes(page);
    const overs = await page.$$('figure.panel .u-over');
    let moved = '';
    for (const o of [overs[0], overs[4], overs[11]]) {
      const b = await o.boundingBox();
      for (const [fx, fy] of [[0.2, 0.5], [0.9, 0.05], [0.5, 0.95]]) {
        await page.mouse.move(b.x + b.width * fx, b.y + b.height * fy);
        const now = await boxes(page);
        if (now !== still) moved = now;
      }
    }
    await page.mouse.move(0, 0);
    check(moved === '', 'every panel keeps its box while the pointer moves');

    // Axis labels: ticks at the slots' own local times, as the table prints them.
    const ticks = await page.evaluate(() => window.statsweb.ticks(0));
    const cpuCells = cellsOf(file, 'cpu', 0);
    check(ticks.length >= 3 && ticks.every((t) => {
      const c = cpuCells.get(t.local);
      return c && c.date.slice(11) === t.label.split('\n')[0];
    }), 'the time axis labels equal the table\'s local times: ' +
          ticks.map((t) => t.label.replace('\n', ' ')).join(', '));

    // Event marks on every chart at the outage, with its start, once the picker shows all.
    await page.click('.picker button[data-span="0"]');
    await page.waitForFunction(() => window.statsweb.data().whole);
    const outage = END - (2 * 86400 + 5 * 3600);
    const marks = await page.$$eval('figure.panel', (fs) => fs.map((f) => Array.from(
        f.querySelectorAll('.mark'), (m) => m.dataset.kind + '@' + m.dataset.start).join(' ')));
    check(marks.length === 12 && marks.every((m) => m.includes('no_data@' + outage)),
          'every chart marks the outage at ' + outage + ': ' + marks[0]);
    await page.evaluate(() => window.statsweb.setWindow(null));

    // A drag across the first chart zooms every chart to the same narrower window.
    const before = await windows(page);
    const box = await overs[0].boundingBox();
    await page.mouse.move(box.x + box.width * 0.4, box.y + box.height / 2);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.6, box.y + box.height / 2, {steps: 5});
    await page.mouse.up();
    const zoomed = await windows(page);
    const span = (w) => w[1] - w[0];
    check(zoomed.every((w) => span(w) < span(before[0]) * 0.5 &&
                              w[0] === zoomed[0][0] && w[1] === zoomed[0][1]),
          'a drag narrows every chart to the same window');
    const figsZoomed = await page.$eval('figure.panel dd[data-k="max"]', (d) => d.textContent);
    // A refresh keeps the zoom, and asks only for the newest slots.
    await page.evaluate(() => performance.clearResourceTimings());
    await page.evaluate(() => window.statsweb.load());
    const refreshed = await windows(page);
    check(JSON.stringify(refreshed) === JSON.stringify(zoomed) &&
          await page.evaluate(() => document.getElementById('charts').dataset.loads) === '2',
          'a refresh of the data keeps the zoom');
    const refresh = await page.evaluate(() => performance.getEntriesByType('resource').map(
        (e) => ({name: e.name, bytes: e.transferSize})));
    const sinceBytes = refresh.filter((e) => /since=/.test(e.name)).reduce((a, e) => a + e.bytes, 0);
    const refreshBytes = refresh.reduce((a, e) => a + e.bytes, 0);
    check(sinceBytes > 0 && sinceBytes < 10240, 'a refresh with since= transfers ' + sinceBytes +
          ' bytes (under 10 kB) on range 0');
    check(typeof figsZoomed === 'string' && figsZoomed.length > 0, 'figures of the zoomed window');
    // The CSV of the window shown: one row a slot, its UTC start, the table's date and values.
    const csv = (await page.evaluate(async () => {
      const made = URL.createObjectURL;
      let blob = null;
      URL.createObjectURL = (b) => { blob = b; return made.call(URL, b); };
      document.querySelector('.picker button[data-act=csv]').click();
      URL.createObjectURL = made;
      return blob ? blob.text() : '';
    })).trim().split('\n').map((l) => l.split(','));
    const wantRows = await page.evaluate(() => {
      const d = window.statsweb.data();
      const [a, b] = window.statsweb.zoom();
      return d.ts.filter((t) => t >= a && t < b);
    });
    const csvBad = csv.slice(1).filter((r, i) => {
      const local = Date.parse(r[1].replace(' ', 'T') + ':00Z') / 1000;
      const c = cpuCells.get(local);
      return Number(r[0]) !== wantRows[i] || !c || c.date !== r[1] ||
             (c.value === '-' ? r[2] !== '' : !sameNumber(Number(r[2]), parseFloat(c.value)));
    });
    check(/^utc,local,"cpu","cpu:user","cpu:system","bwin"/.test(csv[0].join(',')) &&
          csv.length - 1 === wantRows.length && wantRows.length > 100 && csvBad.length === 0,
          'the CSV holds the window\'s ' + wantRows.length + ' slots with the table\'s dates and values' +
          (csvBad.length ? ': ' + csvBad[0].slice(0, 3).join(',') : ''));
    console.log('time to first chart: ' + drawnAt.toFixed(0) + ' ms (all 12 at once)');
    console.log('time to all charts drawn: ' + drawnAt.toFixed(0) + ' ms; first load: ' + load.bytes +
                ' bytes in ' + load.requests + ' requests (' + load.names + '); one refresh: ' +
                refreshBytes + ' bytes (' + sinceBytes + ' of them the slots since the last)');
    // A copied link reopens the same window.
    const link = await page.evaluate(() => location.href);
    const again = await browser.newPage();
    others.push(again);
    await again.setViewport({width: 1400, height: 1000});
    await again.goto(link, {waitUntil: 'load'});
    await ready(again);
    const reopened = await windows(again);
    check(/[?&]from=\d+&to=\d+/.test(link) &&
          reopened.every((w) => Math.abs(w[0] - zoomed[0][0]) <= 1 && Math.abs(w[1] - zoomed[0][1]) <= 1),
          'a copied URL reopens the same window: ' + link.replace(base, ''));
    await again.close();
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2, {clickCount: 2});
    const back = await windows(page);
    check(back.every((w) => w[0] === before[0][0] && w[1] === before[0][1]),
          'a double click returns every chart to the whole window');
    // The pictures: the pointer over the first chart, light, dark and on a phone.
    await page.mouse.move(box.x + box.width * 0.7, box.y + box.height * 0.6);
    if (shots) await page.screenshot({path: path.join(shots, 'statsweb-page.png')});
    const serious = ['serious', 'critical'];
    const axeLight = await axe(page, serious);
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]);
    await page.waitForFunction(() => window.statsweb.plots.length === 12);
    if (shots) {
      // The charts were made again: the pointer moves off and back for the readout to show.
      const b2 = await (await page.$('figure.panel .u-over')).boundingBox();
      await page.mouse.move(0, 0);
      await page.mouse.move(b2.x + b2.width * 0.7, b2.y + b2.height * 0.6);
      await page.screenshot({path: path.join(shots, 'statsweb-page-dark.png')});
    }
    const axeDark = await axe(page, serious);
    check(axeLight.length === 0 && axeDark.length === 0,
          'no axe-core violation of serious or critical impact, light and dark' +
          (axeLight.concat(axeDark).length ? ': ' + JSON.stringify(axeLight.concat(axeDark)) : ''));
    // A legend entry hides its series and shows it again, the same after a change to light (the
    // charts are made again): hidden, cpu's top edge is "user" alone.
    const legendState = () => page.evaluate(() => {
      const u = window.statsweb.plots[0].u;
      const k = u.data[0].length - 10;
      const s = window.statsweb.data().series.cpu;
      return [document.querySelector('figure.panel .legend li:nth-child(2) button').getAttribute('aria-pressed'),
              u.series[2].show, Math.abs(u.data[1][k] - s[0][k]) < 1e-9].join(',');
    });
    const toggles = [await legendState()];
    await page.click('figure.panel .legend li:nth-child(2) button');
    toggles.push(await legendState());
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'light'}]);
    await page.waitForFunction(() => window.statsweb.plots.length === 12);
    toggles.push(await legendState());
    await page.click('figure.panel .legend li:nth-child(2) button');
    toggles.push(await legendState());
    check(toggles.join(' ') === 'true,true,false false,false,true false,false,true true,true,false',
          'a legend entry hides and shows its series, across a change of colours: ' + toggles.join(' '));
    await page.mouse.move(0, 0);

    // A phone's width: one column, nothing wider than the screen; a finger's drag zooms.
    const phone = await browser.newPage();
    others.push(phone);
    await phone.setViewport({width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true});
    await phone.goto(base + '/', {waitUntil: 'load'});
    await ready(phone);
    const wide = await phone.evaluate(() => document.documentElement.scrollWidth);
    check(wide <= 390, 'no sideways scrolling at 390 px (' + wide + ')');
    if (shots) await phone.screenshot({path: path.join(shots, 'statsweb-phone.png')});
    const whole = await windows(phone);
    await phone.evaluate(() => document.querySelector('figure.panel .u-over').scrollIntoView());
    const tb = await (await phone.$('figure.panel .u-over')).boundingBox();
    await phone.touchscreen.touchStart(tb.x + tb.width * 0.3, tb.y + tb.height / 2);
    await phone.touchscreen.touchMove(tb.x + tb.width * 0.5, tb.y + tb.height / 2);
    await phone.touchscreen.touchMove(tb.x + tb.width * 0.7, tb.y + tb.height / 2);
    await phone.touchscreen.touchEnd();
    const touched = await windows(phone);
    check(span(touched[0]) < span(whole[0]) * 0.6, 'a finger\'s drag zooms on a phone');
    await phone.close();

    // A failed reload shows in the band at the next refresh, with the load message, and goes
    // when the file loads again; the charts keep the last good load.
    await page.setViewport({width: 1400, height: 1000});
    const good = fs.readFileSync(file);
    fs.writeFileSync(file + '.new', good.subarray(0, 1000));
    fs.renameSync(file + '.new', file);
    await page.evaluate(() => window.statsweb.load());
    const failed = await page.$eval('.warn', (w) => ({
      hidden: w.hidden, load: (w.querySelector('p.load') || {}).textContent || '',
      age: !!w.querySelector('p.age')}));
    check(!failed.hidden && /could not be loaded again.*unexpected end of file after 1000 bytes/.test(failed.load) &&
          failed.age, 'a failed reload shows in the band: ' + failed.load);
    fs.writeFileSync(file + '.new', good);
    fs.renameSync(file + '.new', file);
    await page.evaluate(() => window.statsweb.load());
    check(await page.$eval('.warn', (w) => !w.querySelector('p.load') && !!w.querySelector('p.age')),
          'the band drops the load message once the file loads again');

    // Range 1 over its whole history: marks where the disks changed, as the table shows.
    const rises = (field) => {
      let prev = null;
      const at = [];
      for (const [t, v] of tableOf(file, field, 1)) {
        if (v !== '-' && prev !== null && Number(v) > prev) at.push(Number(t) - 3600);  // CET
        if (v !== '-') prev = Number(v);
      }
      return at;
    };
    await page.goto(base + '/?r=1&from=' + (END - 17 * 86400) + '&to=' + (END + 360), {waitUntil: 'load'});
    await ready(page);
    const diskMarks = await page.$$eval('figure.panel:first-child .mark', (ms) => ms.map(
        (m) => m.dataset.kind + '@' + m.dataset.start));
    const wantMarks = rises('hdddmg').map((t) => 'disk_damaged@' + t).concat(
        rises('hddmfr').map((t) => 'disk_marked_for_removal@' + t));
    check(wantMarks.length === 2 && wantMarks.every((m) => diskMarks.includes(m)),
          'marks where a disk turned damaged and one was marked for removal: ' + wantMarks.join(' '));
    const every = await page.$eval('p.span', (p) => p.textContent.replace(/.*fetched as it begins/, ''));
    check(every === ' (every 6 minutes).', 'the page says how often range 1 fetches:' + every);

    // One field's page: the chart, and the table newest first, a combined chart with its parts.
    await page.setViewport({width: 1280, height: 900});
    await page.goto(base + '/view?f=cpu&r=0', {waitUntil: 'load'});
    await ready(page);
    const view = await page.evaluate(() => ({
      heads: Array.from(document.querySelectorAll('table.data th'), (t) => t.textContent),
      rows: Array.from(document.querySelectorAll('table.data tbody tr'),
                       (tr) => Array.from(tr.cells, (c) => c.textContent))}));
    const cpuDated = tableOf(file, 'cpu', 0, ['-d']).reverse();
    const ucpu = tableOf(file, 'ucpu', 0).reverse();
    const scpu = tableOf(file, 'scpu', 0).reverse();
    const pct = (v) => (v === '-' ? '-' : parseFloat(v).toFixed(2) + ' %');
    check(JSON.stringify(view.heads) === '["date","user","system","total"]' &&
          view.rows.length === 240 && view.rows.every((c, i) =>
            c.join('|') === [cpuDated[i][0], pct(ucpu[i][1]), pct(scpu[i][1]), pct(cpuDated[i][1])].join('|')),
          '/view shows the table\'s newest 240 rows, newest first, with the parts: ' +
          (view.rows[0] || []).join(' | '));
    const links = await page.$$eval('.downloads a', (as) => as.map((a) => a.getAttribute('href')));
    const names = [];
    for (const l of links) names.push((await get(port, l)).headers['content-disposition']);
    check(JSON.stringify(names) === JSON.stringify(['attachment; filename="cpu-r0.tsv"',
                                                    'attachment; filename="cpu-r0.csv"',
                                                    'inline; filename="cpu-r0.json"']),
          'downloads carry their file names: ' + names.join(' | '));
    if (shots) await page.screenshot({path: path.join(shots, 'statsweb-view.png')});
    const axeView = await axe(page, ['moderate', 'serious', 'critical']);
    await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]);
    await page.waitForFunction(() => window.statsweb.plots.length === 1);
    if (shots) await page.screenshot({path: path.join(shots, 'statsweb-view-dark.png')});
    const axeViewDark = await axe(page, ['moderate', 'serious', 'critical']);
    check(axeView.length === 0 && axeViewDark.length === 0, 'no axe-core violation of moderate impact or more on /view' +
          (axeView.concat(axeViewDark).length ? ': ' + JSON.stringify(axeView.concat(axeViewDark)) : ''));
    check(problems.length === 0, 'no console error and no failed request' +
          (problems.length ? ': ' + problems.join('; ') : ''));

    // Without JavaScript: every PNG decodes at the size its header gives, across the page.
    const plain = await browser.newPage();
    others.push(plain);
    await plain.setJavaScriptEnabled(false);
    await plain.setViewport({width: 1400, height: 1000});
    await plain.goto(base + '/', {waitUntil: 'networkidle0'});
    const imgs = await plain.$$eval('img', (is) => is.map((i) => ({
      src: i.getAttribute('src'), size: i.complete && i.naturalWidth + 'x' + i.naturalHeight,
      shown: Math.round(i.getBoundingClientRect().width)})));
    const sizes = [];
    for (const i of imgs) {
      const png = (await get(port, i.src)).raw;
      sizes.push(png.readUInt32BE(16) + 'x' + png.readUInt32BE(20));
    }
    check(imgs.length === 12 && imgs.every((i, k) => i.size === sizes[k] && i.shown >= 1300),
          'without JavaScript 12 PNGs decode at their size, full width: ' +
          imgs.map((i) => i.size + '@' + i.shown).join(' '));
    const text = await plain.$eval('main', (m) => m.textContent);
    check(!/drag|zoom|refresh|every minute/i.test(text),
          'without JavaScript the texts promise no zoom and no refresh');
  } finally {
    for (const p of others) await p.close().catch(() => {});
    await browser.close();
    srv.kill('SIGTERM');
  }
}

// Across both changes of daylight saving: timestamps never go backwards, and the axis labels
// are the table's local times (and the wall clock of Warsaw at the tick's UTC instant).
async function daylightSaving(browser) {
  const changes = [['spring', Date.UTC(2024, 2, 31, 1) / 1000], ['autumn', Date.UTC(2024, 9, 27, 1) / 1000]];
  const warsaw = new Intl.DateTimeFormat('en-GB', {timeZone: 'Europe/Warsaw', hour: '2-digit',
                                                   minute: '2-digit', hourCycle: 'h23'});
  for (const [name, change] of changes) {
    const data = path.join(dir, name + '.zel');
    execFileSync(statsgen, ['-o', data, '-e', String(change + 12 * 3600), '-d', '3'], {env, stdio: 'ignore'});
    const srv = await startServer(data);
    try {
      let monotonic = true;
      for (const r of [0, 1, 2]) {
        const ts = JSON.parse((await get(srv.port, '/table?format=json&f=cpu&r=' + r)).body).timestamps;
        monotonic = monotonic && ts.every((t, i) => i === 0 || t >= ts[i - 1]);
      }
      const page = await browser.newPage();
      await page.setViewport({width: 1400, height: 1000});
      await page.goto('http://127.0.0.1:' + srv.port + '/view?f=cpu&r=0&from=' + (change - 5 * 3600) +
                      '&to=' + (change + 5 * 3600), {waitUntil: 'load'});
      await ready(page);
      const ticks = await page.evaluate(() => window.statsweb.ticks(0));
      await page.close();
      const cells = cellsOf(data, 'cpu', 0);
      const bad = ticks.filter((t) => {
        const c = cells.get(t.local);
        const label = t.label.split('\n')[0];
        return !c || c.date.slice(11) !== label || warsaw.format(new Date(t.utc * 1000)) !== label;
      });
      check(monotonic && ticks.length >= 5 && bad.length === 0,
            name + ' change in Europe/Warsaw: monotonic timestamps, labels equal the table\'s local ' +
            'times: ' + ticks.map((t) => t.label.replace('\n', ' ')).join(', '));
    } finally {
      srv.kill('SIGTERM');
    }
  }
}

// When a new slot arrives, a window that ends at the newest slot moves with it and one that
// does not stays put.
async function follows(browser) {
  const data = path.join(dir, 'follow.zel');
  fs.copyFileSync(file, data);
  const srv = await startServer(data);
  const status = async () => JSON.parse((await get(srv.port, '/status')).body);
  try {
    const pages = [];
    for (const act of ['preset', 'middle']) {
      const page = await browser.newPage();
      await page.setViewport({width: 1400, height: 1000});
      await page.goto('http://127.0.0.1:' + srv.port + '/', {waitUntil: 'load'});
      await ready(page);
      if (act === 'preset') await page.click('.picker button[data-span="3600"]');
      else await page.evaluate((e) => window.statsweb.setWindow([e - 86400, e - 80000]), END);
      pages.push(page);
    }
    const before = await Promise.all(pages.map(windows));
    const generation = (await status()).generation;
    execFileSync(statsgen, ['-o', data + '.new', '-e', String(END + 60)], {env, stdio: 'ignore'});
    fs.renameSync(data + '.new', data);
    for (let i = 0; i < 100 && (await status()).generation === generation; i++) await sleep(100);
    await Promise.all(pages.map((p) => p.evaluate(() => window.statsweb.load())));
    const after = await Promise.all(pages.map(windows));
    check(after[0][0][0] === before[0][0][0] + 60 && after[0][0][1] === before[0][0][1] + 60 &&
          JSON.stringify(after[1]) === JSON.stringify(before[1]),
          'with a new slot the window at the newest slot moves 60 s, one before it stays put: ' +
          JSON.stringify([before[0][0], after[0][0], before[1][0], after[1][0]]));
    for (const p of pages) await p.close();
  } finally {
    srv.kill('SIGTERM');
  }
}

// A page opened before the data file exists: its charts come when the file does.
async function beforeTheFile(browser) {
  const later = path.join(dir, 'later.zel');
  const srv = await startServer(later);
  try {
    const page = await browser.newPage();
    await page.goto('http://127.0.0.1:' + srv.port + '/', {waitUntil: 'load'});
    await sleep(300);
    const empty = await page.evaluate(() => window.statsweb.plots.length);
    fs.copyFileSync(file, later + '.new');
    fs.renameSync(later + '.new', later);
    await ready(page);
    const plots = await page.evaluate(() => window.statsweb.plots.length);
    check(empty === 0 && plots === 12, 'a page opened before the file exists draws its charts after it appears');
    await page.close();
  } finally {
    srv.kill('SIGTERM');
  }
}

const deadline = setTimeout(() => {
  console.log('FAIL the browser test did not finish in 200 s');
  process.exit(1);
}, 200000);
main().then(async () => {
  const browser = await puppeteer.launch({executablePath: chromium, headless: true,
                                          args: ['--no-sandbox', '--disable-gpu', '--no-first-run']});
  try {
    await daylightSaving(browser);
    await follows(browser);
    await beforeTheFile(browser);
  } finally {
    await browser.close();
  }
}).then(() => {
  clearTimeout(deadline);
  fs.rmSync(dir, {recursive: true, force: true});
  console.log(failures.length ? failures.length + ' checks failed' : 'all checks passed');
  process.exit(failures.length ? 1 : 0);
}, (e) => {
  clearTimeout(deadline);
  console.log('FAIL ' + (e && e.stack || e));
  process.exit(1);
});
