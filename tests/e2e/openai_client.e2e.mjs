// The official OpenAI client library against the relay's OpenAI-compatible endpoint:
// velmora --headless in front of the fake backend. A streamed and a plain chat completion and
// the model list come through unchanged; a client that aborts mid-stream closes the backend's
// connection at once. Installs the npm packages with `npm ci` when one is missing.
//
//   node openai_client.e2e.mjs --velmora PATH --python PATH --fake-backend PATH
//
// Everything stays on 127.0.0.1. Exits 0 when every check passed.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

import { ensurePackages, runScript, startBackend, startRelay } from './support.mjs';

// One control call to the fake on a connection of its own, closed after the answer, so that the
// fake's count of open connections shows the relay's alone.
function control(port, method, target, body) {
  return new Promise((resolve, reject) => {
    const payload = body === undefined ? undefined : JSON.stringify(body);
    const request = http.request({
      host: '127.0.0.1', port, method, path: `/_control/${target}`, agent: false,
      headers: payload === undefined ? {} : { 'Content-Type': 'application/json' },
    }, (answer) => {
      let text = '';
      answer.setEncoding('utf8');
      answer.on('data', (chunk) => { text += chunk; });
      answer.on('end', () => {
        if (answer.statusCode !== 200) reject(new Error(`control ${target}: ${answer.statusCode}`));
        else resolve(JSON.parse(text));
      });
    });
    request.on('error', reject);
    request.end(payload);
  });
}

// Waits until the fake holds no connection but the one asking; how long that took.
async function backendConnectionsClosed(port, timeoutMs = 5000) {
  const started = Date.now();
  while (Date.now() - started < timeoutMs) {
    const { open } = await control(port, 'GET', 'connections');
    if (open <= 1) return Date.now() - started;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  throw new Error('the backend connection stayed open after the client left');
}

async function main() {
  ensurePackages();
  const { default: OpenAI } = await import('openai');

  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-openai-'));
  const cleanups = [];
  try {
    const pieces = ['Streams ', 'come ', 'through ', 'unchanged.'];
    const { port: backendPort } = await startBackend(
      { pieces, reasoning: ['Think ', 'first.'], models: ['fake-model-1', 'fake-model-2'] }, cleanups);
    const { relay, port: relayPort } = await startRelay(backendPort, scratch, cleanups);
    const client = new OpenAI({
      baseURL: `http://127.0.0.1:${relayPort}/v1`, apiKey: 'sk-local', maxRetries: 0, timeout: 30000,
    });

    const models = await client.models.list();
    assert.deepEqual(models.data.map((model) => model.id), ['fake-model-1', 'fake-model-2']);

    // Streamed: every chunk arrives as the backend sent it, reasoning in its own field included.
    const stream = await client.chat.completions.create({
      model: 'fake-model-1', stream: true, messages: [{ role: 'user', content: 'hi' }],
    });
    let content = '';
    let reasoning = '';
    let chunks = 0;
    for await (const chunk of stream) {
      ++chunks;
      content += chunk.choices[0]?.delta?.content ?? '';
      reasoning += chunk.choices[0]?.delta?.reasoning_content ?? '';
    }
    assert.equal(content, pieces.join(''));
    assert.equal(reasoning, 'Think first.');
    assert.ok(chunks >= pieces.length + 2, `only ${chunks} chunks`);

    // Not streamed: one document, the client's body as it sent it.
    const completion = await client.chat.completions.create({
      model: 'fake-model-2', messages: [{ role: 'user', content: 'hi' }],
    });
    assert.equal(completion.choices[0].message.content, pieces.join(''));
    const requests = (await control(backendPort, 'GET', 'requests'))
      .filter((r) => r.path === '/v1/chat/completions');
    assert.equal(requests.length, 2);
    assert.equal(requests[0].json.stream, true);
    assert.equal(requests[1].json.stream, undefined);  // not forced, unlike /api/chat
    assert.equal(requests[1].json.model, 'fake-model-2');
    assert.ok(requests[1].headers.some(([name, value]) =>
      name.toLowerCase() === 'authorization' && value === 'Bearer sk-local'));

    // A client that gives up mid-stream: the backend's connection closes, the model stops.
    await control(backendPort, 'POST', 'scenario', { generate: { count: 3000, size: 4 }, delay_ms: 10 });
    await control(backendPort, 'POST', 'reset');
    const abort = new AbortController();
    const slow = await client.chat.completions.create(
      { model: 'fake-model-1', stream: true, messages: [{ role: 'user', content: 'long' }] },
      { signal: abort.signal });
    let received = 0;
    try {
      for await (const chunk of slow) {
        if (chunk.choices[0]?.delta?.content) ++received;
        if (received === 5) abort.abort();
      }
      assert.fail('the aborted stream ran to its end');
    } catch (error) {
      if (!abort.signal.aborted) throw error;
    }
    const closedAfter = await backendConnectionsClosed(backendPort);
    await relay.waitForLine(/the client left; the backend request was cancelled/);

    const end = await relay.stop('SIGTERM');
    assert.deepEqual(end, { code: 0, signal: null });
    console.log(`e2e: passed; ${chunks} streamed chunks; the backend connection closed ${closedAfter} ms after the abort`);
  } finally {
    for (const cleanup of cleanups.reverse()) await cleanup();
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

runScript(main);
