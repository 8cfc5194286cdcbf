// A page of another site, opened in Debian's headless Chromium, tries to use, read and wipe a
// relay without a token: its forms, image and text/plain post change nothing and reach no model
// server, while the relay's own pages still post, stop and clear. Everything stays on 127.0.0.1.
//   node guard.e2e.mjs --velmora PATH --fake-backend PATH
import assert from 'node:assert/strict';
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
  const attack = `<!DOCTYPE html><html><body>
    <form name="submit" action="${start}submit" method="post" target="a"><input name="prompt" value="evil submit"><input name="reset" value="1"></form>
    <form name="chat" action="${start}chat" method="post" target="b"><input name="prompt" value="evil chat"></form>
    <form name="clear" action="${start}chat/clear" method="post" target="c"></form>
    <iframe name="a"></iframe><iframe name="b"></iframe><iframe name="c"></iframe>
    <script>
      let done = 0;
      for (const frame of document.querySelectorAll('iframe')) frame.onload = () => ++done;
      for (const form of document.forms) form.submit();
      const image = new Image();
      image.onload = image.onerror = () => ++done;
      image.src = '${start}clear';
      fetch('${start}v1/chat/completions', { method: 'POST', mode: 'no-cors', headers: { 'Content-Type': 'text/plain' },
        body: JSON.stringify({ model: 'fake-model', messages: [{ role: 'user', content: 'evil v1' }] }) }).finally(() => ++done);
      window.attackDone = () => done === 5;
    </script></body></html>`;
  hostile = http.createServer((request, response) => response.end(attack));
  hostile.listen(0, '127.0.0.1');
  await new Promise((resolve) => hostile.once('listening', resolve));

  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
  const page = await (await browser.newContext()).newPage();
  page.setDefaultTimeout(30000);
  const turns = async () => {
    await page.goto(`${start}chat`);
    return page.$$eval('article.turn', (all) => all.map((turn) => turn.querySelector('.plain, .markdown').textContent.trim()));
  };
  const click = (selector) => Promise.all([page.waitForEvent('load'), page.click(selector)]);

  // The start page posts; its answer's "Clear History" clears every time, as often as clicked.
  for (let round = 0; round < 2; ++round) {
    await page.goto(start);
    await page.fill('textarea#prompt', 'mine');
    await click('input[type="submit"]');
    assert.equal(await page.textContent('div[style*="pre-wrap"]'), 'You said: mine');
    await Promise.all([page.waitForURL(start), page.click('text=Clear History')]);
    assert.deepEqual(await turns(), []);
  }
  await page.goto(start);
  await page.fill('textarea#prompt', 'kept');
  await click('input[type="submit"]');

  await page.goto(`http://localhost:${hostile.address().port}/`);
  await page.waitForFunction(() => window.attackDone());
  assert.deepEqual(await turns(), ['kept', 'You said: kept']);
  // The backend's lines come in order: the next request of a program is the first one since.
  const marker = await fetch(`${start}v1/chat/completions`, { method: 'POST', body: JSON.stringify({ model: 'fake-model', messages: [{ role: 'user', content: 'marker' }] }) });
  assert.equal(marker.status, 200);
  assert.equal((await backend.lineLike(/^request POST \S+: (evil.*|marker)$/))[1], 'marker');

  // The chat page posts, stops and clears.
  await page.fill('#prompt', 'count slowly');
  await Promise.all([page.waitForEvent('framenavigated'), page.click('button.send')]);
  await page.waitForFunction(() => document.querySelector('#answer .plain')?.textContent.endsWith('two,'));
  await Promise.all([page.waitForEvent('framenavigated'), page.click('#stop button'), backend.lineLike(/^client left$/)]);
  await page.waitForLoadState();
  assert.equal(await page.$$eval('article.turn .stopped', (all) => all.length), 1);
  await Promise.all([page.waitForEvent('framenavigated'), page.click('form.clear button')]);
  await page.waitForLoadState();
  assert.deepEqual(await turns(), []);
  console.log('e2e: guard passed');
} finally {
  hostile?.close();
  await browser?.close();
  for (const program of programs) program.child.kill('SIGTERM');
  await Promise.all(programs.map((program) => program.exited));
  fs.rmSync(scratch, { recursive: true, force: true });
}
