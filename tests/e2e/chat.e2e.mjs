// A chat through velmora --headless in Debian's headless Chromium, behind an access token, then
// the official OpenAI client through the relay's pass-through, then the chat page on a phone-sized
// screen and in a second browser, a photo, a Stop, and a restart that keeps the conversation.
// Everything stays on 127.0.0.1.
//   node chat.e2e.mjs --velmora PATH --fake-backend PATH --artifacts DIR
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { deflateSync } from 'node:zlib';
import { launch, option, programs, within } from './launch.mjs';

const { chromium } = await import('playwright-core');
const { default: OpenAI } = await import('openai');

// A PNG of width x height pixels, pixel(x, y) giving [r, g, b]: a photo made here, so its bytes are known.
const crc32 = (bytes) => ~bytes.reduce((c, byte) => {
  c ^= byte;
  for (let k = 0; k < 8; k++) c = (c >>> 1) ^ (0xedb88320 & -(c & 1));
  return c;
}, ~0) >>> 0;
const uint32 = (n) => Buffer.from([n >>> 24, n >>> 16, n >>> 8, n]);
const chunk = (type, data) => Buffer.concat([uint32(data.length), Buffer.from(type), data, uint32(crc32(Buffer.concat([Buffer.from(type), data])))]);
const png = (width, height, pixel) => {
  const rows = Buffer.alloc(height * (1 + width * 3));  // each row: filter 0, then RGB
  for (let y = 0; y < height; y++) for (let x = 0; x < width; x++) rows.set(pixel(x, y), y * (1 + width * 3) + 1 + x * 3);
  return Buffer.concat([Buffer.from('\x89PNG\r\n\x1a\n', 'latin1'), chunk('IHDR', Buffer.concat([uint32(width), uint32(height), Buffer.from([8, 2, 0, 0, 0])])),
    chunk('IDAT', deflateSync(rows)), chunk('IEND', Buffer.alloc(0))]);
};

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-e2e-'));
const token = 'e2e token/42';
let browser, phones;
try {
  const backend = launch(option('fake-backend'), []);
  const [, backendPort] = await backend.lineLike(/^listening on (\d+)$/);
  const startRelay = async () => {
    const relay = launch(option('velmora'), ['--headless', '--model', 'fake-model', '--port', '0',
      '--backend', `127.0.0.1:${backendPort}`, '--access-token', token, '--keep-conversation'],
    { XDG_CONFIG_HOME: scratch, XDG_STATE_HOME: path.join(scratch, 'state') });
    const port = (await relay.lineLike(/^Open http:\/\/\S+:(\d+)\/ in a browser$/))[1];
    assert.equal((await relay.lineLike(/^Chat page: http:\/\/\S+:(\d+)\/chat$/))[1], port);
    return { relay, start: `http://127.0.0.1:${port}/` };
  };
  let { relay, start } = await startRelay();

  browser = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = browser.pages()[0];
  browser.setDefaultTimeout(10000);
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

  // The chat page on a phone, signing in on the way, and the same conversation in another browser.
  phones = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox', '--disable-gpu'] });
  const phone = await (await phones.newContext({ viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true, deviceScaleFactor: 2 })).newPage();
  const other = await (await phones.newContext({ javaScriptEnabled: false })).newPage();  // any browser
  for (const tab of [phone, other]) tab.setDefaultTimeout(10000);
  const openChat = async (tab) => {
    assert.equal((await tab.goto(`${start}chat`)).status(), 401);
    await tab.fill('input#token', token);
    await Promise.all([tab.waitForURL(`${start}chat`), tab.click('input[type="submit"]')]);
  };
  const turns = (tab) => tab.$$eval('article.turn', (all) => all.map((turn) =>
    `${turn.querySelector('.who').textContent}: ${turn.querySelector('.plain, .markdown').textContent.trim()}${turn.querySelector('.stopped') ? ' [stopped]' : ''}`));
  // The width of each turn's thumbnail once loaded; 0 for one that does not load.
  const thumbnails = (tab) => tab.$$eval('article.turn .images img', (all) =>
    Promise.all(all.map((img) => img.decode().then(() => img.naturalWidth, () => 0))));
  // Every page here has the address /chat, so a navigation is told by its commit.
  const navigate = (tab, click) => Promise.all([tab.waitForEvent('framenavigated'), tab.click(click)]);
  const send = async (prompt) => {
    await phone.fill('#prompt', prompt);
    await navigate(phone, 'button.send');
  };
  await openChat(phone);
  await navigate(phone, 'form.clear button');
  await phone.waitForLoadState();
  assert.deepEqual(await turns(phone), []);

  const hostile = '<script>window.pwned = 1</script> hi';
  await send(hostile);
  await phone.waitForSelector('#answer-end', { state: 'attached' });
  assert.deepEqual(await turns(phone), [`Person: ${hostile}`, `Model: You said: ${hostile}`]);
  await send('markdown please');
  await phone.waitForSelector('#answer .markdown');  // rendered in place once finished
  await phone.goto(`${start}chat`);
  const layout = await phone.evaluate(() => ({
    pwned: 'pwned' in window, items: document.querySelectorAll('.markdown li').length,
    code: document.querySelector('.markdown pre code')?.textContent, cells: document.querySelectorAll('.markdown th, .markdown td').length,
    scripts: document.querySelectorAll('main script').length, wide: document.documentElement.scrollWidth,
    codeScrolls: document.querySelector('pre').scrollWidth > document.querySelector('pre').clientWidth,
  }));
  assert.deepEqual(layout, { pwned: false, items: 2, code: 'int main() { return 0; }  // a long line that must scroll sideways on a phone rather than widen the page\n', cells: 4, scripts: 0, wide: 390, codeScrolls: true });
  assert.ok((await turns(phone))[3].includes('first <script>alert(1)</script>'));
  await phone.screenshot({ path: path.join(option('artifacts'), 'chat-phone.png') });
  await openChat(other);
  assert.deepEqual(await turns(other), await turns(phone));

  // A photo reaches the model byte for byte and shows as a thumbnail; a text file named like a photo
  // is refused, and the model never hears of it.
  const photo = png(320, 240, (x, y) => {
    const hill = 160 + 22 * Math.sin(x / 45) + 9 * Math.sin(x / 11 + 1);
    if (y > hill) return [50 + (y - hill) * 0.6, 110 + 30 * Math.sin(x / 7) * Math.sin(y / 5), 45];
    return Math.hypot(x - 235, y - 62) < 26 ? [255, 214, 120] : [120 + y * 0.4, 170 + y * 0.3, 240];
  });
  await phone.setInputFiles('input#images', { name: 'hills.png', mimeType: 'image/png', buffer: photo });
  await send('What is in this photo?');
  const [, type, sent] = await backend.lineLike(/^image data:(.*?);base64,(.*)$/);
  assert.ok(type === 'image/png' && Buffer.from(sent, 'base64').equals(photo));
  await phone.waitForSelector('#answer-end', { state: 'attached' });
  await phone.goto(`${start}chat`);
  assert.deepEqual(await thumbnails(phone), [320]);
  const clip = await phone.$$eval('article.turn', (all) => {  // the header, the photo's turn, its answer
    const [person, model] = all.slice(-2);
    window.scrollBy(0, person.getBoundingClientRect().top - document.querySelector('header').offsetHeight - 8);
    return { x: 0, y: 0, width: window.innerWidth, height: model.getBoundingClientRect().bottom + 8 };
  });
  await phone.screenshot({ path: path.join(option('artifacts'), 'chat-photo-phone.png'), clip });
  await phone.setInputFiles('input#images', { name: 'notes.jpg', mimeType: 'image/jpeg', buffer: Buffer.from('Milk, eggs.\n') });
  await phone.fill('#prompt', 'Read my notes');
  const [refused] = await Promise.all([phone.waitForNavigation(), phone.click('button.send')]);
  assert.deepEqual([refused.status(), await phone.inputValue('#prompt')], [415, 'Read my notes']);
  assert.match(await phone.locator('p.error').textContent(), /^Error: \S/);

  // Stop: the relay lets go of the backend at once, and the partial answer stays, marked.
  await send('count slowly');
  await phone.waitForFunction(() => document.querySelector('#answer .plain')?.textContent.endsWith('two,'));
  assert.equal((await backend.lineLike(/^request POST \S+: (.*)$/))[1], 'count slowly');  // nothing between
  await Promise.all([navigate(phone, '#stop button'), backend.lineLike(/^client left$/, 5)]);
  await phone.waitForLoadState();
  const conversation = await turns(phone);
  assert.equal(conversation.length, 8);
  assert.equal(conversation[7], 'Model: Counting: one, two, [stopped]');

  relay.child.kill('SIGTERM');
  assert.deepEqual(await within(10, 'velmora ends on SIGTERM', relay.exited), [0, null]);
  ({ relay, start } = await startRelay());
  await other.goto(`${start}chat`);  // still signed in: the token is the same
  assert.deepEqual(await turns(other), conversation);

  // A slow model: the page says it waits until the first piece, then how fast the answer came.
  await phone.goto(`${start}chat`);
  assert.deepEqual(await thumbnails(phone), [320]);
  await send('take your time');
  assert.equal(await phone.locator('#answer .waiting').textContent(), 'Waiting for the model...');
  assert.deepEqual([await phone.locator('#answer .waiting').isVisible(), await phone.locator('#answer .plain').count()], [true, 0]);
  await phone.waitForSelector('#answer-end', { state: 'attached' });
  assert.equal(await phone.locator('#answer .speed').textContent(), 'First piece after 1.2 s, 12.5 tokens/s (3 tokens)');
  assert.equal(await phone.locator('#answer .waiting').isVisible(), false);
  await phone.goto(`${start}chat`);
  await phone.screenshot({ path: path.join(option('artifacts'), 'chat-phone-speed.png') });

  // The conversation downloads as Markdown and as the kept file's JSON, every turn in both.
  const exported = async (link) => {
    const [download] = await Promise.all([phone.waitForEvent('download'), phone.click(`a[href="${link}"]`)]);
    assert.match(download.suggestedFilename(), /^velmora-conversation-\d{4}-\d{2}-\d{2}\.(md|json)$/);
    return fs.readFileSync(await download.path(), 'utf8');
  };
  const kept = JSON.parse(await exported('/chat/export.json')).messages;
  assert.equal(kept.length, conversation.length + 2);
  assert.deepEqual(kept.at(-1), { role: 'assistant', content: 'Slow but sure.', speed: { firstPieceSeconds: 1.2345, tokensPerSecond: 12.5, tokens: 3 } });
  const markdown = await exported('/chat/export.md');
  for (const turn of kept) {
    assert.ok(markdown.includes(`## ${turn.role === 'user' ? 'Person' : 'Model'}\n\n${turn.content}\n`), turn.content);
  }
  assert.equal(markdown.split('*(Stopped before the end)*').length, 2);
  console.log('e2e: chat passed');
} finally {
  await phones?.close();
  await browser?.close();
  for (const program of programs) program.child.kill('SIGTERM');
  await Promise.all(programs.map((program) =>
    within(10, 'the programs end', program.exited).catch(() => program.child.kill('SIGKILL'))));
  fs.rmSync(scratch, { recursive: true, force: true });
}
