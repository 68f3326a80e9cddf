// SPDX-License-Identifier: Apache-2.0
// statsweb's page script. It draws the page's charts again from /table?format=json with uPlot,
// as the PNGs draw them (the same stack order and colours; the newest slot to its end), and
// adds: a readout of the slot under the pointer; drag (or a finger's drag) to zoom every chart,
// double click to return; a time picker over the whole history of the range (presets, from and
// to) whose window lives in the URL (r=, from=, to= in UTC seconds); a window that ends at the
// newest slot follows new data; a pause for the refresh; series turned off and on from the
// legend; the window as CSV; marks for what happened (from /status). It refreshes by asking
// only for the slots newer than the ones it has (since=), and only when a new slot began.
// Without it the page shows the PNGs of /chart.
(() => {
  'use strict';
  document.documentElement.classList.remove('nojs');
  const grid = document.getElementById('charts');
  if (!grid || typeof uPlot !== 'function') return;
  const range = Number(grid.dataset.range);
  const windowSlots = Number(grid.dataset.slots);
  const single = grid.classList.contains('single');
  const panels = Array.from(grid.querySelectorAll('figure.panel'));
  const fields = panels.map((p) => p.dataset.field);
  const header = document.querySelector('header.top');
  const staleAfter = Number(header && header.dataset.stale);
  const futureAfter = Number(header && header.dataset.future);
  const plots = [];        // one per panel: {fig, u, unit, scale, names, colors, readout, hidden}
  let data = null;         // the slots held: {ts, lt, step, values, series, whole}
  let view = null;         // [from, to] in UTC seconds, null for the newest windowSlots slots
  let follow = true;       // the window ends at the newest slot and moves with it
  let paused = false;
  let passing = false;     // a scale change being passed on to the other charts
  let events = [];
  let timer = null;
  // The series hidden from the legend, per panel: kept when a chart is made again (dark/light).
  const hiddenOf = new Map(panels.map((fig) => [fig, new Set()]));
  const refreshMs = 60000;
  const waitMs = 5000;     // while there is no data yet

  const prefixes = ['', 'k', 'M', 'G', 'T', 'P', 'E'];
  // A number in its unit, as the page's figures show it: "48.87 %", "1.23 Mbit/s".
  function valueText(v, unit) {
    if (v === null || v === undefined) return '–';
    if (unit === '%') return v.toFixed(2) + ' %';
    let k = 0;
    let x = v;
    while (Math.abs(x) >= 999.995 && k + 1 < prefixes.length) {
      x /= 1000;
      k++;
    }
    let s;
    if (k === 0 && Number.isInteger(x)) s = String(x);
    else if (k === 0 && Math.abs(x) < 1) s = String(Number(x.toPrecision(3)));
    else s = x.toFixed(2);
    return s + (k > 0 || unit ? ' ' : '') + prefixes[k] + unit;
  }
  // An axis label with its unit: three digits at most ("300 MB", "1.5 kbit/s", "40 %").
  function axisText(v, unit) {
    if (unit === '%') return Number(v.toPrecision(3)) + ' %';
    let k = 0;
    let x = v;
    while (Math.abs(x) >= 1000 && k + 1 < prefixes.length) {
      x /= 1000;
      k++;
    }
    const u = prefixes[k] + unit;
    return String(Number(x.toPrecision(3))) + (u ? ' ' + u : '');
  }
  const pad = (n) => String(n).padStart(2, '0');
  // Local seconds of the store (its wall clock read as UTC) as "YYYY-MM-DD HH:MM".
  function dateText(local) {
    const d = new Date(local * 1000);
    return d.getUTCFullYear() + '-' + pad(d.getUTCMonth() + 1) + '-' + pad(d.getUTCDate()) +
        ' ' + pad(d.getUTCHours()) + ':' + pad(d.getUTCMinutes());
  }

  // ---- the slots held ----------------------------------------------------------------------

  const n = () => data.ts.length;
  // The end of the newest slot: the right edge of every chart.
  const end = () => data.ts[n() - 1] + data.step;
  // The last slot that starts at or before t (0 before the first).
  function slotAt(t) {
    let a = 0;
    let b = n() - 1;
    while (a < b) {
      const m = (a + b + 1) >> 1;
      if (data.ts[m] <= t) a = m;
      else b = m - 1;
    }
    return a;
  }
  // Local seconds of a UTC instant, from the slot it falls in.
  function localOf(t) {
    const i = slotAt(t);
    return data.lt[i] + (t - data.ts[i]);
  }
  // The UTC instant of local seconds, from the slot that shows them.
  function utcOf(local) {
    let i = 0;
    while (i + 1 < n() && data.lt[i + 1] <= local) i++;
    return data.ts[i] + (local - data.lt[i]);
  }
  function defaultWindow() {
    const first = Math.max(0, n() - windowSlots);
    return [data.ts[first], end()];
  }
  const shownWindow = () => view || defaultWindow();

  // The JSON table into the slots held: a whole answer replaces them, a since= answer replaces
  // the slots from its first one on and appends the rest (at most 4096 are kept).
  function merge(fresh, since) {
    const take = (old, add, keep) => old.slice(0, keep).concat(add);
    if (since === undefined || !data) {
      data = {ts: fresh.timestamps, lt: fresh.local_timestamps, step: fresh.step,
              values: fresh.values, series: fresh.series, whole: !!(data && data.whole)};
      return;
    }
    let keep = n();
    while (keep > 0 && data.ts[keep - 1] > since) keep--;
    data.ts = take(data.ts, fresh.timestamps, keep);
    data.lt = take(data.lt, fresh.local_timestamps, keep);
    for (const f of fields) {
      data.values[f] = take(data.values[f], fresh.values[f], keep);
      if (data.series[f]) data.series[f] = data.series[f].map((s, k) => take(s, fresh.series[f][k], keep));
    }
    const drop = n() - 4096;
    if (drop > 0) {
      data.ts = data.ts.slice(drop);
      data.lt = data.lt.slice(drop);
      for (const f of fields) {
        data.values[f] = data.values[f].slice(drop);
        if (data.series[f]) data.series[f] = data.series[f].map((s) => s.slice(drop));
      }
    }
  }

  // The stacked parts of a field, bottom first (the PNG stands the last source on the axis).
  function partsOf(field) {
    const s = data.series && data.series[field];
    return s ? s.slice().reverse() : [data.values[field]];
  }

  // uPlot's data of a chart: x, then the running sums from the top one down (each lower band is
  // painted over the one above it), with one more point at the end of the newest slot so that
  // it is drawn to its end. A hidden series adds nothing.
  function plotData(p) {
    const parts = partsOf(p.fig.dataset.field);
    const count = parts.length;
    const len = n();
    const sums = parts.map(() => new Array(len + 1));
    for (let i = 0; i < len; i++) {
      let any = false;
      let acc = 0;
      parts.forEach((part, b) => {
        const v = part[i];
        if (v !== null) any = true;
        if (v !== null && !p.hidden.has(count - 1 - b)) acc += v;
        sums[b][i] = acc;
      });
      if (!any) sums.forEach((s) => { s[i] = null; });
    }
    sums.forEach((s) => { s[len] = s[len - 1]; });
    return [data.ts.concat([end()])].concat(sums.reverse());
  }

  // ---- the time axis: ticks at round local times of the slots themselves -------------------

  const tickSteps = [60, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400,
                     2 * 86400, 7 * 86400, 14 * 86400];
  const monthSteps = [1, 2, 3, 6, 12, 24, 60];
  function isTick(local, step, months) {
    if (months) {
      const d = new Date(local * 1000);
      return local % 86400 === 0 && d.getUTCDate() === 1 &&
          (d.getUTCFullYear() * 12 + d.getUTCMonth()) % months === 0;
    }
    if (step >= 86400) return local % 86400 === 0 && (local / 86400) % (step / 86400) === 0;
    return local % step === 0;
  }
  // The slots that carry a tick in the window shown, by the chart's width.
  function tickRows(u) {
    if (!data) return [];
    const {min, max} = u.scales.x;
    const want = Math.max(2, Math.floor(u.bbox.width / devicePixelRatio / 70));
    const a = slotAt(min);
    const b = slotAt(max);
    const span = max - min;
    let step = tickSteps.find((s) => s >= data.step && span / s <= want);
    let months = 0;
    if (step === undefined) months = monthSteps.find((m) => span / (m * 30.44 * 86400) <= want) || 120;
    const rows = [];
    for (let i = a; i <= b; i++) {
      // A slot the clock skipped (no width) carries no tick: the next slot starts there too.
      const skipped = i + 1 < n() && data.ts[i + 1] === data.ts[i];
      if (data.ts[i] >= min && data.ts[i] <= max && !skipped && isTick(data.lt[i], step, months)) {
        rows.push(i);
      }
    }
    return rows;
  }
  // Each tick's label from its slot's own local time: hours and minutes with the date where
  // it changes, dates with the year where it changes, months.
  function tickLabel(rows, k) {
    const lt = data.lt[rows[k]];
    const prev = k > 0 ? dateText(data.lt[rows[k - 1]]) : '';
    const d = dateText(lt);
    const span = rows.length > 1 ? data.lt[rows[rows.length - 1]] - data.lt[rows[0]] : 0;
    if (span > 400 * 86400) return d.slice(0, 7);
    if (rows.length > 1 && data.lt[rows[1]] - data.lt[rows[0]] >= 86400) {
      return d.slice(5, 10) + (d.slice(0, 4) !== prev.slice(0, 4) ? '\n' + d.slice(0, 4) : '');
    }
    return d.slice(11) + (d.slice(0, 10) !== prev.slice(0, 10) ? '\n' + d.slice(5, 10) : '');
  }
  function ticksOf(p) {
    const rows = tickRows(p.u);
    return rows.map((i, k) => ({utc: data.ts[i], local: data.lt[i], label: tickLabel(rows, k)}));
  }

  // ---- drawing -----------------------------------------------------------------------------

  const css = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();

  // A vertical gradient over the plot area: the renderer shades by the row of the picture.
  function fillOf(bottom, top) {
    return (u) => {
      const b = u.bbox;
      const g = u.ctx.createLinearGradient(0, b.top + b.height, 0, b.top);
      g.addColorStop(0, bottom);
      g.addColorStop(1, top);
      return g;
    };
  }

  // A colour halfway to white: "#2386b4" -> "#91c3da".
  function lighter(hex) {
    const v = parseInt(hex.slice(1), 16);
    const c = [16, 8, 0].map((sh) => Math.round((((v >> sh) & 255) + 255) / 2));
    return '#' + c.map((x) => x.toString(16).padStart(2, '0')).join('');
  }

  // The figures over the complete slots of the window (the newest slot is still filling).
  function updateFigures(p) {
    const [from, to] = [p.u.scales.x.min, p.u.scales.x.max];
    const vals = data.values[p.fig.dataset.field];
    let count = 0, sum = 0, min = 0, max = 0, last = null;
    for (let i = slotAt(from); i < n() - 1 && data.ts[i] < to; i++) {
      const v = vals[i];
      if (v === null || data.ts[i] < from) continue;
      if (count === 0 || v < min) min = v;
      if (count === 0 || v > max) max = v;
      sum += v;
      count++;
      last = v;
    }
    const shown = {last, min, avg: count ? sum / count : 0, max};
    p.fig.querySelectorAll('dd[data-k]').forEach((dd) => {
      dd.textContent = count ? valueText(shown[dd.dataset.k] * p.scale, p.unit) : '–';
    });
  }

  function showReadout(p, idx) {
    const r = p.readout;
    if (idx === null || idx === undefined || !data || idx >= n()) {
      r.textContent = '\u00a0';
      delete r.dataset.value;
      delete r.dataset.time;
      return;
    }
    const field = p.fig.dataset.field;
    const total = data.values[field][idx];
    const sc = (v) => (v === null ? null : v * p.scale);
    let text = dateText(data.lt[idx]) + (idx === n() - 1 ? ' (filling)' : '');
    if (data.series[field]) {
      data.series[field].forEach((s, k) => {
        text += ' · ' + (p.names[k] || 'series ' + (k + 1)) + ' ' + valueText(sc(s[idx]), p.unit);
      });
      text += ' · total ' + valueText(sc(total), p.unit);
    } else {
      text += ' · ' + valueText(sc(total), p.unit);
    }
    r.textContent = text;
    r.dataset.value = total === null ? '' : String(total);
    r.dataset.time = String(data.lt[idx]);
  }

  // Marks on the time axis for what happened, as elements over the plot.
  function drawMarks(p) {
    const u = p.u;
    u.over.querySelectorAll('.mark').forEach((m) => m.remove());
    for (const e of events) {
      if (e.end <= u.scales.x.min || e.start >= u.scales.x.max) continue;
      const a = Math.max(0, u.valToPos(e.start, 'x'));
      const b = Math.min(u.over.clientWidth, u.valToPos(e.end, 'x'));
      const m = document.createElement('div');
      m.className = 'mark ' + e.kind;
      m.dataset.kind = e.kind;
      m.dataset.start = String(e.start);
      m.style.left = a + 'px';
      m.style.width = Math.max(2, b - a) + 'px';
      m.title = eventText(e) + ' ' + dateText(localOf(e.start));
      u.over.appendChild(m);
    }
  }

  // Every chart shows the same window: a zoom of one is passed on to the others.
  function onScale(u, key) {
    if (key !== 'x' || !data) return;
    const {min, max} = u.scales.x;
    if (!passing) {
      passing = true;
      const [a, b] = defaultWindow();
      view = Math.abs(min - a) < 1 && Math.abs(max - b) < 1 ? null : [Math.round(min), Math.round(max)];
      follow = !view || view[1] >= end();
      for (const p of plots) {
        if (p.u !== u) p.u.setScale('x', {min, max});
      }
      passing = false;
      saveState();
    }
    const p = plots.find((q) => q.u === u);
    if (p) {
      updateFigures(p);
      drawMarks(p);
    }
  }

  function setWindow(w) {
    const [min, max] = w;
    passing = true;
    for (const p of plots) p.u.setScale('x', {min, max});
    passing = false;
    onScale(plots[0].u, 'x');
  }

  // A finger's drag across a chart zooms as the mouse's does; an upward swipe still scrolls.
  function touchZoom(u) {
    let x0 = null;
    const at = (e) => e.touches[0].clientX - u.over.getBoundingClientRect().left;
    u.over.addEventListener('touchstart', (e) => {
      x0 = e.touches.length === 1 ? at(e) : null;
    }, {passive: true});
    u.over.addEventListener('touchmove', (e) => {
      if (x0 === null) return;
      const x = at(e);
      u.setSelect({left: Math.min(x0, x), width: Math.abs(x - x0), top: 0, height: u.over.clientHeight}, false);
    }, {passive: true});
    u.over.addEventListener('touchend', () => {
      if (x0 === null) return;
      const {left, width} = u.select;
      x0 = null;
      u.setSelect({left: 0, width: 0, top: 0, height: 0}, false);
      if (width > 8) setWindow([Math.round(u.posToVal(left, 'x')), Math.round(u.posToVal(left + width, 'x'))]);
    });
  }

  function makePlot(fig) {
    const box = fig.querySelector('.plot');
    const names = fig.dataset.series.split('|');
    const colors = fig.dataset.colors.split(';').map((c) => c.split(','));
    const unit = fig.dataset.unit;
    const scale = Number(fig.dataset.scale || 1);
    const p = {fig, unit, scale, names, colors, readout: fig.querySelector('.readout'),
               hidden: hiddenOf.get(fig)};
    // uPlot's series k + 1 is source series k: the top band first, the bottom band last.
    const series = [{}];
    // On a dark page each band's edge is drawn lighter, so that the dark blues stand apart.
    const dark = matchMedia('(prefers-color-scheme: dark)').matches;
    names.forEach((name, k) => {
      series.push({
        label: name,
        stroke: dark ? lighter(colors[k][1]) : colors[k][1],
        width: 1,
        fill: fillOf(colors[k][0], colors[k][1]),
        paths: uPlot.paths.stepped({align: 1}),
        points: {show: false},
        spanGaps: false,
        show: !p.hidden.has(k),
      });
    });
    const ink = css('--chart-ink') || '#1d2330';
    const rule = css('--chart-grid') || '#e4e7ec';
    const [min, max] = shownWindow();
    const opts = {
      width: Math.max(box.clientWidth, 200),
      height: single ? 380 : 200,
      legend: {show: false},
      cursor: {
        sync: {key: 'statsweb'},
        drag: {x: true, y: false},
        points: {show: false},
        bind: {dblclick: () => () => { setWindow(defaultWindow()); return null; }},
      },
      scales: {x: {time: true, min, max, range: (u, lo, hi) => [lo, hi]},
               y: {range: (u, lo, hi) => [0, hi > 0 ? hi * 1.05 : 1]}},
      axes: [
        {stroke: ink, grid: {stroke: rule}, ticks: {stroke: rule},
         splits: (u) => tickRows(u).map((i) => data.ts[i]),
         values: (u) => { const rows = tickRows(u); return rows.map((i, k) => tickLabel(rows, k)); }},
        {stroke: ink, grid: {stroke: rule}, ticks: {stroke: rule}, size: 78,
         values: (u, splits) => splits.map((v) => axisText(v * scale, unit))},
      ],
      series,
      hooks: {
        setScale: [onScale],
        // The slot under the pointer: the one whose step it is in, not the nearest start.
        setCursor: [(u) => showReadout(p, u.cursor.left === null || u.cursor.left < 0 ? null :
            Math.min(slotAt(u.posToVal(u.cursor.left, 'x')), n() - 1))],
        setSize: [(u) => drawMarks(p)],
      },
    };
    box.textContent = '';
    passing = true;  // the chart's own first scales are not a zoom
    p.u = new uPlot(opts, plotData(p), box);
    p.u.setScale('x', {min, max});
    passing = false;
    p.u.root.setAttribute('role', 'img');
    p.u.root.setAttribute('aria-label', 'interactive chart of ' +
        fig.querySelector('figcaption a').textContent);
    touchZoom(p.u);
    legendButtons(p);
    plots.push(p);
    fig.dataset.drawn = '1';
    updateFigures(p);
    drawMarks(p);
    showReadout(p, null);
    return p;
  }

  // The legend's entries turn their series off and on, in the panel's chart of the moment
  // (a change between dark and light makes the charts again; the buttons stay).
  function legendButtons(p) {
    const fig = p.fig;
    const items = fig.querySelectorAll('.legend li');
    items.forEach((li, k) => {
      if (li.querySelector('button')) return;
      const b = document.createElement('button');
      b.type = 'button';
      b.setAttribute('aria-pressed', 'true');
      b.title = 'show or hide ' + p.names[k];
      while (li.firstChild) b.appendChild(li.firstChild);
      li.appendChild(b);
      b.addEventListener('click', () => {
        const hidden = hiddenOf.get(fig);
        const show = hidden.has(k);
        if (show) hidden.delete(k);
        else hidden.add(k);
        b.setAttribute('aria-pressed', String(show));
        const now = plots.find((q) => q.fig === fig);
        if (!now) return;
        now.u.setSeries(k + 1, {show});
        now.u.setData(plotData(now), false);
      });
    });
  }

  function redraw() {
    const [min, max] = shownWindow();
    for (const p of plots) {
      p.u.setData(plotData(p), false);
      passing = true;
      p.u.setScale('x', {min, max});
      passing = false;
      updateFigures(p);
      drawMarks(p);
    }
    syncPicker();
  }

  // Dark or light as the browser prefers: the charts are made again in the other colours.
  matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
    if (!data) return;
    for (const p of plots.splice(0)) p.u.destroy();
    panels.forEach(makePlot);
  });

  // ---- the header: warnings, age, events ---------------------------------------------------

  // One line of the warning band, by its class; text '' removes it.
  function setWarning(cls, text) {
    const band = document.querySelector('.warn');
    if (!band) return;
    let line = band.querySelector('p.' + cls);
    if (text && !line) {
      line = document.createElement('p');
      line.className = cls;
      band.appendChild(line);
    }
    if (text) line.textContent = text;
    else if (line) line.remove();
    band.hidden = !band.querySelector('p');
  }

  function ageText(s) {
    const a = Math.abs(s);
    let t;
    if (a < 60) t = 'less than a minute';
    else if (a < 7200) t = Math.floor(a / 60) + ' min';
    else if (a < 2 * 86400) t = Math.floor(a / 3600) + ' h';
    else if (a < 2 * 365 * 86400) t = Math.floor(a / 86400) + ' days';
    else t = (a / (365.25 * 86400)).toFixed(1) + ' years';
    return s < 0 ? 'in ' + t : t + ' ago';
  }

  const eventWords = {
    no_data: 'no data (the server was down or not recording)',
    disk_damaged: 'a disk turned damaged',
    disk_marked_for_removal: 'a disk was marked for removal',
    space_90: 'used space at 90 % of the total or more',
  };
  const eventText = (e) => eventWords[e.kind] || e.kind;

  // The header and the warning band from /status, against this browser's clock, with the
  // server's rule for the age.
  async function updateStatus() {
    let st;
    try {
      const res = await fetch('/status', {cache: 'no-store'});
      st = await res.json();
    } catch (e) {
      return null;
    }
    setWarning('load', st.load_error ? (st.loaded ? 'The data file could not be loaded again ' +
        '(showing the last good load): ' : 'No data loaded: ') + st.load_error : '');
    if (!st.loaded) return st;
    const meta = document.querySelector('header.top .meta');
    let time = meta && meta.querySelector('time');
    if (meta && !time) {
      meta.append(' · newest minute ');
      time = document.createElement('time');
      const age = document.createElement('span');
      age.className = 'age';
      meta.append(time, ' · ', age);
    }
    if (time) {
      time.textContent = st.newest_minute_date;
      time.setAttribute('datetime', String(st.newest_minute_utc));
    }
    const s = Math.round(Date.now() / 1000 - st.newest_minute_utc);
    const age = document.querySelector('.age');
    if (age) age.textContent = ageText(s);
    const stale = st.stale_after !== undefined ? st.stale_after : staleAfter;
    const future = st.future_after !== undefined ? st.future_after : futureAfter;
    setWarning('age', s > stale ? 'The data is old: its newest minute is ' + ageText(s) + '.' :
        s < -future ? 'The newest minute lies in the future (' + ageText(s) +
        '): check the clocks and the time zone (-z).' : '');
    if (Array.isArray(st.events)) setEvents(st.events);
    return st;
  }

  function setEvents(list) {
    events = list;
    for (const p of plots) drawMarks(p);
  }

  // ---- the picker, the URL, the downloads --------------------------------------------------

  const presets = [
    [['1 h', 3600], ['6 h', 21600], ['24 h', 86400], ['all', 0]],
    [['1 day', 86400], ['7 days', 7 * 86400], ['17 days', 0]],
    [['7 days', 7 * 86400], ['30 days', 30 * 86400], ['85 days', 0]],
    [['90 days', 90 * 86400], ['1 year', 365 * 86400], ['4 years', 1461 * 86400], ['all', 0]],
  ][range] || [];
  let picker = null;

  function makePicker() {
    const form = document.createElement('form');
    form.className = 'picker';
    form.setAttribute('aria-label', 'time window');
    const button = (text, act, title) => {
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = text;
      b.dataset.act = act;
      if (title) b.title = title;
      return b;
    };
    const group = document.createElement('span');
    group.className = 'presets';
    for (const [label, span] of presets) {
      const b = button(label, 'preset', 'the last ' + label);
      b.dataset.span = String(span);
      group.appendChild(b);
    }
    const input = (name, text) => {
      const l = document.createElement('label');
      const i = document.createElement('input');
      i.type = 'datetime-local';
      i.name = name;
      l.append(text + ' ', i);
      return l;
    };
    const show = document.createElement('button');
    show.type = 'submit';
    show.textContent = 'show';
    const now = button('follow now', 'follow', 'keep the window at the newest slot');
    const pause = button('pause refresh', 'pause', 'stop fetching new data');
    now.setAttribute('aria-pressed', 'true');
    pause.setAttribute('aria-pressed', 'false');
    // The times are the data's own local time, in the zone the header names.
    const zone = (document.querySelector('.zone') || {}).textContent || '';
    const to = input('to', 'to');
    if (zone) {
      const z = document.createElement('span');
      z.className = 'zone-of-times';
      z.textContent = ' ' + zone.split(',')[0];
      z.title = 'the data file\'s local time: ' + zone;
      to.appendChild(z);
    }
    form.append(group, input('from', 'from'), to, show, now, pause,
                button('CSV', 'csv', 'the window shown as CSV'),
                button('copy link', 'copy', 'a link that opens this window'));
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      const local = (v) => (v ? Date.parse(v + ':00Z') / 1000 : NaN);
      const a = local(form.elements.from.value);
      const b = local(form.elements.to.value);
      if (a < b) goTo([utcOf(a), utcOf(b)]);
    });
    form.addEventListener('click', (e) => {
      const b = e.target.closest('button[data-act]');
      if (!b) return;
      const act = b.dataset.act;
      if (act === 'preset') {
        const span = Number(b.dataset.span);
        goTo([span ? end() - span : -Infinity, end()], true);
      } else if (act === 'follow') {
        const [a, c] = shownWindow();
        goTo([end() - (c - a), end()], true);
      } else if (act === 'pause') {
        paused = !paused;
        b.setAttribute('aria-pressed', String(paused));
        b.textContent = paused ? 'resume refresh' : 'pause refresh';
        schedule(paused ? null : 0);
      } else if (act === 'csv') {
        download();
      } else if (act === 'copy') {
        saveState();
        if (navigator.clipboard) navigator.clipboard.writeText(location.href).catch(() => {});
      }
    });
    grid.parentNode.insertBefore(form, grid);
    return form;
  }

  function syncPicker() {
    if (!picker || !data) return;
    const [a, b] = shownWindow();
    const iso = (t) => dateText(localOf(t)).replace(' ', 'T');
    picker.elements.from.value = iso(a);
    picker.elements.to.value = iso(Math.min(b, end()));
    picker.querySelector('[data-act=follow]').setAttribute('aria-pressed', String(follow));
  }

  // A window, after fetching the whole history of the range when it reaches before the slots
  // held.
  async function goTo(w, atEnd) {
    if (w[0] < data.ts[0] && !data.whole) await fetchAll();
    if (atEnd) w = [Math.max(w[0], data.ts[0]), end()];
    setWindow(w);
    syncPicker();
  }

  function saveState() {
    const q = new URLSearchParams(location.search);
    q.set('r', String(range));
    if (view) {
      q.set('from', String(view[0]));
      q.set('to', String(view[1]));
    } else {
      q.delete('from');
      q.delete('to');
    }
    history.replaceState(null, '', location.pathname + '?' + q.toString());
    syncPicker();
  }

  // The window shown as CSV: UTC seconds, the store's local time, then each field (and each
  // stacked series of a combined chart) in the table's units.
  function download() {
    const [a, b] = shownWindow();
    const cols = [];
    for (const f of fields) {
      cols.push([f, data.values[f]]);
      const p = plots.find((q) => q.fig.dataset.field === f);
      if (data.series[f]) data.series[f].forEach((s, k) => cols.push([f + ':' + p.names[k], s]));
    }
    const lines = ['utc,local,' + cols.map((c) => '"' + c[0] + '"').join(',')];
    for (let i = 0; i < n(); i++) {
      if (data.ts[i] < a || data.ts[i] >= b) continue;
      lines.push(data.ts[i] + ',' + dateText(data.lt[i]) + ',' +
                 cols.map((c) => (c[1][i] === null ? '' : c[1][i])).join(','));
    }
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([lines.join('\n') + '\n'], {type: 'text/csv'}));
    link.download = 'statsweb-r' + range + '-' + Math.round(a) + '-' + Math.round(b) + '.csv';
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  // ---- fetching ----------------------------------------------------------------------------

  function tableUrl(extra) {
    return '/table?format=json&r=' + range + '&f=' + fields.join(',') + extra;
  }

  async function fetchJson(url) {
    const res = await fetch(url, {cache: 'no-store'});
    if (!res.ok) throw new Error((await res.text()).trim() || 'HTTP ' + res.status);
    return res.json();
  }

  async function fetchAll() {
    const fresh = await fetchJson(tableUrl(''));
    merge(fresh);
    data.whole = true;
  }

  // How often a range's slots begin, in words: "every minute", "every 6 minutes", "once a day".
  function slotEvery(step) {
    if (step >= 86400) return step === 86400 ? 'once a day' : 'every ' + step / 86400 + ' days';
    return step === 60 ? 'every minute' : 'every ' + step / 60 + ' minutes';
  }

  // The first load: the window the URL names (the whole history when it reaches before the
  // newest windowSlots slots), else the newest windowSlots slots.
  async function first() {
    const q = new URLSearchParams(location.search);
    const from = Number(q.get('from'));
    const to = Number(q.get('to'));
    const asked = q.has('from') && q.has('to') && from < to ? [from, to] : null;
    const status = updateStatus();  // the header and the events, beside the data
    let fresh;
    try {
      fresh = await fetchJson(tableUrl(asked ? '' : '&n=' + windowSlots));
    } catch (e) {
      setWarning('fetch', 'Could not fetch the data: ' + e.message);
      if (!(await status || {}).loaded) return schedule(waitMs);
      showPictures();
      return schedule(refreshMs);
    }
    setWarning('fetch', '');
    merge(fresh);
    data.whole = !!asked;
    if (asked) {
      view = asked;
      follow = asked[1] >= end();
      if (follow) view = [end() - (asked[1] - asked[0]), end()];
    }
    picker = makePicker();
    const hint = document.querySelector('p.span');
    if (hint) {
      hint.textContent += ' Drag across a chart (or swipe along it) to zoom all of them, ' +
          'double-click to return; pick a window above; click a legend entry to hide or show ' +
          'its series. Each new slot is fetched as it begins (' + slotEvery(data.step) + ').';
    }
    await status;
    panels.forEach(makePlot);
    syncPicker();
    grid.dataset.ready = String(performance.now());
    grid.dataset.loads = '1';
    schedule(refreshMs);
  }

  // A refresh: the header from /status, then the slots since the last complete one, when a new
  // slot has begun (or always when forced).
  async function refresh(force) {
    const st = await updateStatus();
    if (!data || !st || !st.loaded) return;
    if (!force && st.newest_minute_utc < end()) return;
    const since = data.ts[Math.max(0, n() - 2)];
    let fresh;
    try {
      fresh = await fetchJson(tableUrl('&since=' + since));
    } catch (e) {
      setWarning('fetch', 'Could not fetch the data: ' + e.message);
      return;
    }
    setWarning('fetch', '');
    const width = view ? view[1] - view[0] : 0;
    merge(fresh, since);
    if (view && follow) view = [end() - width, end()];
    redraw();
  }

  function schedule(ms) {
    clearTimeout(timer);
    timer = null;
    if (ms === null || (paused && data)) return;
    timer = setTimeout(async () => {
      if (!data) await first();
      else {
        await refresh(false);
        schedule(refreshMs);
      }
    }, ms);
  }

  // Falls back to the PNGs when the data cannot be had.
  function showPictures() {
    for (const fig of panels) {
      const box = fig.querySelector('.plot');
      if (fig.dataset.drawn || box.querySelector('img')) continue;
      const img = document.createElement('img');
      img.src = box.dataset.png;
      img.alt = 'chart of ' + fig.querySelector('figcaption a').textContent;
      box.appendChild(img);
    }
  }

  const resize = new ResizeObserver(() => {
    for (const p of plots) {
      const w = p.fig.querySelector('.plot').clientWidth;
      if (w > 0 && w !== p.u.width) p.u.setSize({width: w, height: p.u.height});
    }
  });
  resize.observe(grid);

  // For the browser test and the curious: the charts, a refresh now (with since=), the window,
  // the ticks of a chart and the slots held.
  window.statsweb = {
    plots,
    load: async () => {
      await refresh(true);
      grid.dataset.loads = String(Number(grid.dataset.loads || 0) + 1);
    },
    zoom: () => view,
    ticks: (k) => ticksOf(plots[k]),
    data: () => data,
    setWindow: (w) => (w ? goTo(w) : setWindow(defaultWindow())),
  };
  first();
})();
