// SPDX-License-Identifier: GPL-3.0-or-later
// Opens a group's day frameset and full index from disk in headless Chromium, clicks the
// "View" buttons and links of the list frame and checks what the "my_win" frame shows; then
// feeds the viewer page addresses it must refuse; then opens the group's gallery at a desktop's
// and a phone's width, light and dark, checks its cards and layout, and walks its viewer by
// keyboard.
//
//   node pages_test.mjs <listing> [<screenshot folder>]
//
// <listing> is what makepages printed: "day <path>", "full <path>",
// "gallery <path>", "picture <name> <width> <height>", "torn <name>", "file <name>",
// "thumbnail <name> <width> <height>" and "nopreview <name>" lines. The gallery's screenshots
// go to the screenshot folder when one is given.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

import { chromium } from 'playwright-core';

const ChromiumPath = process.env.QM_CHROMIUM || '/usr/bin/chromium';
const LaunchArgs = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
// Pages from disk settle in milliseconds; a wait this long means the page is wrong.
const WaitMs = 5000;
const WholeRunMs = 120000;

let passed = 0;
let failed = 0;

function check(name, ok, detail = '') {
  if (ok) {
    passed++;
    console.log(`ok - ${name}`);
  } else {
    failed++;
    console.log(`not ok - ${name}${detail ? `: ${detail}` : ''}`);
  }
  return ok;
}

function finish(code) {
  console.log(`pages: ${passed} passed, ${failed} failed`);
  process.exit(code || (failed > 0 ? 1 : 0));
}

function readListing(file) {
  const listing = { pictures: [], files: [], thumbnails: [], torn: [], cards: [] };
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const [kind, ...rest] = line.split(' ');
    if (kind === 'day') listing.day = rest.join(' ');
    else if (kind === 'full') listing.full = rest.join(' ');
    else if (kind === 'gallery') listing.gallery = rest.join(' ');
    else if (kind === 'thumbnail') {
      listing.thumbnails.push({ name: rest[0], width: Number(rest[1]), height: Number(rest[2]) });
      listing.cards.push(listing.thumbnails.at(-1));
    } else if (kind === 'nopreview') listing.cards.push({ name: rest[0], none: true });
    else if (kind === 'torn') listing.torn.push({ name: rest[0] });
    else if (kind === 'picture') {
      listing.pictures.push({ name: rest[0], width: Number(rest[1]), height: Number(rest[2]) });
    } else if (kind === 'file') listing.files.push({ name: rest[0] });
  }
  if (!listing.day || !listing.full || listing.pictures.length < 2 || listing.files.length < 1 ||
      !listing.gallery || listing.thumbnails.length !== listing.pictures.length ||
      listing.torn.length < 1 || listing.cards.length !== listing.pictures.length + listing.torn.length) {
    throw new Error(`${file} does not list two framesets, two pictures, a torn one, a file and a gallery`);
  }
  return listing;
}

// Polls probe until it returns something accepted; the last value (or error) otherwise.
// A probe may run while its frame navigates, so errors are retried.
async function waitFor(probe, accept) {
  const deadline = Date.now() + WaitMs;
  let last;
  for (;;) {
    try {
      last = await probe();
      if (accept(last)) return last;
    } catch (e) {
      last = { error: e.message.split('\n')[0] };
    }
    if (Date.now() > deadline) return last;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

const show = (value) => JSON.stringify(value);

// What the viewer page shows: its pictures and the bold text under them.
function viewerState(frame) {
  return frame.evaluate(() => {
    const v = document.getElementById('v');
    const imgs = [...document.images].map((i) => ({
      src: i.src, complete: i.complete, width: i.naturalWidth, height: i.naturalHeight,
    }));
    const bold = [...document.querySelectorAll('b')].map((b) => b.textContent);
    const tags = v ? [...v.querySelectorAll('*')].map((e) => e.tagName.toLowerCase()) : null;
    return { url: location.href, imgs, bold, tags, ready: document.readyState };
  });
}

class Frameset {
  constructor(page, label, framesetPath, listName) {
    this.page = page;
    this.label = label;
    this.dir = path.dirname(framesetPath);
    this.url = pathToFileURL(framesetPath).href;
    this.listUrl = pathToFileURL(path.join(this.dir, listName)).href;
  }

  fileUrl(name) {
    return pathToFileURL(path.join(this.dir, 'news.dat', name)).href;
  }

  viewerUrl(fragment) {
    return `${pathToFileURL(path.join(this.dir, '_view.html')).href}#${fragment}`;
  }

  async open() {
    await this.page.goto(this.url, { waitUntil: 'load', timeout: WaitMs });
    this.myWin = this.page.frame({ name: 'my_win' });
    this.list = this.page.frames().find((f) => f.url() === this.listUrl);
    check(`${this.label}: has a frame "my_win"`, !!this.myWin,
          show(this.page.frames().map((f) => [f.name(), f.url()])));
    check(`${this.label}: the list frame shows ${path.basename(this.listUrl)}`, !!this.list,
          show(this.page.frames().map((f) => f.url())));
    if (!this.myWin || !this.list) return false;
    check(`${this.label}: "my_win" starts on index.html`,
          this.myWin.url() === pathToFileURL(path.join(this.dir, 'index.html')).href,
          this.myWin.url());
    return true;
  }

  entry(name) {
    return this.list.locator('form', {
      has: this.list.locator('small', { hasText: new RegExp(`^\\s*${name.replace(/\./g, '\\.')}\\s*$`) }),
    });
  }

  // The left frame changed and nothing else did.
  framesStayed(what) {
    check(`${this.label}: ${what} leaves the frameset in place`, this.page.url() === this.url,
          this.page.url());
    check(`${this.label}: ${what} leaves the list frame in place`, this.list.url() === this.listUrl,
          this.list.url());
  }

  async entries(names) {
    const buttons = await this.list.locator('input[type=button][value=View]').count();
    check(`${this.label}: one "View" button per decoded file`, buttons === names.length,
          `${buttons} buttons for ${names.length} files`);
    for (const name of names) {
      const link = this.entry(name).locator('a');
      const count = await link.count();
      if (!check(`${this.label}: ${name} has one entry with one link`, count === 1, `${count} links`)) {
        continue;
      }
      const { href, target } = await link.evaluate((a) => ({
        href: a.href, target: a.target || document.querySelector('base')?.target || '',
      }));
      check(`${this.label}: the link of ${name} points at the file`, href === this.fileUrl(name),
            href);
      check(`${this.label}: the link of ${name} opens in "my_win"`, target === 'my_win', target);
    }
  }

  async viewPicture({ name, width, height }, after) {
    const what = `"View" of ${name}${after ? ` after ${after}` : ''}`;
    await this.entry(name).locator('input[type=button][value=View]').click({ timeout: WaitMs });
    const address = `news.dat/${name}`;
    const state = await waitFor(() => viewerState(this.myWin),
                                (s) => s.ready === 'complete' && s.bold?.[0] === address &&
                                       s.imgs?.length === 1 && s.imgs[0].complete);
    check(`${this.label}: ${what} shows the viewer page in "my_win"`,
          this.myWin.url() === this.viewerUrl(encodeURIComponent(address)), this.myWin.url());
    const img = state.imgs?.[0];
    check(`${this.label}: ${what} shows one picture`, state.imgs?.length === 1, show(state));
    check(`${this.label}: ${what} shows a picture from ${address}`, img?.src === this.fileUrl(name),
          show(img));
    check(`${this.label}: ${what} has the picture loaded at its size`,
          img?.width === width && img?.height === height,
          `natural size ${img?.width}x${img?.height}, want ${width}x${height}`);
    check(`${this.label}: ${what} shows "${address}" in bold`,
          state.bold?.length === 1 && state.bold[0] === address, show(state.bold));
    this.framesStayed(what);
  }

  async viewFile({ name }, content) {
    const what = `"View" of ${name}`;
    await this.entry(name).locator('input[type=button][value=View]').click({ timeout: WaitMs });
    const url = await waitFor(() => this.myWin.url(), (u) => u === this.fileUrl(name));
    check(`${this.label}: ${what} loads news.dat/${name} into "my_win"`,
          url.endsWith(`/news.dat/${name}`) && url === this.fileUrl(name), show(url));
    const text = await waitFor(
      () => this.myWin.evaluate(() => document.querySelector('pre')?.textContent ??
                                      document.body?.textContent),
      (t) => t === content);
    check(`${this.label}: ${what} shows the file's text`, text === content, show(text));
    this.framesStayed(what);
  }

  async followLink({ name }) {
    await this.entry(name).locator('a').click({ timeout: WaitMs });
    const url = await waitFor(() => this.myWin.url(), (u) => u === this.fileUrl(name));
    check(`${this.label}: the link of ${name} loads the file into "my_win"`,
          url === this.fileUrl(name), show(url));
    this.framesStayed(`the link of ${name}`);
  }
}

// A fresh load each time: from the viewer to the viewer with another fragment the browser
// does not load the page again.
async function openFresh(page, url) {
  await page.goto('about:blank', { timeout: WaitMs });
  await page.goto(url, { timeout: WaitMs });
}

async function hostileAddresses(page, listing) {
  const dir = path.dirname(listing.day);
  const viewer = pathToFileURL(path.join(dir, '_view.html')).href;
  const dialogs = [];
  page.on('dialog', (d) => {
    dialogs.push(d.message());
    d.dismiss().catch(() => {});
  });

  // The viewer shows a picture opened straight from its address, so the refusals below
  // are refusals and not a viewer that never shows anything.
  const picture = listing.pictures[0];
  await openFresh(page, `${viewer}#${encodeURIComponent(`news.dat/${picture.name}`)}`);
  const shown = await waitFor(() => viewerState(page.mainFrame()),
                              (s) => s.imgs?.length === 1 && s.imgs[0].complete);
  check('viewer: an address inside news.dat/ opened directly shows its picture',
        shown.imgs?.[0]?.width === picture.width && shown.bold?.[0] === `news.dat/${picture.name}`,
        show(shown));

  const refused = [
    'javascript:alert(1)',
    encodeURIComponent('javascript:alert(1)'),
    '../../etc/passwd',
    encodeURIComponent('../../etc/passwd'),
    encodeURIComponent('news.dat/../../../../etc/passwd'),
    'news.dat/..%2F..%2F..%2Fetc%2Fpasswd',
    encodeURIComponent('/etc/passwd'),
    encodeURIComponent('file:///etc/passwd'),
    encodeURIComponent(' news.dat/x.gif'),
    'news.dat%2F%E0%A4%A',
  ];
  for (const fragment of refused) {
    await openFresh(page, `${viewer}#${fragment}`);
    const state = await waitFor(() => viewerState(page.mainFrame()), (s) => s.ready === 'complete');
    check(`viewer: #${fragment} shows nothing`,
          state.tags?.length === 0 && state.imgs?.length === 0 && state.bold?.length === 0,
          show(state));
  }

  // Markup in an address inside news.dat/ stays text: no element but the viewer's own.
  const markup = 'news.dat/<img src=x onerror=alert(1)><script>alert(2)</script>';
  await openFresh(page, `${viewer}#${encodeURIComponent(markup)}`);
  const state = await waitFor(() => viewerState(page.mainFrame()), (s) => s.ready === 'complete');
  check('viewer: markup in an address is shown as text',
        show(state.tags) === show(['img', 'br', 'b']) && state.bold?.[0] === markup, show(state));
  await page.waitForTimeout(200);  // time for an injected handler to fire
  check('viewer: no address opened a dialog', dialogs.length === 0, show(dialogs));
}

// What the gallery shows at the page's current size and colour scheme.
function galleryState(page) {
  return page.evaluate(() => {
    const grid = document.querySelector('.grid');
    const cards = [...document.querySelectorAll('.grid figure')];
    const lefts = new Set(cards.map((c) => Math.round(c.getBoundingClientRect().left)));
    return {
      overflow: document.documentElement.scrollWidth - document.documentElement.clientWidth,
      columns: getComputedStyle(grid).gridTemplateColumns.split(' ').length,
      usedColumns: lefts.size,
      background: getComputedStyle(document.body).backgroundColor,
      cardBackground: getComputedStyle(cards[0]).backgroundColor,
      color: getComputedStyle(document.body).color,
    };
  });
}

// The sum of the channels: a dark colour has a low one.
const brightness = (rgb) => (rgb.match(/\d+/g) ?? []).slice(0, 3).reduce((a, b) => a + Number(b), 0);

// The gallery: one card per picture, newest first, a thumbnail loaded at the size its
// attributes announce or "no preview", a date and a size; a grid that fits a desktop and a
// phone in both colour schemes; and its viewer, walked by keyboard.
async function gallery(page, listing, shots) {
  const dir = path.dirname(listing.gallery);
  const galleryUrl = pathToFileURL(listing.gallery).href;
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.setViewportSize({ width: 1400, height: 900 });
  await page.emulateMedia({ colorScheme: 'light' });
  await openFresh(page, galleryUrl);
  const expected = [...listing.cards].reverse();  // handed over oldest first
  const cards = await page.locator('figure').count();
  check('gallery: one card per picture, those without a thumbnail too',
        cards === expected.length, `${cards} cards for ${expected.length} pictures`);
  for (const [i, card] of expected.entries()) {
    const figure = page.locator('figure').nth(i);
    await figure.scrollIntoViewIfNeeded({ timeout: WaitMs }).catch(() => {});
    const name = card.name;
    const meta = await figure.locator('.meta').textContent().catch(() => '');
    check(`gallery: the card of ${name} has its date and size`,
          /^\d{4}-\d\d-\d\d \d\d:\d\d · \d+(\.\d)? (bytes|KB)$/.test(meta), show(meta));
    const href = await figure.locator('a').first().getAttribute('href');
    check(`gallery: the card of ${name} leads to the viewer page without script`,
          href === `_view.html#${encodeURIComponent(`news.dat/${name}`)}`, show(href));
    if (card.none) {
      const text = await figure.locator('a').textContent();
      const images = await figure.locator('img').count();
      check(`gallery: ${name} has a "no preview" card`, text === 'no preview' && images === 0,
            show({ text, images }));
      continue;
    }
    const img = figure.locator('img');
    // Lazy images load once they come near the view.
    const state = await waitFor(() => img.evaluate((e) => ({
      src: e.src, complete: e.complete, natural: [e.naturalWidth, e.naturalHeight],
      declared: [Number(e.getAttribute('width')), Number(e.getAttribute('height'))],
      loading: e.loading,
    })), (s) => s.complete && s.natural[0] > 0);
    check(`gallery: card ${i} shows the thumbnail of ${name}`,
          state.src === pathToFileURL(path.join(dir, 'thumbs', `${name}.jpg`)).href, show(state));
    check(`gallery: the thumbnail of ${name} loaded at ${card.width}x${card.height}`,
          state.natural?.[0] === card.width && state.natural?.[1] === card.height, show(state));
    check(`gallery: the thumbnail of ${name} announces its size and loads lazily`,
          show(state.declared) === show(state.natural) && state.loading === 'lazy', show(state));
  }
  const caption = await page.locator('figcaption').first().evaluate((e) => e.firstChild.textContent)
    .catch(() => '');
  const firstShown = expected.findIndex((c) => !c.none);
  const shownCaption = await page.locator('figcaption').nth(firstShown)
    .evaluate((e) => e.firstChild.textContent).catch(() => '');
  check('gallery: captions are the subjects, as text',
        caption === 'Torn in transit (1/1)' && shownCaption === 'Wide <view> & more (1/1)',
        show([caption, shownCaption]));

  // Both widths, both schemes: no sideways scrolling, the columns as many as fit, and the
  // dark scheme really dark.
  const looks = {};
  for (const [width, height] of [[1400, 900], [420, 860]]) {
    for (const scheme of ['light', 'dark']) {
      await page.setViewportSize({ width, height });
      await page.emulateMedia({ colorScheme: scheme });
      await page.evaluate(() => window.scrollTo(0, 0));
      const s = await galleryState(page);
      looks[`${width} ${scheme}`] = s;
      check(`gallery at ${width} px, ${scheme}: no horizontal overflow`, s.overflow === 0,
            show(s));
      if (shots) {
        fs.mkdirSync(shots, { recursive: true });
        await page.screenshot({ path: path.join(shots, `gallery-${width}-${scheme}.png`) });
      }
    }
  }
  const wide = looks['1400 light'];
  const phone = looks['420 light'];
  // A phone's browser lays a page out 980 pixels wide and shrinks it, unless the page says
  // it fits the device.
  const cdp = await page.context().newCDPSession(page);
  await cdp.send('Emulation.setDeviceMetricsOverride',
                 { width: 420, height: 860, deviceScaleFactor: 2, mobile: true });
  await openFresh(page, galleryUrl);
  const mobile = await galleryState(page);
  const layoutWidth = await page.evaluate(() => document.documentElement.clientWidth);
  check('gallery: on a phone the page is laid out at the phone\'s width, in two columns',
        layoutWidth === 420 && mobile.overflow === 0 && mobile.usedColumns === 2,
        show({ layoutWidth, mobile }));
  if (shots) await page.screenshot({ path: path.join(shots, 'gallery-phone.png') });
  await cdp.send('Emulation.clearDeviceMetricsOverride');
  await cdp.detach();
  check('gallery: at 1400 px the columns fill the width, one card beside the other',
        wide.columns >= 5 && wide.usedColumns === Math.min(wide.columns, expected.length), show(wide));
  check('gallery: at 420 px two columns', phone.columns === 2 && phone.usedColumns === 2,
        show(phone));
  for (const width of [1400, 420]) {
    const light = looks[`${width} light`];
    const dark = looks[`${width} dark`];
    check(`gallery at ${width} px: the dark scheme darkens the page and its cards and lightens the text`,
          brightness(dark.background) < 200 && brightness(light.background) > 600 &&
          brightness(dark.cardBackground) < brightness(light.cardBackground) &&
          brightness(dark.color) > brightness(light.color), show({ light, dark }));
  }

  // The viewer, on a phone held sideways: smaller than the widest picture, which must fit.
  await page.setViewportSize({ width: 420, height: 300 });
  await page.emulateMedia({ colorScheme: 'light' });
  const viewer = () => page.evaluate(() => {
    const v = document.getElementById('viewer');
    const img = document.getElementById('picture');
    const r = img.getBoundingClientRect();
    return {
      open: !v.hidden && getComputedStyle(v).display !== 'none', hash: location.hash,
      src: img.getAttribute('src'), complete: img.complete, natural: img.naturalWidth,
      rect: [r.left, r.top, r.right, r.bottom], inner: [innerWidth, innerHeight],
      pos: document.getElementById('pos').textContent,
      caption: document.getElementById('caption').textContent, active: document.activeElement?.tagName,
    };
  });
  const src = (name) => `news.dat/${encodeURIComponent(name)}`;
  const at = (i) => (s) => s.open && s.src === src(expected[i].name) &&
                           s.hash === `#view=${encodeURIComponent(expected[i].name)}`;
  const wideIndex = expected.findIndex((c) => c.name === 'wide.gif');
  await page.locator('figure a').nth(wideIndex).click({ timeout: WaitMs });
  let s = await waitFor(viewer, (v) => at(wideIndex)(v) && v.complete && v.natural > 0);
  check('gallery: a card opens its picture in the viewer', at(wideIndex)(s) && s.natural === 400,
        show(s));
  check('gallery: the viewer fits the picture to the window',
        s.rect[0] >= 0 && s.rect[1] >= 0 && s.rect[2] <= s.inner[0] && s.rect[3] <= s.inner[1] &&
        s.rect[3] - s.rect[1] < 300, show(s));
  if (shots) await page.screenshot({ path: path.join(shots, 'gallery-viewer-420.png') });
  check('gallery: the viewer says where it is and what it shows',
        s.pos === `${wideIndex + 1} of ${expected.length}` && s.caption.startsWith('Wide <view> & more'),
        show(s));
  for (const [key, index] of [['ArrowRight', wideIndex + 1], ['ArrowLeft', wideIndex],
                              ['ArrowLeft', wideIndex - 1], ['End', expected.length - 1],
                              ['ArrowRight', expected.length - 1], ['Home', 0],
                              ['ArrowLeft', 0]]) {
    if (index < 0 || index >= expected.length) continue;
    await page.keyboard.press(key);
    s = await waitFor(viewer, at(index));
    check(`gallery: ${key} in the viewer shows picture ${index + 1}`, at(index)(s), show(s));
  }
  await page.keyboard.press('Escape');
  s = await waitFor(viewer, (v) => !v.open);
  check('gallery: Escape goes back to the gallery', !s.open && !s.hash.startsWith('#view='),
        show(s));
  check('gallery: back in the gallery, the card last shown has the focus', s.active === 'A',
        show(s));

  // The browser's Back leaves the viewer too, whatever pictures it showed meanwhile.
  await page.locator('figure a').nth(wideIndex).click({ timeout: WaitMs });
  await waitFor(viewer, at(wideIndex));
  await page.keyboard.press('ArrowRight');
  await waitFor(viewer, at(wideIndex + 1));
  await page.goBack({ timeout: WaitMs });
  s = await waitFor(viewer, (v) => !v.open);
  check('gallery: the browser\'s Back leaves the viewer for the gallery', !s.open, show(s));

  // An address may name only a picture of the page.
  for (const fragment of ['view=' + encodeURIComponent('../../etc/passwd'), 'view=%E0%A4%A',
                          'view=' + encodeURIComponent('javascript:alert(1)')]) {
    await openFresh(page, `${galleryUrl}#${fragment}`);
    s = await waitFor(viewer, () => true);
    check(`gallery: #${fragment} opens no viewer`, !s.open && s.src === null, show(s));
  }
  await openFresh(page, `${galleryUrl}#view=${encodeURIComponent(expected[0].name)}`);
  s = await waitFor(viewer, at(0));
  check('gallery: an address naming a picture of the page opens the viewer on it', at(0)(s),
        show(s));
  check('gallery: no script errors', errors.length === 0, show(errors));
}

async function main() {
  const listing = readListing(process.argv[2] ?? '');
  const content = Object.fromEntries(listing.files.map((f) => [
    f.name, fs.readFileSync(path.join(path.dirname(listing.day), 'news.dat', f.name), 'utf8'),
  ]));
  const day = path.basename(listing.day).replace(/^idx/, 'cont');
  const names = [...listing.pictures, ...listing.torn, ...listing.files].map((f) => f.name);

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qm-pages-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: ChromiumPath, headless: true, args: LaunchArgs, timeout: 30000,
  });
  try {
    const page = context.pages()[0] ?? await context.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));

    for (const [label, framesetPath, listName] of [
      ['day frameset', listing.day, day],
      ['full index', listing.full, '_cnt.html'],
    ]) {
      errors.length = 0;
      const frameset = new Frameset(page, label, framesetPath, listName);
      if (!await frameset.open()) continue;
      await frameset.entries(names);
      const [first, second] = listing.pictures;
      const file = listing.files[0];
      // Every kind of change of the left frame: start page to viewer, picture to picture
      // (only the viewer's fragment differs), viewer to file, and file back to viewer.
      const steps = [
        () => frameset.viewPicture(first),
        () => frameset.viewPicture(second, first.name),
        () => frameset.viewFile(file, content[file.name]),
        () => frameset.viewPicture(first, file.name),
        () => frameset.followLink(file),
        () => frameset.followLink(first),
      ];
      for (const step of steps) {
        try {
          await step();
        } catch (e) {
          check(`${label}: step finished`, false, e.message.split('\n')[0]);
        }
      }
      if (process.env.QM_PAGES_SCREENSHOTS) {
        // For a person to look at; not a check.
        await frameset.entry(first.name).locator('input[value=View]').click().catch(() => {});
        await page.waitForTimeout(300);
        await page.screenshot({
          path: path.join(process.env.QM_PAGES_SCREENSHOTS, `${label.replace(/ /g, '-')}.png`),
        });
      }
      check(`${label}: no script errors`, errors.length === 0, show(errors));
    }
    await hostileAddresses(page, listing);
    await gallery(page, listing, process.argv[3]);
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

const watchdog = setTimeout(() => {
  check('the run finished in time', false, `still running after ${WholeRunMs} ms`);
  finish(1);
}, WholeRunMs);
try {
  await main();
} catch (e) {
  check('the run finished', false, e.stack || e.message);
}
clearTimeout(watchdog);
finish();
