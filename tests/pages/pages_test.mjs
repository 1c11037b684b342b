// Opens a group's day frameset and full index from disk in headless Chromium, clicks the
// "View" buttons and links of the list frame and checks what the "my_win" frame shows; then
// feeds the viewer page addresses it must refuse; then opens the group's gallery and checks
// that every thumbnail loads and leads to its picture.
//
//   node pages_test.mjs <listing>
//
// <listing> is what makepages printed: "day <path>", "full <path>",
// "gallery <path>", "picture <name> <width> <height>", "file <name>" and
// "thumbnail <name> <width> <height>" lines.
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
  const listing = { pictures: [], files: [], thumbnails: [] };
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const [kind, ...rest] = line.split(' ');
    if (kind === 'day') listing.day = rest.join(' ');
    else if (kind === 'full') listing.full = rest.join(' ');
    else if (kind === 'gallery') listing.gallery = rest.join(' ');
    else if (kind === 'thumbnail') {
      listing.thumbnails.push({ name: rest[0], width: Number(rest[1]), height: Number(rest[2]) });
    }
    else if (kind === 'picture') {
      listing.pictures.push({ name: rest[0], width: Number(rest[1]), height: Number(rest[2]) });
    } else if (kind === 'file') listing.files.push({ name: rest[0] });
  }
  if (!listing.day || !listing.full || listing.pictures.length < 2 || listing.files.length < 1 ||
      !listing.gallery || listing.thumbnails.length !== listing.pictures.length) {
    throw new Error(`${file} does not list two framesets, two pictures, a file and a gallery`);
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

// The gallery: one cell per picture, newest first, each thumbnail loaded at the size its
// attributes announce, each leading to the viewer page with its picture.
async function gallery(page, listing) {
  const dir = path.dirname(listing.gallery);
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await openFresh(page, pathToFileURL(listing.gallery).href);
  const expected = [...listing.thumbnails].reverse();  // handed over oldest first
  const cells = await page.locator('figure').count();
  check('gallery: one cell per picture', cells === expected.length, `${cells} cells`);
  for (const [i, thumb] of expected.entries()) {
    const img = page.locator('figure img').nth(i);
    // Lazy images load once they come near the view.
    await img.scrollIntoViewIfNeeded({ timeout: WaitMs }).catch(() => {});
    const state = await waitFor(() => img.evaluate((e) => ({
      src: e.src, complete: e.complete, natural: [e.naturalWidth, e.naturalHeight],
      declared: [e.width, e.height], loading: e.loading,
      href: e.closest('a').href,
    })), (s) => s.complete && s.natural[0] > 0);
    const name = thumb.name;
    check(`gallery: cell ${i} shows the thumbnail of ${name}`,
          state.src === pathToFileURL(path.join(dir, 'thumbs', `${name}.jpg`)).href, show(state));
    check(`gallery: the thumbnail of ${name} loaded at ${thumb.width}x${thumb.height}`,
          state.natural?.[0] === thumb.width && state.natural?.[1] === thumb.height, show(state));
    check(`gallery: the thumbnail of ${name} announces its size and loads lazily`,
          show(state.declared) === show(state.natural) && state.loading === 'lazy', show(state));
    check(`gallery: the thumbnail of ${name} leads to the viewer page`,
          state.href === `${pathToFileURL(path.join(dir, '_view.html')).href}#` +
                         encodeURIComponent(`news.dat/${name}`), show(state));
  }
  const caption = await page.locator('figcaption').first().textContent().catch(() => '');
  check('gallery: captions are the subjects, as text', caption === 'Wide <view> & more (1/1)',
        show(caption));

  // Following a thumbnail shows its picture at full size.
  const wide = listing.pictures.find((p) => p.name === expected[0].name);
  await page.locator('figure a').first().click({ timeout: WaitMs });
  const shown = await waitFor(() => viewerState(page.mainFrame()),
                              (s) => s.imgs?.length === 1 && s.imgs[0].complete);
  check(`gallery: following ${wide.name} shows it at ${wide.width}x${wide.height}`,
        shown.imgs?.[0]?.width === wide.width && shown.imgs?.[0]?.height === wide.height &&
        shown.bold?.[0] === `news.dat/${wide.name}`, show(shown));
  check('gallery: no script errors', errors.length === 0, show(errors));
}

async function main() {
  const listing = readListing(process.argv[2] ?? '');
  const content = Object.fromEntries(listing.files.map((f) => [
    f.name, fs.readFileSync(path.join(path.dirname(listing.day), 'news.dat', f.name), 'utf8'),
  ]));
  const day = path.basename(listing.day).replace(/^idx/, 'cont');
  const names = [...listing.pictures, ...listing.files].map((f) => f.name);

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
    await gallery(page, listing);
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
