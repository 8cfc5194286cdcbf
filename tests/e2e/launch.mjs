// What the browser tests share: their options, and the programs they start with their output.
import { execFileSync, spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';

export const option = (name) => process.argv[process.argv.indexOf(`--${name}`) + 1];
if (!fs.existsSync(path.join(import.meta.dirname, 'node_modules'))) {
  execFileSync('npm', ['ci', '--no-audit', '--no-fund'], { cwd: import.meta.dirname, stdio: 'inherit' });
}

// Every step waits a few seconds at most and then fails, saying which step it was.
export const within = (seconds, step, promise) => Promise.race([promise, new Promise((_, reject) =>
  setTimeout(() => reject(new Error(`${step}: not within ${seconds} s`)), seconds * 1000).unref())]);

// Every program started, for the test to end them.
export const programs = [];

// A program and its standard output's lines, read in order.
export function launch(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: child.stdout })[Symbol.asyncIterator]();
  const lineLike = (pattern, seconds = 20) => within(seconds, `${command}: a line like ${pattern}`, (async () => {
    for (let line = await lines.next(); !line.done; line = await lines.next()) {
      const match = line.value.match(pattern);
      if (match) return match;
    }
    throw new Error(`${command} ended without a line like ${pattern}`);
  })());
  const program = { child, exited: once(child, 'exit'), lineLike };
  programs.push(program);
  return program;
}
