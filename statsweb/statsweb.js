// SPDX-License-Identifier: Apache-2.0
// statsweb's page script. It draws the page's charts again from /table?format=json with uPlot:
// the stacked series in the colours of the PNGs, a readout of the time and every series under
// the pointer, drag to zoom (every chart of the page follows), double click to return, and
// fresh data every minute without reloading the page or losing the zoom. Without it the page
// shows the PNGs of /chart.
(() => {
  'use strict';
  const grid = document.getElementById('charts');
  if (!grid || typeof uPlot !== 'function') return;
  const range = grid.dataset.range;
  const slots = Number(grid.dataset.slots);
  const single = grid.classList.contains('single');
  const panels = Array.from(grid.querySelectorAll('figure.panel'));
  const fields = panels.map((p) => p.dataset.field);
  const plots = [];  // one per panel: {fig, u, unit, names, readout}
  let data = null;   // the last JSON table
  let zoom = null;   // [min, max] of the time scale (UTC seconds), null for the whole window
  let passing = false;  // a scale change being passed on to the other charts
  const refreshMs = 60000;

  const prefixes = ['', 'k', 'M', 'G', 'T', 'P', 'E'];
  // The table's number in its unit, as the page's figures show it: "48.87 %", "1.23 Mbit/s".
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
  // An axis label: three digits at most, with the prefix ("300 M", "1.5 k", "40 %").
  function axisText(v, unit) {
    if (unit === '%') return Number(v.toPrecision(3)) + ' %';
    let k = 0;
    let x = v;
    while (Math.abs(x) >= 1000 && k + 1 < prefixes.length) {
      x /= 1000;
      k++;
    }
    return String(Number(x.toPrecision(3))) + (k > 0 ? ' ' + prefixes[k] : '');
  }
  const pad = (n) => String(n).padStart(2, '0');
  // Time labels in the store's zone: hours and minutes over a few days (the date where it
  // changes), dates over months, months over years.
  function timeLabels(u, splits, off) {
    const span = u.scales.x.max - u.scales.x.min;
    let prev = '';
    return splits.map((t) => {
      const d = new Date((t + off) * 1000);
      const ymd = d.getUTCFullYear() + '-' + pad(d.getUTCMonth() + 1) + '-' + pad(d.getUTCDate());
      if (span > 400 * 86400) return ymd.slice(0, 7);
      if (span > 3 * 86400) {
        const label = ymd.slice(5) + (ymd.slice(0, 4) !== prev ? '\n' + ymd.slice(0, 4) : '');
        prev = ymd.slice(0, 4);
        return label;
      }
      const label = pad(d.getUTCHours()) + ':' + pad(d.getUTCMinutes()) +
          (ymd !== prev ? '\n' + ymd.slice(5) : '');
      prev = ymd;
      return label;
    });
  }
  // Local seconds of the store (its wall clock read as UTC) as "YYYY-MM-DD HH:MM".
  function dateText(local) {
    const d = new Date(local * 1000);
    return d.getUTCFullYear() + '-' + pad(d.getUTCMonth() + 1) + '-' + pad(d.getUTCDate()) +
        ' ' + pad(d.getUTCHours()) + ':' + pad(d.getUTCMinutes());
  }

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

  // The stacked parts of a field (bottom first) and their running sums.
  function partsOf(field) {
    const parts = (data.series && data.series[field]) || [data.values[field]];
    const n = data.timestamps.length;
    const sums = parts.map(() => new Array(n));
    for (let i = 0; i < n; i++) {
      let any = false;
      let acc = 0;
      parts.forEach((p, k) => {
        if (p[i] !== null) {
          any = true;
          acc += p[i];
        }
        sums[k][i] = acc;
      });
      if (!any) sums.forEach((s) => { s[i] = null; });
    }
    return {parts, sums};
  }

  function plotData(field) {
    const {sums} = partsOf(field);
    // Highest sum first: each lower band is painted over the one above it.
    return [data.timestamps].concat(sums.slice().reverse());
  }

  // The first and last row of the time window [min, max].
  function rowsOf(min, max) {
    const ts = data.timestamps;
    let a = 0;
    let b = ts.length - 1;
    while (a < b && ts[a] < min) a++;
    while (b > a && ts[b] > max) b--;
    return [a, b];
  }

  function updateFigures(p) {
    const u = p.u;
    const [a, b] = rowsOf(u.scales.x.min, u.scales.x.max);
    const vals = data.values[p.fig.dataset.field];
    let count = 0, sum = 0, min = 0, max = 0, last = null;
    for (let i = a; i <= b; i++) {
      const v = vals[i];
      if (v === null) continue;
      if (count === 0 || v < min) min = v;
      if (count === 0 || v > max) max = v;
      sum += v;
      count++;
      last = v;
    }
    const shown = {last, min, avg: count ? sum / count : 0, max};
    p.fig.querySelectorAll('dd[data-k]').forEach((dd) => {
      dd.textContent = count ? valueText(shown[dd.dataset.k], p.unit) : '–';
    });
  }

  function showReadout(p, idx) {
    const r = p.readout;
    if (idx === null || idx === undefined || !data) {
      r.textContent = '';
      delete r.dataset.value;
      delete r.dataset.time;
      return;
    }
    const field = p.fig.dataset.field;
    const {parts} = partsOf(field);
    const total = data.values[field][idx];
    let text = dateText(data.local_timestamps[idx]);
    if (parts.length > 1) {
      parts.forEach((s, k) => {
        text += ' · ' + (p.names[k] || 'series ' + (k + 1)) + ' ' + valueText(s[idx], p.unit);
      });
      text += ' · total ' + valueText(total, p.unit);
    } else {
      text += ' · ' + valueText(total, p.unit);
    }
    r.textContent = text;
    r.dataset.value = total === null ? '' : String(total);
    r.dataset.time = String(data.local_timestamps[idx]);
  }

  // Every chart shows the same window: a zoom of one is passed on to the others.
  function onScale(u, key) {
    if (key !== 'x' || !data) return;
    const {min, max} = u.scales.x;
    const ts = data.timestamps;
    if (!passing) {
      zoom = min <= ts[0] && max >= ts[ts.length - 1] ? null : [min, max];
      passing = true;
      for (const p of plots) {
        if (p.u !== u) p.u.setScale('x', {min, max});
      }
      passing = false;
    }
    const p = plots.find((q) => q.u === u);
    if (p) updateFigures(p);
  }

  function makePlot(fig) {
    const box = fig.querySelector('.plot');
    const names = fig.dataset.series.split('|');
    const colors = fig.dataset.colors.split(';').map((c) => c.split(','));
    const unit = fig.dataset.unit;
    const field = fig.dataset.field;
    const off = data.utc_offset;
    const series = [{}];
    for (let k = names.length - 1; k >= 0; k--) {
      series.push({
        label: names[k],
        stroke: colors[k][1],
        width: 1,
        fill: fillOf(colors[k][0], colors[k][1]),
        paths: uPlot.paths.stepped({align: 1}),
        points: {show: false},
        spanGaps: false,
      });
    }
    const opts = {
      width: Math.max(box.clientWidth, 200),
      height: single ? 380 : 200,
      // Times on the axis in the store's zone.
      tzDate: (ts) => {
        const d = new Date((ts + off) * 1000);
        return new Date(d.getTime() + d.getTimezoneOffset() * 60000);
      },
      legend: {show: false},
      cursor: {sync: {key: 'statsweb'}, drag: {x: true, y: false}, points: {show: false}},
      scales: {y: {range: (u, lo, hi) => [0, hi > 0 ? hi * 1.05 : 1]}},
      axes: [
        {stroke: '#1d2330', grid: {stroke: '#e4e7ec'}, values: (u, s) => timeLabels(u, s, off)},
        {stroke: '#1d2330', grid: {stroke: '#e4e7ec'}, size: 60,
         values: (u, splits) => splits.map((v) => axisText(v, unit))},
      ],
      series,
      hooks: {
        setScale: [onScale],
        setCursor: [(u) => showReadout(plots.find((q) => q.u === u), u.cursor.idx)],
      },
    };
    box.textContent = '';
    const u = new uPlot(opts, plotData(field), box);
    u.root.setAttribute('role', 'img');
    u.root.setAttribute('aria-label', 'interactive chart of ' + fig.querySelector('figcaption a').textContent);
    const p = {fig, u, unit, names, readout: fig.querySelector('.readout')};
    plots.push(p);
    fig.dataset.drawn = '1';
    return p;
  }

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
    let n;
    if (a < 60) n = 'less than a minute';
    else if (a < 7200) n = Math.floor(a / 60) + ' min';
    else if (a < 2 * 86400) n = Math.floor(a / 3600) + ' h';
    else if (a < 2 * 365 * 86400) n = Math.floor(a / 86400) + ' days';
    else n = (a / (365.25 * 86400)).toFixed(1) + ' years';
    return s < 0 ? 'in ' + n : n + ' ago';
  }

  // The header and the warning band from /status, against this browser's clock.
  async function updateStatus() {
    let st;
    try {
      const res = await fetch('/status', {cache: 'no-store'});
      st = await res.json();
    } catch (e) {
      return;
    }
    setWarning('load', st.load_error ? (st.loaded ? 'The data file could not be loaded again ' +
        '(showing the last good load): ' : 'No data loaded: ') + st.load_error : '');
    if (!st.loaded) return;
    const time = document.querySelector('header.top time');
    if (time) {
      time.textContent = st.newest_minute_date;
      time.setAttribute('datetime', String(st.newest_minute_utc));
    }
    const s = Math.round(Date.now() / 1000 - st.newest_minute_utc);
    const age = document.querySelector('.age');
    if (age) age.textContent = ageText(s);
    setWarning('age', s > 300 ? 'The data is old: its newest minute is ' + ageText(s) + '.' :
        s < -120 /* kFutureSeconds */ ? 'The newest minute lies in the future (' + ageText(s) +
        '): check the clocks and the time zone (-z).' : '');
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

  async function load() {
    const url = '/table?format=json&r=' + range + '&n=' + slots + '&f=' + fields.join(',');
    let fresh;
    try {
      const res = await fetch(url, {cache: 'no-store'});
      if (!res.ok) throw new Error((await res.text()).trim() || 'HTTP ' + res.status);
      fresh = await res.json();
    } catch (e) {
      setWarning('fetch', 'Could not fetch the data: ' + e.message);
      showPictures();
      return;
    }
    setWarning('fetch', '');
    data = fresh;
    if (plots.length === 0) {
      panels.forEach(makePlot);
      grid.dataset.ready = String(performance.now());
    } else {
      for (const p of plots) {
        p.u.setData(plotData(p.fig.dataset.field), zoom === null);
        if (zoom !== null) p.u.setScale('x', {min: zoom[0], max: zoom[1]});
        updateFigures(p);
      }
    }
    // The header came with the page; later loads bring it up to date.
    if (grid.dataset.loads) await updateStatus();
    grid.dataset.loads = String(Number(grid.dataset.loads || 0) + 1);
  }

  const resize = new ResizeObserver(() => {
    for (const p of plots) {
      const w = p.fig.querySelector('.plot').clientWidth;
      if (w > 0 && w !== p.u.width) p.u.setSize({width: w, height: p.u.height});
    }
  });
  resize.observe(grid);

  // For the browser test and the curious: the charts and a refresh now.
  window.statsweb = {plots, load, zoom: () => zoom};
  load();
  setInterval(load, refreshMs);
})();
