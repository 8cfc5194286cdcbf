// A chat through the relay in a real browser: velmora --headless in front of the fake backend,
// driven with headless Chromium. Installs playwright-core with `npm ci` when it is missing.
//
//   node chat.e2e.mjs --velmora PATH --python PATH --fake-backend PATH --artifacts DIR
//
// Everything stays on 127.0.0.1. Exits 0 when every check passed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { answerText, ensurePackages, openBrowser, option, runScript, startBackend, startRelay } from './support.mjs';

async function backendRequests(port) {
  const answer = await fetch(`http://127.0.0.1:${port}/_control/requests`);
  const all = await answer.json();
  return all.filter((r) => r.path === '/v1/chat/completions');
}

async function main() {
  ensurePackages();
  const { chromium } = await import('playwright-core');

  const artifacts = option('artifacts');
  fs.mkdirSync(artifacts, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
  const pieces = ['Once ', 'upon ', 'a ', 'time ', 'there ', 'was ', 'a ', 'relay.'];
  const cleanups = [];

  try {
    const { port: backendPort } = await startBackend({ pieces, delay_ms: 300 }, cleanups);
    const { relay, port: relayPort } = await startRelay(backendPort, scratch, cleanups);
    const start = `http://127.0.0.1:${relayPort}/`;

    const { page } = await openBrowser(chromium, cleanups);

    // The start page shows the initial message and the prompt form.
    await page.goto(start);
    assert.equal(await page.title(), 'Velmora');
    assert.equal(await page.textContent('h1'), 'Velmora');

    // A prompt: the answer grows in the page while the backend streams it.
    await page.locator('textarea#prompt').pressSequentially('Tell me a story');
    await page.click('input[type="submit"]', { noWaitAfter: true });
    const seen = [];
    const full = pieces.join('');
    const deadline = Date.now() + 30000;
    for (;;) {
      const text = await answerText(page);
      if (text !== null && text !== seen[seen.length - 1]) seen.push(text);
      if (text === full || Date.now() > deadline) break;
      await new Promise((resolve) => setTimeout(resolve, 40));
    }
    assert.equal(seen[seen.length - 1], full, `the answer never completed: ${JSON.stringify(seen)}`);
    const partial = seen.filter((text) => text.length > 0 && text.length < full.length);
    assert.ok(partial.length >= 3, `the answer did not grow in steps: ${JSON.stringify(seen)}`);
    for (let i = 1; i < seen.length; ++i) {
      assert.ok(seen[i].startsWith(seen[i - 1]), `the answer shrank: ${JSON.stringify(seen)}`);
    }
    await page.waitForLoadState('load');
    await page.locator('button', { hasText: 'Clear History' }).waitFor();
    await page.screenshot({ path: path.join(artifacts, 'answer.png'), fullPage: true });

    // A follow-up from the answer page continues the conversation.
    await page.fill('textarea[name="prompt"]', 'And then?');
    await Promise.all([page.waitForURL(/\/submit$/), page.click('button[type="submit"]')]);
    await page.waitForLoadState('load');
    await page.locator('button', { hasText: 'Clear History' }).waitFor();
    assert.equal(await answerText(page), full);
    const chats = await backendRequests(backendPort);
    assert.equal(chats.length, 2);
    assert.equal(chats[0].json.model, 'fake-model-1');
    assert.deepEqual(chats[1].json.messages, [
      { role: 'user', content: 'Tell me a story' },
      { role: 'assistant', content: full },
      { role: 'user', content: 'And then?' },
    ]);

    // Clearing the history leads back to the start page.
    await Promise.all([page.waitForURL(start), page.click('text=Clear History')]);
    await page.locator('textarea#prompt').waitFor();
    assert.equal(await page.textContent('h1'), 'Velmora');
    const cleared = await relay.waitForLine(/^\/clear: /);
    assert.ok(!cleared.includes('Tell me a story'), cleared);

    // SIGTERM stops the relay and ends velmora with status 0.
    const end = await relay.stop('SIGTERM');
    assert.deepEqual(end, { code: 0, signal: null });
    console.log(`e2e: passed; the answer grew in ${partial.length} steps; screenshot in ${path.join(artifacts, 'answer.png')}`);
  } finally {
    for (const cleanup of cleanups.reverse()) await cleanup();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

runScript(main);
