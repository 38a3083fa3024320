// Drives the codebook page in headless Chromium over the DevTools protocol
// (loopback only, no packages): checks the overview (its links land on their
// tables, its charts draw), the table of contents, the filter (typing, the
// #filter= address, the keyboard), takes screenshots in the light and dark
// schemes, and measures how long a large report takes to open.
//
//   node --experimental-websocket check.mjs CHROMIUM PAGE.html OUT_DIR [LARGE.html]
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

const [chromium, page, outDir, largePage] = process.argv.slice(2);
const profile = mkdtempSync(join(tmpdir(), 'codebook-browser-'));
const browser = spawn(chromium, [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--no-first-run', `--user-data-dir=${profile}`, '--remote-debugging-address=127.0.0.1',
  '--remote-debugging-port=0', '--window-size=1280,900', 'about:blank',
], { stdio: ['ignore', 'ignore', 'ignore'] });

let failures = 0;
let passes = 0;
function check(ok, what) {
  if (ok) { passes++; console.log(`ok   ${what}`); } else { failures++; console.log(`FAIL ${what}`); }
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function devtoolsPort() {
  const file = join(profile, 'DevToolsActivePort');
  for (let i = 0; i < 200; i++) {
    if (existsSync(file)) {
      const port = readFileSync(file, 'utf8').split('\n')[0];
      if (port) return port;
    }
    await sleep(100);
  }
  throw new Error('Chromium did not open its DevTools port');
}

async function connect(port) {
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const target = targets.find((t) => t.type === 'page');
  const ws = new WebSocket(target.webSocketDebuggerUrl);
  await new Promise((resolve, reject) => { ws.onopen = resolve; ws.onerror = reject; });
  let next = 0;
  const pending = new Map();
  const listeners = [];
  ws.onmessage = (event) => {
    const msg = JSON.parse(event.data);
    if (msg.id !== undefined && pending.has(msg.id)) {
      const { resolve, reject } = pending.get(msg.id);
      pending.delete(msg.id);
      if (msg.error) reject(new Error(JSON.stringify(msg.error))); else resolve(msg.result);
    } else if (msg.method) {
      for (const l of listeners.splice(0)) l(msg);
    }
  };
  const send = (method, params = {}) => new Promise((resolve, reject) => {
    const id = ++next;
    pending.set(id, { resolve, reject });
    ws.send(JSON.stringify({ id, method, params }));
  });
  return { ws, send, listeners };
}

async function main() {
  const { ws, send } = await connect(await devtoolsPort());
  await send('Page.enable');
  await send('Runtime.enable');
  const evaluate = async (expression) =>
    (await send('Runtime.evaluate', { expression, returnByValue: true, awaitPromise: true })).result.value;
  const open = async (url) => {
    const started = Date.now();
    await send('Page.navigate', { url });
    for (let i = 0; i < 300; i++) {
      await sleep(50);
      if ((await evaluate('document.readyState')) === 'complete') break;
    }
    return Date.now() - started;
  };
  const key = async (k, code, keyCode) => {
    await send('Input.dispatchKeyEvent', { type: 'keyDown', key: k, code, windowsVirtualKeyCode: keyCode });
    await send('Input.dispatchKeyEvent', { type: 'keyUp', key: k, code, windowsVirtualKeyCode: keyCode });
  };
  const shot = async (name) => {
    const { data } = await send('Page.captureScreenshot', { format: 'png' });
    writeFileSync(join(outDir, name), Buffer.from(data, 'base64'));
  };
  const url = pathToFileURL(page).href;

  // The large report first, in a fresh tab state: how long until it has
  // loaded and painted, and whether its overview and charts are there.
  if (largePage) {
    await send('Network.enable');
    await send('Network.setCacheDisabled', { cacheDisabled: true });
    const largeUrl = pathToFileURL(largePage).href;
    // The first opening also starts the page's renderer and loads its fonts:
    // it is the second that is measured.
    await open(largeUrl);
    await open('about:blank');
    await open(largeUrl);
    const timing = await evaluate(`(() => {
        const nav = performance.getEntriesByType('navigation')[0];
        const paint = (performance.getEntriesByName('first-contentful-paint')[0] || {}).startTime || 0;
        return {load: Math.round(nav.loadEventEnd), paint: Math.round(paint),
                rows: document.querySelectorAll('#ovb .ovg .ovr').length,
                sparks: document.querySelectorAll('#ovb svg').length};})()`);
    const opened = Math.max(timing.load, timing.paint);
    console.log(`large report: loaded in ${timing.load} ms, first contentful paint at ${timing.paint} ms, ` +
                `${timing.rows} overview rows, ${timing.sparks} charts`);
    // How long it took is printed, not checked: the suite holds no timed test
    // (a loaded machine takes twice as long as an idle one).
    check(opened > 0, `the large report opens (${opened} ms)`);
    check(timing.rows >= 2000 && timing.sparks >= 2000, 'the large report has its overview and charts');
    const lastLink = await evaluate(`(() => { const a = document.querySelector('#ovb .ovg:last-child .ovr:last-child a');
        a.click(); const t = document.getElementById(a.getAttribute('href').slice(1));
        const r = t.getBoundingClientRect(); return {hash: location.hash, top: Math.round(r.top),
        name: t.querySelector('h2 .n').textContent, wanted: a.textContent}; })()`);
    check(lastLink.name === lastLink.wanted && lastLink.top >= -5 && lastLink.top < 900,
          `the last overview row of the large report leads to ${lastLink.wanted} (${lastLink.hash}, top ${lastLink.top})`);
  }

  const ms = await open(url);
  const paint = await evaluate(`(performance.getEntriesByName('first-contentful-paint')[0] || {}).startTime || -1`);
  console.log(`page loaded in ${ms} ms, first contentful paint at ${Math.round(paint)} ms`);
  const toc = await evaluate(`Array.from(document.querySelectorAll('#toc li')).map(li => ({
      name: li.querySelector('.n').textContent, label: (li.querySelector('.l') || {}).textContent || '',
      href: li.firstChild.getAttribute('href')}))`);
  check(toc.length > 0, `the contents list ${toc.length} tables`);
  const targets = await evaluate(`Array.from(document.querySelectorAll('#toc a')).every(a =>
      document.getElementById(a.getAttribute('href').slice(1)) !== null)`);
  check(targets, 'every contents entry leads to its table');
  const tables = await evaluate(`document.querySelectorAll('main section.tbl').length`);
  check(tables === toc.length + (await evaluate(`document.querySelector('header section.tbl') ? 1 : 0`)),
        'one section per table');
  check(await evaluate(`document.scripts.length === 1 && !document.querySelector('[src],[href^="http"]')`),
        'no script or resource beyond the page itself');

  // The overview: a row per table in the contents, each leading to its table.
  const rows = await evaluate(`Array.from(document.querySelectorAll('#ovb .ovg .ovr')).map(tr => {
      const a = tr.querySelector('a'); return {name: a.textContent, href: a.getAttribute('href')};})`);
  check(rows.length === toc.length, `the overview has a row per table (${rows.length})`);
  let landed = 0;
  for (const row of rows) {
    const where = await evaluate(`(() => { document.querySelector('#ovb a[href="${row.href}"]').click();
        const t = document.getElementById('${row.href.slice(1)}');
        const end = window.scrollY + innerHeight >= document.documentElement.scrollHeight - 2;
        return {hash: location.hash, top: Math.round(t.getBoundingClientRect().top), end,
                name: t.querySelector('h2 .n').textContent}; })()`);
    // At the top of the window, or as near as the end of the page lets it.
    const placed = Math.abs(where.top) < 5 || (where.end && where.top > 0 && where.top < 900);
    if (where.hash === row.href && where.name === row.name && placed) landed++;
    else console.log(`  ${row.name}: ${JSON.stringify(where)}`);
  }
  check(landed === rows.length, `every overview link lands on its table (${landed} of ${rows.length})`);
  // A click anywhere on a row goes there too.
  const viaRow = rows[Math.min(3, rows.length - 1)];
  await open(url);
  await evaluate(`document.querySelector('#ovb a[href="${viaRow.href}"]').closest('.ovr').children[4].click()`);
  check((await evaluate('location.hash')) === viaRow.href, `a click on the row of ${viaRow.name} opens its table`);

  // Charts: every overview chart and every section chart draws a box with
  // bars in it (sections are laid out lazily, so each is scrolled to first).
  await open(url);
  const sparks = await evaluate(`Array.from(document.querySelectorAll('#ovb svg')).map(svg => {
      const r = svg.getBoundingClientRect(), p = svg.querySelector('path');
      const b = p ? p.getBBox() : {width: 0, height: 0};
      return r.width > 0 && r.height > 0 && b.width > 0 && b.height > 0 && svg.getAttribute('aria-label').length > 0;})`);
  check(sparks.length >= rows.length - 2 && sparks.every(Boolean),
        `overview charts draw (${sparks.filter(Boolean).length} of ${sparks.length})`);
  const figures = await evaluate(`(async () => {
      const out = [];
      for (const svg of document.querySelectorAll('section.tbl svg')) {
        svg.scrollIntoView();
        await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
        const r = svg.getBoundingClientRect(), b = svg.querySelector('path').getBBox();
        out.push(r.width > 100 && r.height > 20 && b.width > 0 && b.height > 0);
      }
      return out;})()`);
  check(figures.length === sparks.length && figures.every(Boolean),
        `section charts draw (${figures.filter(Boolean).length} of ${figures.length})`);
  // A bar chart's legend keys sit under its bars, not at the far edge of
  // the figure; a percent bar is on its cell's first line, beside the number,
  // also where the row's label wraps onto a second line.
  const placed = await evaluate(`(async () => {
      const legends = [], bars = [];
      for (const figure of document.querySelectorAll('figure.bars')) {
        figure.scrollIntoView();
        await new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)));
        const right = figure.querySelector('svg').getBoundingClientRect().right;
        for (const key of figure.querySelectorAll('figcaption span')) legends.push(key.getBoundingClientRect().left < right);
      }
      for (const cell of document.querySelectorAll('td.pct')) {
        const style = getComputedStyle(cell), y = parseFloat(style.backgroundPositionY);
        const lineTop = parseFloat(style.paddingTop), line = parseFloat(style.lineHeight);
        bars.push(y >= lineTop && y + 0.7 * parseFloat(style.fontSize) <= lineTop + line + 0.5);
      }
      return {legends, bars};})()`);
  check(placed.legends.length > 0 && placed.legends.every(Boolean),
        `bar chart legends sit under their bars (${placed.legends.filter(Boolean).length} of ${placed.legends.length})`);
  check(placed.bars.length > 0 && placed.bars.every(Boolean),
        `percent bars are on their cell's first line (${placed.bars.filter(Boolean).length} of ${placed.bars.length})`);

  // The filter through the address: every entry shown matches, every hidden
  // one does not.
  const query = toc[Math.min(1, toc.length - 1)].name.toLowerCase();
  await open(`${url}#filter=${encodeURIComponent(query)}`);
  const state = await evaluate(`(() => {
      const q = document.getElementById('filter').value.toLowerCase();
      const items = Array.from(document.querySelectorAll('#toc li'));
      return {value: q, shown: items.filter(li => !li.hidden).map(li => li.textContent.toLowerCase()),
              hidden: items.filter(li => li.hidden).map(li => li.textContent.toLowerCase()),
              count: document.getElementById('count').textContent};})()`);
  check(state.value === query, `#filter= fills the box with "${query}"`);
  check(state.shown.length >= 1 && state.shown.every((t) => t.includes(query)), `${state.shown.length} entries match`);
  check(state.hidden.every((t) => !t.includes(query)), `${state.hidden.length} entries hidden`);
  check(state.count.startsWith(`${state.shown.length} of ${toc.length}`), `the count says "${state.count}"`);
  const overviewShown = await evaluate(`Array.from(document.querySelectorAll('#ovb .ovg .ovr')).filter(tr => !tr.hidden)
      .map(tr => tr.querySelector('a').textContent.toLowerCase())`);
  check(overviewShown.length >= 1 && overviewShown.length <= state.shown.length,
        `the filter narrows the overview too (${overviewShown.length} rows)`);
  await shot('filtered.png');

  // The keyboard: "/" focuses the box, typing narrows, Escape clears, arrow
  // down reaches the first match, Enter opens it.
  await open(url);
  await key('/', 'Slash', 191);
  check(await evaluate(`document.activeElement.id === 'filter'`), '"/" focuses the filter');
  const last = toc[toc.length - 1];
  await send('Input.insertText', { text: last.name });
  const shownAfterTyping = await evaluate(`Array.from(document.querySelectorAll('#toc li')).filter(li => !li.hidden).length`);
  check(shownAfterTyping >= 1 && shownAfterTyping <= toc.length, `typing narrows the list to ${shownAfterTyping}`);
  await key('ArrowDown', 'ArrowDown', 40);
  check(await evaluate(`document.activeElement.closest('#toc') !== null`), 'arrow down moves into the list');
  await key('ArrowUp', 'ArrowUp', 38);
  check(await evaluate(`document.activeElement.id === 'filter'`), 'arrow up from the first entry returns to the box');
  await key('Enter', 'Enter', 13);
  await sleep(100);
  const hash = await evaluate('location.hash');
  check(hash.startsWith('#t'), `Enter opens the first match (${hash})`);
  await key('Escape', 'Escape', 27);
  await evaluate(`document.getElementById('filter').focus()`);
  await key('Escape', 'Escape', 27);
  check(await evaluate(`Array.from(document.querySelectorAll('#toc li')).every(li => !li.hidden)`),
        'Escape clears the filter');

  // Screenshots: the top of the page, light and dark.
  await open(url);
  await shot('report-light.png');
  await send('Emulation.setEmulatedMedia', { features: [{ name: 'prefers-color-scheme', value: 'dark' }] });
  await shot('report-dark.png');
  const darkBg = await evaluate(`getComputedStyle(document.documentElement).backgroundColor`);
  check(darkBg !== 'rgb(255, 255, 255)', `the dark scheme applies (${darkBg})`);
  await send('Emulation.setEmulatedMedia', { media: 'print', features: [] });
  await shot('report-print.png');
  check(await evaluate(`getComputedStyle(document.querySelector('nav')).display === 'none'`),
        'printing leaves out the contents');
  await send('Emulation.setEmulatedMedia', { media: '', features: [] });
  await send('Emulation.setDeviceMetricsOverride', { width: 1280, height: 1800, deviceScaleFactor: 1, mobile: false });
  await evaluate(`document.getElementById('t2') && document.getElementById('t2').scrollIntoView()`);
  await sleep(100);
  await shot('report-table.png');
  ws.close();
}

main()
  .catch((err) => { failures++; console.log(`FAIL ${err.message}`); })
  .finally(() => {
    browser.kill();
    setTimeout(() => rmSync(profile, { recursive: true, force: true }), 300);
    console.log(`${passes} passed, ${failures} failed`);
    process.exitCode = failures ? 1 : 0;
  });
