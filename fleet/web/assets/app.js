// The pages' charts, drawn by dygraphs (Debian's libjs-dygraphs, served by
// varnel-web).  Every chart's data comes from the JSON endpoint named in
// its element's data attribute; texts are set as text, never as markup.
'use strict';

(function () {
  // Milliseconds of the site's local time read as UTC, so that dygraphs
  // (labelsUTC) shows the site's own clock whatever the browser's zone.
  function localMs(offsets, t) {
    let offset = offsets.length ? offsets[0][1] : 0;
    for (const [at, o] of offsets) {
      if (t >= at) offset = o;
      else break;
    }
    return (t + offset) * 1000;
  }

  // The smallest and largest point of every bucket, as one line in time
  // order: a spike stays a spike.
  function points(series) {
    const byTime = new Map();
    for (const [t, v] of series.min.concat(series.max)) byTime.set(t, v);
    return Array.from(byTime.entries()).sort((a, b) => a[0] - b[0]);
  }

  async function getJson(url) {
    const response = await fetch(url, { credentials: 'same-origin' });
    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      body = null;
    }
    if (!response.ok) throw new Error((body && body.error) || response.statusText);
    return body;
  }

  // Rows [Date, v1, v2, ...] for dygraphs, null where a series has no point.
  function table(columns) {
    const rows = new Map();
    columns.forEach((column, i) => {
      for (const [x, v] of column) {
        if (!rows.has(x)) rows.set(x, new Array(columns.length).fill(null));
        rows.get(x)[i] = v;
      }
    });
    return Array.from(rows.entries())
      .sort((a, b) => a[0] - b[0])
      .map(([x, values]) => [new Date(x)].concat(values));
  }

  function say(element, text, kind) {
    const p = document.createElement('p');
    p.className = kind;
    p.textContent = text;
    element.replaceChildren(p);
  }

  function markDrawn(element) {
    return function (g, initial) {
      if (initial) element.dataset.drawn = 'yes';
    };
  }

  function seriesName(s) {
    const channel = s.channel === undefined ? '' : s.channel === 'any' ? 'any channel ' : 'ch' + s.channel + ' ';
    return channel + s.label + ' (' + s.unit + ')';
  }

  async function drawTrend(element) {
    const legend = document.getElementById(element.id + '-legend');
    try {
      const [trend, weather] = await Promise.all([
        getJson(element.dataset.trend),
        element.dataset.weather ? getJson(element.dataset.weather) : null,
      ]);
      const columns = [];
      const labels = ['time'];
      const series = {};
      for (const s of trend.series) {
        columns.push(points(s).map(([t, v]) => [localMs(trend.offsets, t), v]));
        labels.push(seriesName(s));
      }
      if (weather) {
        for (const s of weather.series) {
          columns.push(points(s).map(([t, v]) => [localMs(weather.offsets, t), v]));
          const name = seriesName(s);
          labels.push(name);
          series[name] = { axis: 'y2', strokePattern: [4, 3] };
        }
      }
      const rows = table(columns);
      if (rows.length === 0) {
        say(element, 'No records in this range.', 'empty');
        element.dataset.drawn = 'empty';
        return;
      }
      const unit = trend.series.length ? trend.series[0].unit : '';
      new Dygraph(element, rows, {
        labels: labels,
        labelsUTC: true,
        labelsDiv: legend || undefined,
        legend: 'always',
        labelsSeparateLines: false,
        connectSeparatedPoints: true,
        ylabel: unit,
        y2label: weather ? 'weather' : undefined,
        series: series,
        axes: { y2: { independentTicks: true, drawGrid: false } },
        highlightCircleSize: 3,
        strokeWidth: 1.2,
        drawPoints: rows.length < 60,  // a young site's few records stay visible
        drawCallback: markDrawn(element),
      });
    } catch (e) {
      say(element, 'The chart cannot be drawn: ' + e.message, 'error');
    }
  }

  async function drawSpark(element) {
    try {
      const trend = await getJson(element.dataset.trend);
      const rows = table(trend.series.map((s) => points(s).map(([t, v]) => [localMs(trend.offsets, t), v])));
      if (rows.length === 0) {
        element.textContent = 'no records';
        element.dataset.drawn = 'empty';
        return;
      }
      new Dygraph(element, rows, {
        labels: ['time', 'peak (mA)'],
        labelsUTC: true,
        legend: 'never',
        axes: { x: { drawAxis: false, drawGrid: false }, y: { drawAxis: false, drawGrid: false } },
        strokeWidth: 1,
        fillGraph: true,
        drawPoints: rows.length < 30,
        drawCallback: markDrawn(element),
      });
    } catch (e) {
      say(element, e.message, 'error');
    }
  }

  async function drawWave(element) {
    const legend = document.getElementById(element.id + '-legend');
    try {
      const wave = await getJson(element.dataset.wave);
      const labels = ['ms'];
      wave.samples.forEach((_, c) => {
        const peak = wave.peaksMa[c];
        labels.push('ch' + (c + 1) + (peak === undefined ? '' : ' (peak ' + Number(peak.toPrecision(4)) + ' mA)'));
      });
      const rows = [];
      const n = wave.samples.length ? wave.samples[0].length : 0;
      for (let i = 0; i < n; i++) {
        const row = [(i * wave.sampleMicroseconds) / 1000];
        for (const channel of wave.samples) row.push(channel[i]);
        rows.push(row);
      }
      new Dygraph(element, rows, {
        labels: labels,
        labelsDiv: legend || undefined,
        legend: 'always',
        xlabel: 'ms',
        ylabel: wave.unit,
        strokeWidth: 1,
        drawCallback: markDrawn(element),
      });
    } catch (e) {
      say(element, 'The waveform cannot be drawn: ' + e.message, 'error');
    }
  }

  // The daily indicators: which chart and axis each series goes on.  The
  // peaks share one chart with the air's nearness to dew (a wet surface
  // conducts); the charge shares the second with the waveform's harmonic
  // ratios (dry-band arcs distort it); the third holds the pulse activity,
  // the day's shares of time (left) and of half cycles (right) at or
  // above each threshold.
  const kHalfCycleShares = ['half_cycle_pct_1', 'half_cycle_pct_2', 'half_cycle_pct_3', 'half_cycle_pct_4'];
  const kIndicatorCharts = [
    { series: ['peak_max', 'wet_peak_max', 'dew_depression_min'], rightAxis: ['dew_depression_min'] },
    { series: ['charge_mc', 'i3_over_i1', 'i5_over_i1', 'i57_over_i3'],
      rightAxis: ['i3_over_i1', 'i5_over_i1', 'i57_over_i3'] },
    { series: ['time_pct_1', 'time_pct_2', 'time_pct_3', 'time_pct_4'].concat(kHalfCycleShares),
      rightAxis: kHalfCycleShares },
  ];
  const kDayMs = 86400 * 1000;

  // A day (days since 1970-01-01 in the site's calendar) at its noon, as
  // the site's local time read as UTC (labelsUTC).
  function dayMs(day) {
    return day * kDayMs + kDayMs / 2;
  }

  // Dashed vertical lines at the maintenance events, each with its kind.
  function drawEvents(events) {
    return function (ctx, area, g) {
      ctx.save();
      ctx.strokeStyle = '#0b7a75';
      ctx.fillStyle = '#0b7a75';
      ctx.font = '11px sans-serif';
      ctx.setLineDash([4, 3]);
      for (const e of events) {
        const x = g.toDomXCoord(e.x);
        if (x < area.x || x > area.x + area.w) continue;
        ctx.beginPath();
        ctx.moveTo(x, area.y);
        ctx.lineTo(x, area.y + area.h);
        ctx.stroke();
        ctx.fillText(e.text, x + 3, area.y + 12);
      }
      ctx.restore();
    };
  }

  function seriesLabel(s) {
    return s.label + (s.unit ? ' (' + s.unit + ')' : '');
  }

  async function drawIndicators(element) {
    try {
      const data = await getJson(element.dataset.indicators);
      const byName = new Map(data.series.map((s) => [s.name, s]));
      const events = data.events.map((e) => ({ x: (e.time + e.offsetSeconds) * 1000, text: e.kindText }));
      const charts = kIndicatorCharts
        .map((c) => ({ c: c, series: c.series.map((n) => byName.get(n)).filter((s) => s && s.points.length) }))
        .filter((c) => c.series.length);
      if (charts.length === 0) {
        say(element, element.dataset.empty || '-', 'empty');
        element.dataset.drawn = 'empty';
        return;
      }
      // From the first day with a value (a young site's chart is not mostly
      // empty) to the last day asked for.
      const first = Math.min(...charts.flatMap(({ series }) => series.map((s) => s.points[0][0])));
      const span = [dayMs(Math.max(first, data.firstDay)) - kDayMs / 2, dayMs(data.lastDay) + kDayMs / 2];
      element.replaceChildren();
      let waiting = charts.length;
      for (const { c, series } of charts) {
        const box = document.createElement('div');
        box.className = 'indicator-chart';
        const legend = document.createElement('div');
        legend.className = 'legend';
        element.append(box, legend);
        const options = {};
        for (const s of series)
          if (c.rightAxis.includes(s.name)) options[seriesLabel(s)] = { axis: 'y2', strokePattern: [4, 3] };
        const rows = table(series.map((s) => s.points.map(([day, v]) => [dayMs(day), v])));
        new Dygraph(box, rows, {
          labels: ['day'].concat(series.map(seriesLabel)),
          labelsUTC: true,
          labelsDiv: legend,
          legend: 'always',
          dateWindow: span,
          connectSeparatedPoints: true,
          drawPoints: true,
          pointSize: 2,
          strokeWidth: 1.2,
          series: options,
          axes: { y2: { independentTicks: true, drawGrid: false } },
          underlayCallback: drawEvents(events),
          drawCallback: (g, initial) => {
            if (initial && --waiting === 0) element.dataset.drawn = 'yes';
          },
        });
      }
    } catch (e) {
      say(element, e.message, 'error');
    }
  }

  // The site form: the ticked boxes become the lists of the address.
  function wireForm(form) {
    form.addEventListener('submit', () => {
      const ticked = (name) =>
        Array.from(form.querySelectorAll('input[name="' + name + '"]:checked')).map((box) => box.value);
      form.elements.channels.value = ticked('ch').join(',') || 'all';
      form.elements.weather.value = ticked('w').join(',');
      for (const box of form.querySelectorAll('input[name="ch"], input[name="w"]')) box.disabled = true;
    });
  }

  document.addEventListener('DOMContentLoaded', () => {
    document.querySelectorAll('[data-trend][id]').forEach(drawTrend);
    document.querySelectorAll('.spark[data-trend]').forEach(drawSpark);
    document.querySelectorAll('[data-wave]').forEach(drawWave);
    document.querySelectorAll('[data-indicators]').forEach(drawIndicators);
    document.querySelectorAll('form.controls').forEach(wireForm);
  });
})();
