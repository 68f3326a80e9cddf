// SPDX-License-Identifier: Apache-2.0
// statsweb's page in a real browser: the system's Chromium driven by puppeteer-core, against one
// statsweb on loopback over a statsgen data file. One run checks: no console error and no failed
// request; 12 interactive charts drawn; the readout at a chosen slot equals statsdump's table
// for every chart; a drag zooms every chart to the same narrower window, a refresh keeps it and
// a double click returns; a failed reload shows in the warning band at the next refresh and
// goes again; /view's HTML table holds /table's rows newest first, and the downloads
// carry file names; with JavaScript off the 12 PNGs decode; a phone-sized window has no
// sideways scrolling. It saves screenshots of the overview and of /view (light and dark) into
// ZEL_SCREENSHOTS (a folder) when that is set, and prints the time to the first chart.
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
let puppeteer;
try {
  puppeteer = require('puppeteer-core');
} catch (e) {
  console.log('SKIPPED: puppeteer-core is not installed (tools/install-deps.sh browser)');
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
const failures = [];
function check(ok, what) {
  if (!ok) failures.push(what);
  console.log((ok ? 'ok   ' : 'FAIL ') + what);
}

function get(port, target) {
  return new Promise((resolve, reject) => {
    const req = http.get({host: '127.0.0.1', port, path: target, timeout: 10000}, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { body += c; });
      res.on('end', () => resolve({status: res.statusCode, headers: res.headers, body}));
    });
    req.on('timeout', () => req.destroy(new Error('timeout')));
    req.on('error', reject);
  });
}

// statsdump's table of one field: local seconds -> the cell's text.
function tableOf(field, range) {
  const out = execFileSync(statsdump, ['-i', file, '-f', field, '-r', String(range)], {env});
  const rows = new Map();
  for (const line of out.toString().trim().split('\n').slice(1)) {
    const [t, v] = line.split('\t');
    rows.set(Number(t), v);
  }
  return rows;
}
const sameNumber = (a, b) => Math.abs(a - b) <= 1e-6 * Math.max(1, Math.abs(b));

function startServer() {
  return new Promise((resolve, reject) => {
    const srv = spawn(statsweb, ['-i', file, '-l', '127.0.0.1:0', '-n', 'demo-cs', '-S', '0'],
                      {env, stdio: ['ignore', 'pipe', 'pipe']});
    let out = '';
    const timer = setTimeout(() => reject(new Error('statsweb did not start: ' + out)), 10000);
    srv.stdout.on('data', (c) => {
      out += c;
      const m = /listening on http:\/\/127\.0\.0\.1:(\d+)\//.exec(out);
      if (m) {
        clearTimeout(timer);
        resolve({srv, port: Number(m[1])});
      }
    });
    srv.on('exit', (code) => reject(new Error('statsweb exited ' + code + ': ' + out)));
  });
}

async function main() {
  execFileSync(statsgen, ['-o', file], {env, stdio: 'ignore'});
  const {srv, port} = await startServer();
  const base = 'http://127.0.0.1:' + port;
  const shots = process.env.ZEL_SCREENSHOTS;
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = await browser.newPage();
    const problems = [];
    page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
    page.on('pageerror', (e) => problems.push('page error: ' + e.message));
    page.on('requestfailed', (r) => problems.push('failed: ' + r.url()));
    page.on('response', (r) => { if (r.status() >= 400) problems.push(r.status() + ' ' + r.url()); });

    // The overview at a laptop's width.
    await page.setViewport({width: 1400, height: 1000});
    await page.goto(base + '/', {waitUntil: 'load'});
    await page.waitForFunction(() => document.getElementById('charts').dataset.ready,
                               {timeout: 20000});
    const first = await page.evaluate(() => Number(document.getElementById('charts').dataset.ready));
    await page.waitForNetworkIdle({idleTime: 300, timeout: 10000});
    const load = await page.evaluate(() => {
      const e = performance.getEntriesByType('navigation')
                    .concat(performance.getEntriesByType('resource'));
      return {requests: e.length, bytes: e.reduce((a, x) => a + x.transferSize, 0),
              names: e.map((x) => new URL(x.name).pathname).join(' ')};
    });
    console.log('time to first chart: ' + first.toFixed(0) + ' ms; page with its data: ' +
                load.bytes + ' bytes in ' + load.requests + ' requests (' + load.names + ')');
    const drawn = await page.evaluate(() => ({
      plots: window.statsweb.plots.length,
      canvases: document.querySelectorAll('figure.panel .uplot canvas').length,
      columns: getComputedStyle(document.getElementById('charts'))
                   .gridTemplateColumns.split(' ').length,
      header: document.querySelector('header.top').textContent,
      warn: document.querySelector('.warn').textContent,
      legends: Array.from(document.querySelectorAll('.legend .sw'))
                   .map((s) => getComputedStyle(s).backgroundImage),
    }));
    check(drawn.plots === 12 && drawn.canvases === 12, '12 interactive charts drawn');
    check(drawn.columns >= 2 && drawn.columns <= 3, 'two or three columns at 1400 px');
    check(/demo-cs/.test(drawn.header) && /2024-03-05 13:00 CET/.test(drawn.header),
          'header names the server and the newest minute with its zone');
    check(/data is old/.test(drawn.warn), 'the warning band says the data is old');
    check(drawn.legends.length > 12 && drawn.legends.every((b) => /gradient/.test(b)),
          'every legend swatch has its colours');

    // The readout at one slot, in every chart, against statsdump's table.
    const readouts = await page.evaluate(() => {
      const out = [];
      for (const p of window.statsweb.plots) {
        const u = p.u;
        const idx = u.data[0].length - 100;
        u.setCursor({left: u.valToPos(u.data[0][idx], 'x'), top: 20});
        out.push({field: p.fig.dataset.field, time: p.readout.dataset.time,
                  value: p.readout.dataset.value, text: p.readout.textContent});
      }
      return out;
    });
    let readoutsOk = readouts.length === 12;
    for (const r of readouts) {
      const want = tableOf(r.field, 0).get(Number(r.time));
      const ok = want !== undefined && want !== '-' && r.value !== undefined &&
                 sameNumber(Number(r.value), parseFloat(want));
      if (!ok) console.log('  ' + r.field + ' at ' + r.time + ': table ' + want + ', readout ' +
                           r.value + ' (' + r.text + ')');
      readoutsOk = readoutsOk && ok;
    }
    check(readoutsOk, 'the readout at a slot equals statsdump\'s table in all 12 charts');
    check(/^2024-03-05 \d\d:\d\d · user .* · system .* · total /.test(readouts[0].text),
          'the readout names the time and every series: ' + readouts[0].text);

    // A drag across the first chart zooms every chart to the same narrower window.
    const windows = () => page.evaluate(() => window.statsweb.plots.map(
        (p) => [p.u.scales.x.min, p.u.scales.x.max]));
    const before = await windows();
    const over = await page.$('figure.panel .u-over');
    const box = await over.boundingBox();
    await page.mouse.move(box.x + box.width * 0.4, box.y + box.height / 2);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.6, box.y + box.height / 2, {steps: 5});
    await page.mouse.up();
    const zoomed = await windows();
    const span = (w) => w[1] - w[0];
    check(zoomed.every((w) => span(w) < span(before[0]) * 0.5 &&
                              w[0] === zoomed[0][0] && w[1] === zoomed[0][1]),
          'a drag narrows every chart to the same window');
    const figsZoomed = await page.$eval('figure.panel dd[data-k="max"]', (d) => d.textContent);
    // A refresh keeps the zoom.
    await page.evaluate(() => window.statsweb.load());
    const refreshed = await windows();
    check(JSON.stringify(refreshed) === JSON.stringify(zoomed) &&
          await page.evaluate(() => document.getElementById('charts').dataset.loads) === '2',
          'a refresh of the data keeps the zoom');
    check(typeof figsZoomed === 'string' && figsZoomed.length > 0, 'figures of the zoomed window');
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2, {clickCount: 2});
    const back = await windows();
    check(back.every((w) => w[0] === before[0][0] && w[1] === before[0][1]),
          'a double click returns every chart to the whole window');
    // The picture: the pointer over the first chart, every chart's readout at its minute.
    await page.mouse.move(box.x + box.width * 0.7, box.y + box.height * 0.6);
    if (shots) await page.screenshot({path: path.join(shots, 'statsweb-page.png'), fullPage: true});
    await page.mouse.move(0, 0);

    // A phone's width: one column, nothing wider than the screen.
    await page.setViewport({width: 390, height: 800});
    await page.waitForFunction(() => window.statsweb.plots[0].u.width < 400, {timeout: 5000});
    const wide = await page.evaluate(() => document.documentElement.scrollWidth);
    check(wide <= 390, 'no sideways scrolling at 390 px (' + wide + ')');

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
    check(!failed.hidden && /could not be loaded again/.test(failed.load) && failed.age,
          'a failed reload shows in the band: ' + failed.load);
    fs.writeFileSync(file + '.new', good);
    fs.renameSync(file + '.new', file);
    await page.evaluate(() => window.statsweb.load());
    check(await page.$eval('.warn', (w) => !w.querySelector('p.load') && !!w.querySelector('p.age')),
          'the band drops the load message once the file loads again');

    // One field's page: the chart, and the table as /table prints it, newest first.
    await page.setViewport({width: 1280, height: 900});
    await page.goto(base + '/view?f=cpu&r=0', {waitUntil: 'load'});
    await page.waitForFunction(() => document.getElementById('charts').dataset.ready,
                               {timeout: 20000});
    const cells = await page.$$eval('table.data tbody tr',
                                    (trs) => trs.map((tr) => Array.from(tr.cells, (c) => c.textContent)));
    const tsv = await get(port, '/table?f=cpu&r=0&d=1&H=1');
    const lines = tsv.body.trim().split('\n').slice(1).reverse();
    check(cells.length === 240 && cells.every((c, i) => c.join('\t') === lines[i]),
          '/view shows /table\'s newest 240 rows, newest first');
    const links = await page.$$eval('.downloads a', (as) => as.map((a) => a.getAttribute('href')));
    const names = [];
    for (const l of links) names.push((await get(port, l)).headers['content-disposition']);
    check(JSON.stringify(names) === JSON.stringify(['attachment; filename="cpu-r0.tsv"',
                                                    'attachment; filename="cpu-r0.csv"',
                                                    'inline; filename="cpu-r0.json"']),
          'downloads carry their file names: ' + names.join(' | '));
    if (shots) {
      await page.screenshot({path: path.join(shots, 'statsweb-view.png')});
      await page.emulateMediaFeatures([{name: 'prefers-color-scheme', value: 'dark'}]);
      await page.screenshot({path: path.join(shots, 'statsweb-view-dark.png')});
    }
    check(problems.length === 0, 'no console error and no failed request' +
          (problems.length ? ': ' + problems.join('; ') : ''));

    // Without JavaScript: the PNGs, as before.
    const plain = await browser.newPage();
    await plain.setJavaScriptEnabled(false);
    await plain.goto(base + '/', {waitUntil: 'networkidle0'});
    const imgs = await plain.$$eval('img', (is) => is.map(
        (i) => i.complete && i.naturalWidth + 'x' + i.naturalHeight));
    check(imgs.length === 12 && imgs.every((s) => s === '1600x320'),
          'without JavaScript 12 PNGs decode: ' + imgs.join(' '));
  } finally {
    await browser.close();
    srv.kill('SIGTERM');
    fs.rmSync(dir, {recursive: true, force: true});
  }
}

const deadline = setTimeout(() => {
  console.log('FAIL the browser test did not finish in 90 s');
  process.exit(1);
}, 90000);
main().then(() => {
  clearTimeout(deadline);
  console.log(failures.length ? failures.length + ' checks failed' : 'all checks passed');
  process.exit(failures.length ? 1 : 0);
}, (e) => {
  clearTimeout(deadline);
  console.log('FAIL ' + (e && e.stack || e));
  process.exit(1);
});
