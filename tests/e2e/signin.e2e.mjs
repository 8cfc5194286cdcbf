// Signing in to a relay that asks for an access token, in a real browser: velmora --headless
// --access-token in front of the fake backend, driven with headless Chromium. The browser signs
// in once, chats, and comes back to "/" without signing in again. Installs the npm packages
// with `npm ci` when one is missing.
//
//   node signin.e2e.mjs --velmora PATH --python PATH --fake-backend PATH --artifacts DIR
//
// Everything stays on 127.0.0.1. Exits 0 when every check passed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { answerText, ensurePackages, openBrowser, option, runScript, startBackend, startRelay } from './support.mjs';

async function main() {
  ensurePackages();
  const { chromium } = await import('playwright-core');

  const artifacts = option('artifacts');
  fs.mkdirSync(artifacts, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-signin-'));
  const pieces = ['Only ', 'for ', 'those ', 'who ', 'know ', 'the ', 'token.'];
  const token = 'open sesame/42';
  const cleanups = [];

  try {
    const { port: backendPort } = await startBackend({ pieces, delay_ms: 50 }, cleanups);
    const { relay, port: relayPort } = await startRelay(backendPort, scratch, cleanups, [
      '--model', 'fake-model-1', '--access-token', token,
    ]);
    await relay.waitForLine(/^monitor: Server is running on http:\/\/\S+ \(access token required\)$/);
    const start = `http://127.0.0.1:${relayPort}/`;

    // Programs: nothing without the token, everything with it.
    const bare = await fetch(start);
    assert.equal(bare.status, 401);
    assert.equal(bare.headers.get('www-authenticate'), 'Bearer');
    assert.equal((await bare.json()).error.type, 'invalid_request_error');
    const withToken = await fetch(start, { headers: { Authorization: `Bearer ${token}` } });
    assert.equal(withToken.status, 200);

    const { context, page } = await openBrowser(chromium, cleanups);

    // The start page's address shows the sign-in page instead.
    const first = await page.goto(start);
    assert.equal(first.status(), 401);
    await page.locator('input#token').waitFor();
    assert.equal(await page.locator('textarea#prompt').count(), 0);

    // A wrong token: the sign-in page again, saying so, and no cookie.
    await page.fill('input#token', 'open sesame');
    await Promise.all([page.waitForURL(/\/signin$/), page.click('input[type="submit"]')]);
    assert.match(await page.textContent('#note'), /Wrong access token/);
    assert.equal((await context.cookies(start)).length, 0);

    // The right one: back at the start page, with an HttpOnly, SameSite=Strict cookie that is not
    // the token and that the page's scripts cannot read.
    await page.fill('input#token', token);
    await Promise.all([page.waitForURL(start), page.click('input[type="submit"]')]);
    await page.locator('textarea#prompt').waitFor();
    assert.equal(await page.textContent('h1'), 'Velmora');
    const cookies = await context.cookies(start);
    assert.equal(cookies.length, 1, JSON.stringify(cookies));
    assert.equal(cookies[0].httpOnly, true);
    assert.equal(cookies[0].sameSite, 'Strict');
    assert.ok(!cookies[0].value.includes('sesame'), cookies[0].value);
    assert.equal(await page.evaluate(() => document.cookie), '');

    // A chat works as without a token.
    await page.locator('textarea#prompt').fill('Who may enter?');
    await Promise.all([page.waitForURL(/\/submit$/), page.click('input[type="submit"]')]);
    await page.waitForLoadState('load');
    await page.locator('button', { hasText: 'Clear History' }).waitFor();
    assert.equal(await answerText(page), pieces.join(''));
    await page.screenshot({ path: path.join(artifacts, 'signed-in-answer.png'), fullPage: true });

    // Coming back to "/" and reloading it needs no second sign-in.
    const back = await page.goto(start);
    assert.equal(back.status(), 200);
    await page.locator('textarea#prompt').waitFor();
    const reloaded = await page.reload();
    assert.equal(reloaded.status(), 200);
    await page.locator('textarea#prompt').waitFor();

    const end = await relay.stop('SIGTERM');
    assert.deepEqual(end, { code: 0, signal: null });
    assert.ok(relay.lines.some((l) => /^Access refused: wrong access token \(sign-in form\)/.test(l)),
      relay.lines.join('\n'));
    assert.ok(!relay.lines.some((l) => l.includes('sesame')), 'the token reached the console');
    console.log('e2e: sign-in passed');
  } finally {
    for (const cleanup of cleanups.reverse()) await cleanup();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

runScript(main);
