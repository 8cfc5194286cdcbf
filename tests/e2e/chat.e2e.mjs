// A chat through velmora --headless in Debian's headless Chromium, behind an access token, then
// the official OpenAI client through the relay's pass-through. Everything stays on 127.0.0.1.
//   node chat.e2e.mjs --velmora PATH --fake-backend PATH --artifacts DIR
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';

const option = (name) => process.argv[process.argv.indexOf(`--${name}`) + 1];
if (!fs.existsSync(path.join(import.meta.dirname, 'node_modules'))) {
  execFileSync('npm', ['ci', '--no-audit', '--no-fund'], { cwd: import.meta.dirname, stdio: 'inherit' });
}
const { chromium } = await import('playwright-core');
const { default: OpenAI } = await import('openai');

// A program and its standard output's lines, read in order.
function launch(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const lineLike = async (pattern) => {
    for (let line = await lines.next(); !line.done; line = await lines.next()) {
      const match = line.value.match(pattern);
      if (match) return match;
    }
    throw new Error(`${command} ended without a line like ${pattern}`);
  };
  const program = { child, exited: once(child, 'exit'), lineLike };
  programs.push(program);
  return program;
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
const token = 'e2e token/42';
const programs = [];
let browser;
try {
  const backend = launch(option('fake-backend'), []);
  const [, backendPort] = await backend.lineLike(/^listening on (\d+)$/);
  const relay = launch(option('velmora'), ['--headless', '--model', 'fake-model', '--port', '0',
    '--backend', `127.0.0.1:${backendPort}`, '--access-token', token], { XDG_CONFIG_HOME: scratch });
  const start = `http://127.0.0.1:${(await relay.lineLike(/^Open http:\/\/\S+:(\d+)\/ in a browser$/))[1]}/`;

  browser = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = browser.pages()[0];
  page.setDefaultTimeout(30000);
  const submit = (button) => Promise.all([page.waitForEvent('load'), page.click(button)]);
  const answer = () => page.evaluate(() => {
    const division = document.querySelector('div[style*="pre-wrap"]');
    return { text: division.textContent, elements: division.children.length };
  });

  assert.equal((await page.goto(start)).status(), 401);
  await page.fill('input#token', token);
  await submit('input[type="submit"]');

  // Special characters come back as text, and the page ends with the prompt form.
  const prompt = '<b>Tom & "Jerry"</b> <script>x</script>';
  await page.fill('textarea#prompt', prompt);
  await submit('input[type="submit"]');
  assert.deepEqual(await answer(), { text: `You said: ${prompt}`, elements: 0 });
  assert.equal(await page.locator('div[style*="pre-wrap"] ~ form textarea[name="prompt"]').count(), 1);
  fs.mkdirSync(option('artifacts'), { recursive: true });
  await page.screenshot({ path: path.join(option('artifacts'), 'answer-page.png'), fullPage: true });

  await page.fill('textarea[name="prompt"]', 'And again?');
  await submit('button[type="submit"]');
  assert.equal((await answer()).text, 'You said: And again?');
  // /api/chat prints the conversation before it asks the backend: both prompts, both answers.
  const chat = await fetch(`${start}api/chat`, {
    method: 'POST', headers: { Authorization: `Bearer ${token}` }, body: '{"messages":[]}',
  });
  assert.equal(chat.status, 200);
  const [, history] = await relay.lineLike(/^\/api\/chat: {2}(.*)$/);
  assert.equal(history.match(/"role": /g).length, 4, history);
  assert.ok(history.includes(`"content": "${prompt}"`) && history.includes('"And again?"'), history);

  const client = new OpenAI({ baseURL: `${start}v1`, apiKey: token });
  const stream = await client.chat.completions.create({
    model: 'fake-model', stream: true, messages: [{ role: 'user', content: 'stream me' }],
  });
  let streamed = '';
  for await (const chunk of stream) streamed += chunk.choices[0]?.delta?.content ?? '';
  assert.equal(streamed, 'You said: stream me');

  relay.child.kill('SIGTERM');
  assert.deepEqual(await relay.exited, [0, null]);
  console.log('e2e: chat passed');
} finally {
  await browser?.close();
  for (const program of programs) program.child.kill('SIGTERM');
  await Promise.all(programs.map((program) => program.exited));
  fs.rmSync(scratch, { recursive: true, force: true });
}
