// A page of another site, opened in Debian's headless Chromium, tries to use, read and wipe a
// relay without a token: its forms, image and text/plain post change nothing and reach no model
// server, while the start page still posts and its "Clear History" clears each time. Everything
// stays on 127.0.0.1.
//   node guard.e2e.mjs --velmora PATH --fake-backend PATH
import assert from 'node:assert/strict';
import { once } from 'node:events';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { launch, option, programs } from './launch.mjs';

const { chromium } = await import('playwright-core');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-guard-'));
let browser, hostile;
try {
  const backend = launch(option('fake-backend'), []);
  const [, backendPort] = await backend.lineLike(/^listening on (\d+)$/);
  const relay = launch(option('velmora'), ['--headless', '--model', 'fake-model', '--port', '0',
    '--backend', `127.0.0.1:${backendPort}`], { XDG_CONFIG_HOME: scratch, XDG_STATE_HOME: scratch });
  const port = (await relay.lineLike(/^Open http:\/\/\S+:(\d+)\/ in a browser$/))[1];
  const start = `http://127.0.0.1:${port}/`;

  // Another origin on this machine, serving a page that does what any site could.
  const form = (path, fields) => `<form action="${start}${path}" method="post" target="${path}">${fields}</form><iframe name="${path}"></iframe>`;
  const attack = form('submit', '<input name="prompt" value="evil submit"><input name="reset" value="1">') +
    form('chat', '<input name="prompt" value="evil chat">') + form('chat/clear', '') + `<script>
      let done = 0;
      for (const frame of document.querySelectorAll('iframe')) frame.onload = () => ++done;
      for (const form of document.forms) form.submit();
      const image = new Image();
      image.onload = image.onerror = () => ++done;
      image.src = '${start}clear';
      fetch('${start}v1/chat/completions', { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' },
        body: JSON.stringify({ model: 'fake-model', messages: [{ role: 'user', content: 'evil v1' }] }) }).finally(() => ++done);
      window.attackDone = () => done === 5;
    </script>`;
  hostile = http.createServer((request, response) => response.setHeader('Content-Type', 'text/html').end(attack)).listen(0, '127.0.0.1');
  await once(hostile, 'listening');

  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
  const page = await (await browser.newContext()).newPage();
  page.setDefaultTimeout(30000);
  const turns = async () => {
    await page.goto(`${start}chat`);
    return page.$$eval('article.turn', (all) => all.map((turn) => turn.querySelector('.plain, .markdown').textContent.trim()));
  };
  const ask = async (prompt) => {
    await page.goto(start);
    await page.fill('textarea#prompt', prompt);
    await Promise.all([page.waitForEvent('load'), page.click('input[type="submit"]')]);
  };

  // The start page posts; its answer's "Clear History" clears every time, as often as clicked.
  for (let round = 0; round < 2; ++round) {
    await ask('mine');
    assert.equal(await page.textContent('div[style*="pre-wrap"]'), 'You said: mine');
    await Promise.all([page.waitForURL(start), page.click('text=Clear History')]);
    assert.deepEqual(await turns(), []);
  }
  await ask('kept');

  await page.goto(`http://localhost:${hostile.address().port}/`);
  await page.waitForFunction(() => window.attackDone());
  assert.deepEqual(await turns(), ['kept', 'You said: kept']);
  // The backend's lines come in order: the next request of a program is the first one since.
  const marker = await fetch(`${start}v1/chat/completions`, { method: 'POST', body: JSON.stringify({ model: 'fake-model', messages: [{ role: 'user', content: 'marker' }] }) });
  assert.equal(marker.status, 200);
  assert.equal((await backend.lineLike(/^request POST \S+: (evil.*|marker)$/))[1], 'marker');

  // The chat page posts, stops and clears in chat.e2e.mjs, past the same guard.
  console.log('e2e: guard passed');
} finally {
  hostile?.close();
  await browser?.close();
  for (const program of programs) program.child.kill('SIGTERM');
  await Promise.all(programs.map((program) => program.exited));
  fs.rmSync(scratch, { recursive: true, force: true });
}
