// Drives an echo endpoint with the `ws` client: node echo_client.js PORT
// Prints one line per step that passed; exits non-zero on the first failure.
'use strict';

const WebSocket = require('ws');

const port = process.argv[2];
const deadline = setTimeout(() => fail('timed out'), 20000);

function fail(why) {
  console.log('FAIL ' + why);
  process.exit(1);
}

const socket = new WebSocket(`ws://127.0.0.1:${port}/echo`);
const inbox = [];
let waiting = null;

socket.on('message', (data, isBinary) => {
  inbox.push({ data, isBinary });
  if (waiting) waiting();
});
socket.on('error', (error) => fail('error ' + error.message));

function nextMessage() {
  return new Promise((resolve) => {
    const take = () => {
      if (inbox.length === 0) return;
      waiting = null;
      resolve(inbox.shift());
    };
    waiting = take;
    take();
  });
}

async function expectEcho(step, sent, isBinary) {
  const { data, isBinary: gotBinary } = await nextMessage();
  if (gotBinary !== isBinary) fail(`${step}: binary flag ${gotBinary}`);
  if (!Buffer.from(sent).equals(data)) fail(`${step}: ${data.length} bytes differ`);
  console.log(`${step} ok ${data.length}`);
}

socket.on('open', async () => {
  socket.send('héllo wörld');
  await expectEcho('text', 'héllo wörld', false);

  const bytes = Buffer.from([0, 1, 2, 255, 13, 10]);
  socket.send(bytes);
  await expectEcho('binary', bytes, true);

  const large = Buffer.alloc(70000);
  for (let i = 0; i < large.length; ++i) large[i] = (i * 7) & 0xff;
  socket.send(large);
  await expectEcho('large', large, true);

  socket.send('frag-', { fin: false });
  socket.send('ment-', { fin: false });
  socket.send('ed', { fin: true });
  await expectEcho('fragmented', 'frag-ment-ed', false);

  const pinged = new Promise((resolve) => socket.once('pong', resolve));
  socket.ping(Buffer.from('ping-payload'));
  const pong = await pinged;
  if (pong.toString() !== 'ping-payload') fail('ping: pong carried ' + pong.toString());
  console.log('ping ok');

  // An unsolicited pong goes to the server's pong callback; the echo after it shows it arrived.
  socket.pong(Buffer.from('unsolicited'));
  socket.send('after-pong');
  await expectEcho('pong', 'after-pong', false);

  socket.on('close', (code) => {
    clearTimeout(deadline);
    console.log('closed ' + code);
    process.exit(0);
  });
  socket.close();
});
